#include "OutputFileName.h"

#include "base/SettingsKeys.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace outputfilename {

namespace {

bool unfit(QChar c)
{
    return c.category() == QChar::Other_Control || QStringView(u"<>:\"/\\|?*").contains(c);
}

bool onlyDots(const QString& name)
{
    return std::all_of(name.begin(), name.end(), [](QChar c) { return c == '.' || c.isSpace(); });
}

// Unfit characters replaced, cut to maxBytes of UTF-8 without splitting a character.
QString fitted(const QString& name, qsizetype maxBytes)
{
    QString result = name.left(maxBytes);
    std::replace_if(result.begin(), result.end(), unfit, QChar('_'));
    while (result.toUtf8().size() > maxBytes)
        result.chop(result.size() > 1 && result.back().isLowSurrogate() ? 2 : 1);
    return result;
}

} // namespace

bool isValidName(const QString& name)
{
    return !onlyDots(name) && name.toUtf8().size() <= kMaxNameBytes &&
           std::none_of(name.begin(), name.end(), unfit);
}

QString stem(const QString& sourceName, bool userDefined, const QString& userName,
             const QDateTime& now)
{
    if (userDefined)
        return onlyDots(userName) ? QStringLiteral("out_file") : fitted(userName, kMaxNameBytes);
    const QString time = now.toString(QStringLiteral("_yyyyMMdd_HHmmss"));
    QString source = fitted(sourceName, kMaxNameBytes - time.size());
    while (source.startsWith('.') || source.startsWith(' '))
        source.remove(0, 1);
    return source + time;
}

QString extension(const QString& videoFormat)
{
    if (videoFormat == QLatin1String(settings::kFormatWmv))
        return QStringLiteral(".WMV");
    if (videoFormat == QLatin1String(settings::kFormatMpeg2))
        return QStringLiteral(".mpg");
    if (videoFormat == QLatin1String(settings::kFormatAvi))
        return QStringLiteral(".avi");
    return QStringLiteral(".mp4");
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
