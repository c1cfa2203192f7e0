#pragma once

#include "base/JsonListFile.h"
#include "base/SettingsStore.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QStandardPaths>

#include <algorithm>
#include <cstdint>
#include <utility>

// The owner of one list of items (with an id and an enabled flag, read and written by
// Item::fromJson and toJson) kept in a JsonListFile in the configuration folder. Every change is
// written through to the file at once. Thread-safe; lists are handed out as copies.
template <typename Item> class JsonListStore
{
public:
    // fileName: in the configuration folder; member: the array's name in the file; what: the
    // list's name in log lines ("Macros").
    JsonListStore(QString fileName, QString member, QString what)
        : fileName_(std::move(fileName)), member_(std::move(member)), what_(std::move(what))
    {
    }

    // Reads the file (a missing one is an empty list). False when it cannot be read or parsed;
    // the list is then left as it was.
    bool load()
    {
        QMutexLocker lock(&mutex_);
        const JsonListFile listFile = file();
        QString keptAs;
        const std::optional<QJsonArray> list = listFile.load(&keptAs);
        if (!keptAs.isEmpty())
            brokenCopy_ = keptAs;
        // A file that could not be read but is still there (no permission) must not be replaced
        // by a list that never saw its items.
        keepFile_ = !list && QFileInfo::exists(listFile.path());
        if (!list)
            return false;
        QList<Item> read;
        for (const QJsonValue& value : *list)
            if (value.isObject())
                read.append(Item::fromJson(value.toObject()));
        items_ = read;
        return true;
    }

    // Writes the whole list; false when nothing was written.
    bool save()
    {
        QMutexLocker lock(&mutex_);
        if (keepFile_) {
            qWarning().noquote() << what_ << "not saved: the unreadable" << filePath() << "is kept";
            return false;
        }
        QJsonArray list;
        for (const Item& item : std::as_const(items_))
            list.append(item.toJson());
        return file().save(list);
    }

    QString filePath() const { return file().path(); }

    // Where a load set aside the file it could not read, once: later calls return empty, so
    // that the list says it a single time.
    QString takeBrokenCopy()
    {
        QMutexLocker lock(&mutex_);
        return std::exchange(brokenCopy_, QString());
    }

protected:
    QList<Item> items() const
    {
        QMutexLocker lock(&mutex_);
        return items_;
    }

    void add(const Item& item)
    {
        {
            QMutexLocker lock(&mutex_);
            items_.append(item);
        }
        save();
    }

    // Replaces (with item) or removes (without) the first item with the id; false when there is
    // none. The file is written either way.
    bool change(std::uint64_t id, const Item* item)
    {
        bool found = false;
        {
            QMutexLocker lock(&mutex_);
            const auto it = std::find_if(items_.begin(), items_.end(),
                                         [id](const Item& stored) { return stored.id == id; });
            found = it != items_.end();
            if (found && item)
                *it = *item;
            else if (found)
                items_.erase(it);
        }
        save();
        return found;
    }

    int enabledCount() const
    {
        QMutexLocker lock(&mutex_);
        return int(std::count_if(items_.cbegin(), items_.cend(),
                                 [](const Item& item) { return item.enabled; }));
    }

    // Ids start at 1 and are never reused, even after the file is removed: the next one is kept
    // in the settings.
    std::uint64_t nextId(const QString& group, const QString& key)
    {
        QMutexLocker lock(&mutex_);
        SettingsStore& settings = SettingsStore::instance();
        const std::uint64_t id = settings.value(group, key, 1).toULongLong();
        settings.setValue(group, key, QVariant::fromValue<qulonglong>(id + 1));
        return id;
    }

    mutable QMutex mutex_;
    QList<Item> items_;

private:
    JsonListFile file() const
    {
        const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
        QDir().mkpath(folder);
        return JsonListFile(folder + QLatin1Char('/') + fileName_, member_);
    }

    const QString fileName_;
    const QString member_;
    const QString what_;
    bool keepFile_ = false;
    QString brokenCopy_;
};
