#include "JsonListFile.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <climits>
#include <cmath>
#include <utility>

JsonListFile::JsonListFile(QString path, QString member)
    : path_(std::move(path)), member_(std::move(member))
{
}

std::optional<QJsonArray> JsonListFile::load(QString* keptAs) const
{
    QFile file(path_);
    if (!file.exists())
        return QJsonArray();
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning().noquote() << "Unable to read" << path_ << ":" << file.errorString();
        return std::nullopt;
    }
    QString why;
    const std::optional<QJsonArray> list = parse(file.readAll(), member_, &why);
    file.close();
    if (list)
        return list;
    if (why.isEmpty())
        qWarning().noquote() << "Not a list:" << path_;
    else
        qWarning().noquote() << "Unable to parse" << path_ << ":" << why;
    const QString target = moveAside();
    if (keptAs)
        *keptAs = target;
    return std::nullopt;
}

std::optional<QJsonArray> JsonListFile::parse(const QByteArray& bytes, const QString& member,
                                              QString* why)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError) {
        if (why)
            *why = QStringLiteral("%1 at offset %2").arg(error.errorString()).arg(error.offset);
        return std::nullopt;
    }
    if (document.isArray())
        return document.array();
    if (document.isObject())
        return document.object().value(member).toArray();
    return std::nullopt;
}

QString JsonListFile::moveAside() const
{
    QString target = path_ + QStringLiteral(".broken");
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = path_ + QStringLiteral(".broken.%1").arg(n);
    if (QFile::rename(path_, target)) {
        qWarning().noquote() << "Kept the unreadable file as" << target;
        return target;
    }
    qWarning().noquote() << "Unable to keep the unreadable file as" << target;
    return {};
}

bool JsonListFile::save(const QJsonArray& list, const QJsonObject& extra) const
{
    QSaveFile file(path_);
    QJsonObject object = extra;
    object.insert(member_, list);
    const QByteArray text = QJsonDocument(object).toJson(QJsonDocument::Indented);
    // commit() renames the file over the old one even when its own flush fails (a full disk):
    // flushed first, so that a short file never takes the old one's place.
    if (file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.flush() &&
        file.commit())
        return true;
    qWarning().noquote() << "Unable to save" << path_ << ":" << file.errorString();
    return false;
}

std::uint64_t JsonListFile::idFrom(const QJsonValue& value)
{
    if (value.isDouble()) {
        const double number = value.toDouble();
        // 2^64: the first double past the range.
        return std::isfinite(number) && number >= 0 && number < 18446744073709551616.0
                   ? static_cast<std::uint64_t>(number)
                   : 0;
    }
    return value.toVariant().toULongLong();
}

std::optional<QRect> JsonListFile::rectFrom(int x, int y, int width, int height)
{
    // QRect works out x + width, less one, as its far edge and gives the width back as that
    // edge minus x plus one: each step must stay within int.
    const auto fits = [](qint64 value) { return value >= INT_MIN && value <= INT_MAX; };
    const auto edgeFits = [&](qint64 start, qint64 size) {
        return fits(start + size) && fits(start + size - 1) && fits(size - 1);
    };
    if (!edgeFits(x, width) || !edgeFits(y, height))
        return std::nullopt;
    return QRect(x, y, width, height);
}
