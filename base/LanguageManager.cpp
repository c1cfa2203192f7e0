#include "LanguageManager.h"

#include "SettingsKeys.h"
#include "SettingsStore.h"

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QWidget>

namespace {

constexpr char16_t kArrow = u'\u2192';
constexpr char16_t kByteOrderMark = u'\uFEFF';
const QString kLangNamePrefix = QStringLiteral(";LangName=");

bool isEnglish(const QString& code)
{
    return code.isEmpty() || code.compare(QLatin1String("en"), Qt::CaseInsensitive) == 0;
}

// Language files are UTF-16 LE with or without a byte order mark. A file in another encoding
// decodes to nonsense without arrows, so its texts simply stay English.
QString decodeLanguageFile(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringConverter::Utf16LE);
    QString text = decoder(bytes);
    if (text.startsWith(QChar(kByteOrderMark)))
        text.remove(0, 1);
    return text;
}

// Display name from the first line, or the code when it does not name one.
QString displayNameFromFirstLine(const QString& firstLine, const QString& code)
{
    const QString line = firstLine.trimmed();
    if (line.startsWith(kLangNamePrefix, Qt::CaseInsensitive))
        return line.mid(kLangNamePrefix.size()).trimmed();
    return code;
}

} // namespace

LanguageManager& LanguageManager::instance()
{
    static LanguageManager manager;
    return manager;
}

LanguageManager::LanguageManager() = default;

QString LanguageManager::translate(const char* /*context*/, const char* sourceText,
                                   const char* /*disambiguation*/, int /*n*/) const
{
    const QString source = QString::fromUtf8(sourceText);
    QMutexLocker lock(&mutex_);
    const QString language = currentLanguage_;
    if (isEnglish(language))
        return source;
    if (!loaded_.contains(language))
        loadLocked(language);
    const auto table = tables_.constFind(language);
    if (table == tables_.constEnd())
        return source;

    return lookUp(*table, source);
}

QString LanguageManager::lookUp(const QHash<QString, QString>& table, const QString& source)
{
    QString translation = table.value(source);
    if (translation.isEmpty()) {
        // File entries are trimmed, so a source such as "Error: ... file. " (a path follows) is
        // found under its trimmed text; its surrounding blanks are put back.
        const QString trimmed = source.trimmed();
        if (trimmed.isEmpty() || trimmed.size() == source.size())
            return source;
        translation = table.value(trimmed);
        if (translation.isEmpty())
            return source;
        const qsizetype lead = source.indexOf(trimmed);
        translation = source.left(lead) + translation + source.mid(lead + trimmed.size());
    }
    return translation;
}

void LanguageManager::loadLocked(const QString& code) const
{
    // A missing or unreadable file is remembered too: each file is read at most once a run.
    loaded_.insert(code);
    const QString path = languagesDirectoryLocked() + QLatin1Char('/') + code + ".lng";
    if (!QFileInfo(path).isFile())
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    tables_[code] = parseLanguageFile(file.readAll());
}

QHash<QString, QString> LanguageManager::parseLanguageFile(const QByteArray& bytes)
{
    QHash<QString, QString> table;
    const QStringList lines = decodeLanguageFile(bytes).split(QLatin1Char('\n'));
    for (const QString& rawLine : lines) {
        const QString line = rawLine.trimmed();
        // The first line's ";LangName=" is a comment as far as the table is concerned.
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')))
            continue;
        const qsizetype arrow = line.indexOf(QChar(kArrow));
        if (arrow <= 0)
            continue;
        table.insert(line.left(arrow).trimmed(), line.mid(arrow + 1).trimmed());
    }
    return table;
}

QString LanguageManager::languageNameFromFile(const QByteArray& bytes, const QString& code)
{
    const QString text = decodeLanguageFile(bytes);
    return displayNameFromFirstLine(text.left(text.indexOf(QLatin1Char('\n'))), code);
}

void LanguageManager::installWithSavedLanguage()
{
    QCoreApplication::installTranslator(this);
    setLanguage(SettingsStore::instance()
                    .value(settings::kUiGroup, settings::kLanguage, "en")
                    .toString()
                    .toLower());
}

void LanguageManager::setLanguage(const QString& code)
{
    const QString language = code.isEmpty() ? QStringLiteral("en") : code;
    {
        QMutexLocker lock(&mutex_);
        const QString current =
            currentLanguage_.isEmpty() ? QStringLiteral("en") : currentLanguage_;
        const bool same = language == current;
        currentLanguage_ = language;
        if (same)
            return;
    }
    // Reinstalling makes Qt announce the change to the application and its windows.
    QCoreApplication::removeTranslator(this);
    QCoreApplication::installTranslator(this);
    // Widgets without a native window of their own would otherwise miss it.
    QEvent change(QEvent::LanguageChange);
    for (QWidget* widget : QApplication::allWidgets())
        QCoreApplication::sendEvent(widget, &change);
}

QString LanguageManager::currentLanguage() const
{
    QMutexLocker lock(&mutex_);
    return currentLanguage_.isEmpty() ? QStringLiteral("en") : currentLanguage_;
}

QList<QPair<QString, QString>> LanguageManager::availableLanguages() const
{
    QList<QPair<QString, QString>> languages;
    const QDir dir(languagesDirectory());
    if (!dir.exists())
        return languages;
    const QFileInfoList files =
        dir.entryInfoList({QStringLiteral("*.lng")}, QDir::Files, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo& file : files) {
        const QString code = file.completeBaseName();
        if (code.isEmpty())
            continue;
        QFile input(file.filePath());
        const QByteArray bytes = input.open(QIODevice::ReadOnly) ? input.readAll() : QByteArray();
        languages.append({code, languageNameFromFile(bytes, code)});
    }
    return languages;
}

void LanguageManager::populateLanguageCombo(QComboBox* combo) const
{
    if (!combo)
        return;
    combo->clear();
    combo->addItem(QStringLiteral("English"), QStringLiteral("en"));
    for (const auto& [code, name] : availableLanguages())
        combo->addItem(name, code);
}

void LanguageManager::setLanguagesDirectory(const QString& directory)
{
    QMutexLocker lock(&mutex_);
    languagesDirectory_ = directory;
    tables_.clear();
    loaded_.clear();
}

QString LanguageManager::languagesDirectory() const
{
    QMutexLocker lock(&mutex_);
    return languagesDirectoryLocked();
}

QString LanguageManager::languagesDirectoryLocked() const
{
    if (!languagesDirectory_.isEmpty())
        return languagesDirectory_;
    // Beside the executable in a build folder; in the shared data folder once installed
    // (<prefix>/bin/torvane finds <prefix>/share/torvane/Languages).
    const QString programFolder = QCoreApplication::applicationDirPath();
    const QString beside = programFolder + QStringLiteral("/Languages");
    const QString installed =
        QDir::cleanPath(programFolder + QStringLiteral("/../share/torvane/Languages"));
    return QFileInfo(beside).isDir() || !QFileInfo(installed).isDir() ? beside : installed;
}
