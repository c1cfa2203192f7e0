#include "TestSupport.h"

#include <QDir>
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
    QStandardPaths::setTestModeEnabled(true);
}

} // namespace testsupport
