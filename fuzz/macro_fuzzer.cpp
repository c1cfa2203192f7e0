// Feeds arbitrary bytes to the reader of macro.json, works out each macro's length and rectangles
// as the macro dialogs show them, writes back what it read and reads that again: the second
// reading must give the same macros, so that saving never drifts.
#include "base/JsonListFile.h"
#include "macro/MacroItem.h"

#include <QJsonDocument>
#include <QRect>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString member = QStringLiteral("macros");
    const std::optional<QJsonArray> list = JsonListFile::parse(
        QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)), member);
    if (!list)
        return 0;
    QJsonArray saved;
    for (const QJsonValue& value : *list) {
        if (!value.isObject())
            continue;
        const MacroItem item = MacroItem::fromJson(value.toObject());
        (void)item.durationText();
        (void)item.isValid();
        for (const MacroAction& action : item.actions) {
            const QVariantMap& p = action.parameters;
            (void)QRect(p.value("left").toInt(), p.value("top").toInt(), p.value("width").toInt(),
                        p.value("height").toInt())
                .size();
        }
        saved.append(item.toJson());
    }
    const QByteArray file = QJsonDocument(QJsonObject{{member, saved}}).toJson();
    const std::optional<QJsonArray> reread = JsonListFile::parse(file, member);
    if (!reread || reread->size() != saved.size())
        std::abort();
    for (qsizetype i = 0; i < saved.size(); ++i)
        if (MacroItem::fromJson(reread->at(i).toObject()).toJson() != saved.at(i).toObject())
            std::abort();
    return 0;
}
