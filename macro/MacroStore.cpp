#include "MacroStore.h"

#include "base/JsonListFile.h"
#include "base/SettingsStore.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>
#include <QStandardPaths>

#include <algorithm>
#include <utility>

namespace {

JsonListFile macroFile()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    QDir().mkpath(folder);
    return JsonListFile(folder + QStringLiteral("/macro.json"), QStringLiteral("macros"));
}

} // namespace

MacroStore& MacroStore::instance()
{
    static MacroStore store;
    return store;
}

MacroStore::MacroStore()
{
    load();
}

QString MacroStore::filePath() const
{
    return macroFile().path();
}

QString MacroStore::takeBrokenCopy()
{
    QMutexLocker lock(&mutex_);
    return std::exchange(brokenCopy_, QString());
}

bool MacroStore::load()
{
    QMutexLocker lock(&mutex_);
    const JsonListFile file = macroFile();
    QString keptAs;
    const std::optional<QJsonArray> list = file.load(&keptAs);
    if (!keptAs.isEmpty())
        brokenCopy_ = keptAs;
    // A file that could not be read but is still there (no permission) must not be replaced by
    // a list that never saw its macros.
    keepFile_ = !list && QFileInfo::exists(file.path());
    if (!list)
        return false;
    QList<MacroItem> read;
    for (const QJsonValue& value : *list)
        if (value.isObject())
            read.append(MacroItem::fromJson(value.toObject()));
    macros_ = read;
    return true;
}

bool MacroStore::save()
{
    QMutexLocker lock(&mutex_);
    if (keepFile_) {
        qWarning().noquote() << "Macros not saved: the unreadable" << filePath() << "is kept";
        return false;
    }
    QJsonArray list;
    for (const MacroItem& item : std::as_const(macros_))
        list.append(item.toJson());
    return macroFile().save(list);
}

QList<MacroItem> MacroStore::macros() const
{
    QMutexLocker lock(&mutex_);
    return macros_;
}

void MacroStore::addMacro(const MacroItem& item)
{
    {
        QMutexLocker lock(&mutex_);
        macros_.append(item);
    }
    save();
}

bool MacroStore::updateMacro(const MacroItem& item)
{
    bool found = false;
    {
        QMutexLocker lock(&mutex_);
        for (MacroItem& stored : macros_)
            if (stored.id == item.id) {
                stored = item;
                found = true;
                break;
            }
    }
    save();
    return found;
}

bool MacroStore::deleteMacro(std::uint64_t id)
{
    bool found = false;
    {
        QMutexLocker lock(&mutex_);
        for (qsizetype index = 0; index < macros_.size(); ++index)
            if (macros_.at(index).id == id) {
                macros_.removeAt(index);
                found = true;
                break;
            }
    }
    save();
    return found;
}

int MacroStore::enabledMacroCount() const
{
    QMutexLocker lock(&mutex_);
    return int(std::count_if(macros_.cbegin(), macros_.cend(),
                             [](const MacroItem& item) { return item.enabled; }));
}

std::uint64_t MacroStore::nextMacroId()
{
    QMutexLocker lock(&mutex_);
    SettingsStore& settings = SettingsStore::instance();
    const std::uint64_t id =
        settings.value(QStringLiteral("MacroSett"), QStringLiteral("NextMacroId"), 1).toULongLong();
    settings.setValue(QStringLiteral("MacroSett"), QStringLiteral("NextMacroId"),
                      QVariant::fromValue<qulonglong>(id + 1));
    return id;
}
