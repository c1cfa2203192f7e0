#include "VersionFile.h"

#include <QStringList>

namespace {

const QString kVersionPrefix = QStringLiteral("Version:");
const QString kDownloadUrlPrefix = QStringLiteral("DownloadURL:");
constexpr int kComparedParts = 4;

QStringList paddedParts(const QString& version)
{
    QStringList parts = version.split(QLatin1Char('.'));
    while (parts.size() < kComparedParts)
        parts.append(QStringLiteral("0"));
    return parts;
}

} // namespace

VersionFile VersionFile::parse(const QByteArray& body)
{
    VersionFile file;
    const QStringList lines = QString::fromUtf8(body).split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        if (line.startsWith(kVersionPrefix))
            file.version = line.mid(kVersionPrefix.size()).trimmed();
        else if (line.startsWith(kDownloadUrlPrefix))
            file.downloadUrl =
                QUrl(line.mid(kDownloadUrlPrefix.size()).trimmed(), QUrl::TolerantMode);
    }
    return file;
}

bool isNewerVersion(const QString& offered, const QString& current)
{
    const QStringList offeredParts = paddedParts(offered);
    const QStringList currentParts = paddedParts(current);
    for (int i = 0; i < kComparedParts; ++i) {
        // toLongLong yields 0 for a part that is not a number, which is the rule.
        const qlonglong offeredNumber = offeredParts.at(i).toLongLong();
        const qlonglong currentNumber = currentParts.at(i).toLongLong();
        if (offeredNumber != currentNumber)
            return offeredNumber > currentNumber;
    }
    return false;
}
