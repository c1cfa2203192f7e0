#include "SettingsStore.h"

#include "SettingsKeys.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

SettingsStore& SettingsStore::instance()
{
    // Destroyed at exit, when QSettings writes back what is still pending.
    static SettingsStore store;
    return store;
}

SettingsStore::SettingsStore()
{
    const QString path =
        QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + "/settings.ini";
    settings_ = std::make_unique<QSettings>(path, QSettings::IniFormat);
    // Some parse errors only surface once the keys are listed.
    settings_->allKeys();
    if (settings_->status() == QSettings::FormatError) {
        // QSettings neither reads nor ever rewrites a file it cannot parse, which would pin every
        // reader to its fallback for good. Keep the broken file for the user and start afresh.
        settings_.reset();
        const QString backup = path + ".broken";
        QFile::remove(backup);
        QFile::rename(path, backup);
        qWarning().noquote() << "Unreadable settings file moved to" << backup;
        settings_ = std::make_unique<QSettings>(path, QSettings::IniFormat);
    }
    initDefaults();
}

void SettingsStore::initDefaults()
{
    using namespace settings;
    QMutexLocker lock(&mutex_);
    QSettings& s = *settings_;
    if (s.allKeys().isEmpty()) {
        const QString movies = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
        s.beginGroup(kAudioGroup);
        s.setValue(kAudioBitrate, 128);
        s.setValue(kAudioFormat, "AAC");
        s.endGroup();
        s.beginGroup(kVideoGroup);
        s.setValue(kVideoBitrate, 6000);
        s.setValue(kFps, 15);
        s.setValue(kVideoFormat, kFormatMp4);
        s.setValue(kVideoCaptureApi, "WGC");
        s.setValue(kShowCursor, false);
        s.setValue(kKeepVideoVisible, false);
        s.setValue(kKeepOnTop, false);
        s.setValue(kRecordVideo, true);
        s.endGroup();
        s.beginGroup(kOutputGroup);
        s.setValue(kRecordingFileName, "out_file");
        s.setValue(kRecordingPath, movies + "/QZT");
        s.setValue(kUserDefinedFileName, false);
        s.endGroup();
        s.beginGroup(kTabCaptureGroup);
        s.setValue(kWebSocketPort, 8765);
        s.endGroup();
        s.sync();
    }
    s.beginGroup(kOutputGroup);
    const QString recordingPath = s.value(kRecordingPath, "./QZT").toString();
    s.endGroup();
    // A failure here is reported when a recording starts, not now.
    if (!recordingPath.isEmpty() && !QDir(recordingPath).exists())
        QDir().mkpath(recordingPath);
}

QVariant SettingsStore::value(const QString& group, const QString& key,
                              const QVariant& defaultValue)
{
    QMutexLocker lock(&mutex_);
    settings_->beginGroup(group);
    QVariant result = settings_->value(key, defaultValue);
    settings_->endGroup();
    return result;
}

void SettingsStore::setValue(const QString& group, const QString& key, const QVariant& value)
{
    QMutexLocker lock(&mutex_);
    settings_->beginGroup(group);
    settings_->setValue(key, value);
    settings_->endGroup();
}

void SettingsStore::sync()
{
    QMutexLocker lock(&mutex_);
    settings_->sync();
}

QString SettingsStore::fileName() const
{
    QMutexLocker lock(&mutex_);
    return settings_->fileName();
}
