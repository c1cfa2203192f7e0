#include "OutputFileName.h"

#include "app/SettingsKeys.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace outputfilename {

QString stem(const QString& sourceName, bool userDefined, const QString& userName,
             const QDateTime& now)
{
    QString name = userDefined ? userName
                               : sourceName + QLatin1Char('_') +
                                     now.toString(QStringLiteral("yyyyMMdd_HHmmss"));
    static const QRegularExpression unsafe(QStringLiteral("[^a-zA-Z0-9_\\-]"));
    name.remove(unsafe);
    return name;
}

QString extension(const QString& videoFormat)
{
    return videoFormat == QLatin1String(settings::kFormatWmv) ? QStringLiteral(".WMV")
                                                              : QStringLiteral(".mp4");
}

QString freeFileName(const QString& folder, const QString& stem, const QString& extension)
{
    const QDir dir(folder);
    QString candidate = stem + extension;
    for (int n = 1; QFileInfo::exists(dir.filePath(candidate)); ++n)
        candidate = stem + QLatin1Char('_') + QString::number(n) + extension;
    return candidate;
}

QString outputFilePath(const QString& folder, const QString& sourceName, bool userDefined,
                       const QString& userName, const QString& videoFormat, const QDateTime& now)
{
    const QString name =
        freeFileName(folder, stem(sourceName, userDefined, userName, now), extension(videoFormat));
    return QDir(folder).filePath(name);
}

} // namespace outputfilename
