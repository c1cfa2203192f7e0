#include "GlobalShortcuts.h"

namespace {
GlobalShortcuts* currentSet = nullptr;
}

GlobalShortcuts::GlobalShortcuts(QObject* parent) : QObject(parent)
{
    currentSet = this;
}

GlobalShortcuts::~GlobalShortcuts()
{
    if (currentSet == this)
        currentSet = nullptr;
}

GlobalShortcuts* GlobalShortcuts::current()
{
    return currentSet;
}

void GlobalShortcuts::setStatuses(QHash<QString, Status> statuses)
{
    if (statuses == statuses_)
        return;
    statuses_ = std::move(statuses);
    Q_EMIT statusChanged();
}
