// Feeds arbitrary bytes to the reader of language files (UTF-16 LE, with or without a byte order
// mark; odd lengths and lone surrogates included) and looks every entry up as tr() does.
#include "base/LanguageManager.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    (void)LanguageManager::languageNameFromFile(bytes, QStringLiteral("xx"));
    const QHash<QString, QString> table = LanguageManager::parseLanguageFile(bytes);
    for (auto entry = table.cbegin(); entry != table.cend(); ++entry) {
        // An entry is found under its text, and under that text with blanks around it, which
        // come back around the translation; an empty translation leaves the text as it is.
        const QString padded = QLatin1Char(' ') + entry.key() + QLatin1Char('\t');
        const bool empty = entry.value().isEmpty();
        if (LanguageManager::lookUp(table, entry.key()) != (empty ? entry.key() : entry.value()) ||
            LanguageManager::lookUp(table, padded) !=
                (empty ? padded : QLatin1Char(' ') + entry.value() + QLatin1Char('\t')))
            std::abort();
    }
    return 0;
}
