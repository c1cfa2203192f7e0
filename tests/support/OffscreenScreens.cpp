#include "OffscreenScreens.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

namespace testsupport {

void useOffscreenScreens(const QList<QRect>& screens, const QList<double>& ratios)
{
    // The platform plugin reads the file when the application starts; keep it until exit.
    static QTemporaryDir dir(QDir::tempPath() + "/torvane-test-screens-XXXXXX");
    QJsonArray list;
    for (qsizetype i = 0; i < screens.size(); ++i) {
        const QRect& r = screens.at(i);
        list.append(QJsonObject{{"name", QStringLiteral("Screen%1").arg(i + 1)},
                                {"x", r.x()},
                                {"y", r.y()},
                                {"width", r.width()},
                                {"height", r.height()},
                                {"logicalDpi", 96},
                                {"logicalBpi", 96},
                                {"dpr", ratios.value(i, 1.0)}});
    }
    // Synchronous events let a test read a window's new position right after moving it.
    const QJsonObject config{
        {"synchronousWindowSystemEvents", true}, {"windowFrameMargins", false}, {"screens", list}};
    const QString path = dir.filePath("screens.json");
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(QJsonDocument(config).toJson());
    qputenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + path).toUtf8());
}

} // namespace testsupport
