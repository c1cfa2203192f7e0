#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QSet>
#include <QString>
#include <QTranslator>

class QComboBox;

// Answers every tr() lookup from the plain-text language files in the "Languages" folder beside
// the executable (UTF-16 LE, one "English source → translation" entry a line) and switches the
// interface language at run time. One process-wide instance, installed in the application.
//
// translate() is thread-safe (worker threads call tr()); setLanguage() and
// populateLanguageCombo() belong to the GUI thread.
class LanguageManager : public QTranslator
{
    Q_OBJECT

public:
    static LanguageManager& instance();

    // Context, disambiguation and plural count are ignored: one table per language.
    QString translate(const char* context, const char* sourceText,
                      const char* disambiguation = nullptr, int n = -1) const override;
    // Never empty, so that installing the translator announces a language change.
    bool isEmpty() const override { return false; }

    // Installs the manager in the application and applies the language saved in the settings.
    void installWithSavedLanguage();
    // Switches the interface language; empty means "en". Every widget gets a LanguageChange.
    void setLanguage(const QString& code);
    QString currentLanguage() const;

    // (code, display name) of every language file, sorted by file name ignoring case.
    QList<QPair<QString, QString>> availableLanguages() const;
    // "English" ("en") first, then one entry per language file, the code as user data.
    void populateLanguageCombo(QComboBox* combo) const;

    // Folder of the language files: applicationDirPath() + "/Languages", or when that is missing
    // ../share/torvane/Languages relative to it (installed), unless set here (tests point it at
    // a folder of their own). Setting it forgets every loaded table.
    void setLanguagesDirectory(const QString& directory);
    QString languagesDirectory() const;

    // The table of a language file's bytes: trimmed English text to trimmed translation.
    static QHash<QString, QString> parseLanguageFile(const QByteArray& bytes);
    // The name a language file's bytes give on their first line, or code when they name none.
    static QString languageNameFromFile(const QByteArray& bytes, const QString& code);
    // The translation of source in table; one found under the trimmed text gets source's
    // surrounding blanks back. Source itself when the table has none.
    static QString lookUp(const QHash<QString, QString>& table, const QString& source);

private:
    LanguageManager();

    QString languagesDirectoryLocked() const;
    // Reads one language file into its table; the mutex is held.
    void loadLocked(const QString& code) const;

    mutable QMutex mutex_;
    QString currentLanguage_;
    QString languagesDirectory_;
    mutable QHash<QString, QHash<QString, QString>> tables_;
    mutable QSet<QString> loaded_;
};
