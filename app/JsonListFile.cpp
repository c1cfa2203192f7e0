#include "JsonListFile.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cmath>
#include <utility>

JsonListFile::JsonListFile(QString path, QString member)
    : path_(std::move(path)), member_(std::move(member))
{
}

std::optional<QJsonArray> JsonListFile::load() const
{
    QFile file(path_);
    if (!file.exists())
        return QJsonArray();
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning().noquote() << "Unable to read" << path_ << ":" << file.errorString();
        return std::nullopt;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    file.close();
    if (error.error != QJsonParseError::NoError) {
        qWarning().noquote() << "Unable to parse" << path_ << ":" << error.errorString()
                             << "at offset" << error.offset;
        moveAside();
        return std::nullopt;
    }
    if (document.isArray())
        return document.array();
    if (document.isObject())
        return document.object().value(member_).toArray();
    qWarning().noquote() << "Not a list:" << path_;
    moveAside();
    return std::nullopt;
}

void JsonListFile::moveAside() const
{
    QString target = path_ + QStringLiteral(".broken");
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = path_ + QStringLiteral(".broken.%1").arg(n);
    if (QFile::rename(path_, target))
        qWarning().noquote() << "Kept the unreadable file as" << target;
    else
        qWarning().noquote() << "Unable to keep the unreadable file as" << target;
}

bool JsonListFile::save(const QJsonArray& list) const
{
    QSaveFile file(path_);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray text =
        QJsonDocument(QJsonObject{{member_, list}}).toJson(QJsonDocument::Indented);
    return file.write(text) > 0 && file.commit();
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
