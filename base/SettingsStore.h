#pragma once

#include <QMutex>
#include <QSettings>
#include <QString>
#include <QVariant>

#include <memory>

// The process-wide access to settings.ini in the per-user configuration folder.
// Every member is thread-safe: capture, audio and encoder threads read their settings here.
class SettingsStore
{
public:
    static SettingsStore& instance();

    QVariant value(const QString& group, const QString& key, const QVariant& defaultValue = {});
    void setValue(const QString& group, const QString& key, const QVariant& value);

    // Writes pending changes to disk now (tests and shutdown; normal saving is deferred).
    void sync();

    // Path of settings.ini.
    QString fileName() const;

private:
    SettingsStore();
    void initDefaults();

    mutable QMutex mutex_;
    std::unique_ptr<QSettings> settings_;
};
