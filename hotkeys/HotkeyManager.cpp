#include "HotkeyManager.h"

#include "base/JsonListFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeySequence>
#include <QMutexLocker>
#include <QStandardPaths>

namespace {

const QString kHotkeysKey = QStringLiteral("hotkeys");
const QString kEnabledKey = QStringLiteral("enabled");
const QString kIdKey = QStringLiteral("hotkeyId");
const QString kHotkeyKey = QStringLiteral("hotkey");

QList<HotkeyRecord> recordsFromJson(const QJsonDocument& document)
{
    QJsonArray array;
    if (document.isArray())
        array = document.array();
    else if (document.isObject())
        array = document.object().value(kHotkeysKey).toArray();

    QList<HotkeyRecord> records;
    for (const QJsonValue& value : array) {
        if (!value.isObject())
            continue;
        const QJsonObject object = value.toObject();
        HotkeyRecord record;
        record.enabled = object.value(kEnabledKey).toBool(true);
        record.hotkeyId = object.value(kIdKey).toInt(0);
        record.hotkey = object.value(kHotkeyKey).toString();
        records.append(record);
    }
    return records;
}

QJsonArray toJson(const QList<HotkeyRecord>& records)
{
    QJsonArray array;
    for (const HotkeyRecord& record : records) {
        QJsonObject object;
        object.insert(kEnabledKey, record.enabled);
        object.insert(kIdKey, record.hotkeyId);
        object.insert(kHotkeyKey, record.hotkey);
        array.append(object);
    }
    return array;
}

} // namespace

HotkeyManager& HotkeyManager::instance()
{
    static HotkeyManager manager(defaultFilePath());
    return manager;
}

HotkeyManager::HotkeyManager(const QString& filePath, QObject* parent)
    : QObject(parent), filePath_(filePath), hotkeys_(defaultHotkeys()),
      globals_(GlobalHotkeys::defaults())
{
    load();
}

QList<HotkeyRecord> HotkeyManager::defaultHotkeys()
{
    return {
        {true, StartStopRecording, QStringLiteral("Ctrl+Shift+R")},
        {true, AreaSelect, QStringLiteral("Ctrl+Shift+A")},
        {true, OpenRecordFolder, QStringLiteral("Ctrl+Shift+O")},
        {true, SettingsDialog, QStringLiteral("Ctrl+Shift+S")},
        {true, Information, QStringLiteral("Ctrl+Shift+I")},
        {true, CheckUpdate, QStringLiteral("Ctrl+Shift+C")},
        {true, Help, QStringLiteral("F1")},
        {true, BackgroundMode, QStringLiteral("Ctrl+Shift+B")},
        {true, ScheduleDialog, QStringLiteral("Ctrl+S")},
        {true, MacroDialog, QStringLiteral("Ctrl+Shift+M")},
        {true, HotkeyDialog, QStringLiteral("Ctrl+H")},
        {true, PauseResumeRecording, QStringLiteral("Ctrl+Shift+P")},
    };
}

QString HotkeyManager::defaultFilePath()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    QDir().mkpath(folder);
    return folder + QStringLiteral("/hotkeys.json");
}

QList<HotkeyRecord> HotkeyManager::hotkeys() const
{
    QMutexLocker lock(&mutex_);
    return hotkeys_;
}

void HotkeyManager::updateHotkey(const HotkeyRecord& record)
{
    QMutexLocker lock(&mutex_);
    for (HotkeyRecord& current : hotkeys_) {
        if (current.hotkeyId == record.hotkeyId) {
            current.enabled = record.enabled;
            current.hotkey = record.hotkey;
            return;
        }
    }
}

bool HotkeyManager::setHotkey(const HotkeyRecord& record)
{
    updateHotkey(record);
    const bool saved = save();
    emit requestUpdate();
    return saved;
}

int HotkeyManager::conflictingHotkey(const HotkeyRecord& record) const
{
    const QKeySequence sequence(record.hotkey);
    if (!record.enabled || sequence.isEmpty())
        return -1;
    QMutexLocker lock(&mutex_);
    for (const HotkeyRecord& other : hotkeys_)
        if (other.hotkeyId != record.hotkeyId && other.enabled &&
            QKeySequence(other.hotkey) == sequence)
            return other.hotkeyId;
    return -1;
}

void HotkeyManager::load()
{
    QFile file(filePath_);
    if (!file.open(QIODevice::ReadOnly))
        return;
    // Records are matched to the table by id, so a file from an older or newer version can
    // neither add actions nor lose the ones it does not mention.
    const QByteArray bytes = file.readAll();
    const QList<HotkeyRecord> loaded = recordsFromFile(bytes);
    for (const HotkeyRecord& record : loaded)
        updateHotkey(record);
    QMutexLocker lock(&mutex_);
    globals_ = GlobalHotkeys::fromFile(bytes);
}

QList<GlobalHotkey> HotkeyManager::globalHotkeys() const
{
    QMutexLocker lock(&mutex_);
    return globals_;
}

bool HotkeyManager::setGlobalHotkey(const GlobalHotkey& hotkey)
{
    {
        QMutexLocker lock(&mutex_);
        for (GlobalHotkey& current : globals_)
            if (current.action == hotkey.action)
                current = hotkey;
    }
    const bool saved = save();
    emit requestUpdate();
    return saved;
}

QList<HotkeyRecord> HotkeyManager::recordsFromFile(const QByteArray& bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        return {};
    return recordsFromJson(document);
}

bool HotkeyManager::save()
{
    QJsonArray list;
    QJsonArray globals;
    {
        QMutexLocker lock(&mutex_);
        list = toJson(hotkeys_);
        globals = GlobalHotkeys::toJson(globals_);
    }
    QDir().mkpath(QFileInfo(filePath_).absolutePath());
    // Never written in place, not even in a folder that takes no new files: a full disk or a
    // crash would leave a short file that throws every shortcut back to its default.
    return JsonListFile(filePath_, kHotkeysKey).save(list, {{GlobalHotkeys::kMember, globals}});
}
