#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace testsupport {

void isolateUserFolders()
{
    static QTemporaryDir home(QDir::tempPath() + "/torvane-test-home-XXXXXX");
    const QString root = home.path();
    qputenv("HOME", root.toUtf8());
    qputenv("XDG_CONFIG_HOME", (root + "/.config").toUtf8());
    qputenv("XDG_DATA_HOME", (root + "/.local/share").toUtf8());
    qputenv("XDG_CACHE_HOME", (root + "/.cache").toUtf8());
    // The user's service manager is part of the real session too: schedule timers made by a
    // test must find none.
    // The sound server the test script started keeps its socket in the runtime folder it gave.
    const QString pulse = qEnvironmentVariable("XDG_RUNTIME_DIR") + "/pulse/native";
    if (!qEnvironmentVariableIsSet("PULSE_SERVER") && QFile::exists(pulse))
        qputenv("PULSE_SERVER", ("unix:" + pulse).toUtf8());
    QDir(root).mkpath("runtime");
    QFile::setPermissions(root + "/runtime",
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", (root + "/runtime").toUtf8());
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    QStandardPaths::setTestModeEnabled(true);
}

RecordingSettings recordingSettings(const QVariantHash& stored)
{
    return RecordingSettings::read([&stored](const QString& group, const QString& key) {
        return stored.value(group + QLatin1Char('/') + key);
    });
}

QString programHome(const QString& root, QProcessEnvironment* env)
{
    const QDir dir(root);
    const QString config = dir.filePath("home/.config/torvane");
    if (!QDir().mkpath(config) || !QDir().mkpath(dir.filePath("videos")) ||
        !QDir().mkpath(dir.filePath("run")))
        return {};
    QSettings(config + "/settings.ini", QSettings::IniFormat)
        .setValue("OutPutFileSett/RecordingPath", dir.filePath("videos"));
    *env = QProcessEnvironment::systemEnvironment();
    env->insert("HOME", dir.filePath("home"));
    env->insert("XDG_CONFIG_HOME", dir.filePath("home/.config"));
    env->insert("XDG_RUNTIME_DIR", dir.filePath("run"));
    env->insert("QT_QPA_PLATFORM", "xcb");
    return config;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) &&
           file.write(bytes) == bytes.size() && file.flush();
}

QByteArray json(const char* text)
{
    return QByteArray(text).replace('\'', '"');
}

} // namespace testsupport
