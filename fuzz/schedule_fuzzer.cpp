// Feeds arbitrary bytes to the reader of schedule.json, writes back what it read and reads that
// again: the second reading must give the same schedules, so that saving never drifts.
#include "base/JsonListFile.h"
#include "schedule/ScheduleItem.h"

#include <QJsonDocument>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString member = QStringLiteral("schedules");
    const std::optional<QJsonArray> list = JsonListFile::parse(
        QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)), member);
    if (!list)
        return 0;
    QJsonArray saved;
    for (const QJsonValue& value : *list)
        if (value.isObject())
            saved.append(ScheduleItem::fromJson(value.toObject()).toJson());
    const QByteArray file = QJsonDocument(QJsonObject{{member, saved}}).toJson();
    const std::optional<QJsonArray> reread = JsonListFile::parse(file, member);
    if (!reread || reread->size() != saved.size())
        std::abort();
    for (qsizetype i = 0; i < saved.size(); ++i)
        if (ScheduleItem::fromJson(reread->at(i).toObject()).toJson() != saved.at(i).toObject())
            std::abort();
    return 0;
}
