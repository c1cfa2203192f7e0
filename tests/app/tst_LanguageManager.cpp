#include "app/LanguageManager.h"
#include "support/TestSupport.h"

#include <QComboBox>
#include <QLabel>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString arrow = QStringLiteral(" \u2192 ");

// Language files are UTF-16 little-endian, with or without a byte order mark.
QByteArray utf16(const QString& text, bool bom = true)
{
    return (bom ? QByteArray("\xff\xfe", 2) : QByteArray()) +
           QByteArray(QStringEncoder(QStringConverter::Utf16LE)(text));
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QString translated(const char* text)
{
    return QCoreApplication::translate("AnyContext", text);
}

} // namespace

class tst_LanguageManager : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;
    int files_ = 0;
    LanguageManager& manager() { return LanguageManager::instance(); }

private Q_SLOTS:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        QCoreApplication::installTranslator(&manager());
    }
    void init() { manager().setLanguagesDirectory(dir_.path()); }
    void cleanup() { manager().setLanguage("en"); }

    void fileEncodings_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<bool>("read");
        const QString entry = ";LangName=Deutsch\nStart" + arrow + "Los";
        QTest::newRow("UTF-16 with byte order mark") << utf16(entry) << true;
        QTest::newRow("UTF-16 without byte order mark") << utf16(entry, false) << true;
        QTest::newRow("a stray last byte spoils nothing before it") << utf16(entry) + 'x' << true;
        QTest::newRow("UTF-8 stays English") << entry.toUtf8() << false;
    }
    void fileEncodings()
    {
        QFETCH(QByteArray, file);
        QFETCH(bool, read);
        // A fresh code per row: tables are loaded once and kept.
        const QString code = QString("row%1").arg(++files_);
        writeFile(dir_.filePath(code + ".lng"), file);
        manager().setLanguage(code);
        QCOMPARE(translated("Start"), QString(read ? "Los" : "Start"));
    }

    void lookupFollowsFileRules()
    {
        writeFile(
            dir_.filePath("rules.lng"),
            utf16(";LangName=Rules\r\n\r\n   Start Recording\t\u2192\t Aufnahme starten  \r\n"
                  "Empty \u2192   \nNo arrow\n\u2192Arrow first\n;Commented \u2192 Kommentiert\n"
                  "A \u2192 B \u2192 C\nError: file. \u2192 Fehler: Datei.\n"));
        manager().setLanguage("rules");
        const QList<QPair<const char*, QString>> lookups{
            {"Start Recording", "Aufnahme starten"},
            {"Untranslated", "Untranslated"},
            {"Empty", "Empty"},
            {"No arrow", "No arrow"},
            {"", ""},
            {"Commented", "Commented"},
            {"A", "B" + arrow + "C"},             // later arrows belong to the translation
            {"Error: file. ", "Fehler: Datei. "}, // the source's trailing blank is kept
        };
        for (const auto& [source, expected] : lookups)
            QCOMPARE(translated(source), expected);
    }

    void englishAndMissingLanguagesReadNoFile()
    {
        // A file under the English codes would translate if it were read.
        for (const char* code : {"en", "EN"})
            writeFile(dir_.filePath(QString(code) + ".lng"), utf16("Start" + arrow + "Los"));
        for (const char* code : {"EN", "", "xx-missing"}) {
            manager().setLanguage(code);
            QCOMPARE(translated("Start"), QString("Start"));
        }
    }

    void availableLanguagesAndCombo()
    {
        QTemporaryDir languages;
        writeFile(languages.filePath("b.lng"), utf16(";LangName=Bravo\nA" + arrow + "B"));
        writeFile(languages.filePath("A.lng"), utf16(";langname=  Alpha  \n", false));
        writeFile(languages.filePath("c.lng"), utf16("A" + arrow + "C\n;LangName=Charlie"));
        writeFile(languages.filePath(".lng"), utf16(";LangName=Nameless"));
        writeFile(languages.filePath("notes.txt"), utf16(";LangName=Notes"));
        QVERIFY(QDir(languages.path()).mkdir("g.lng"));
        manager().setLanguagesDirectory(languages.path());

        QComboBox combo;
        combo.addItem("stale entry");
        manager().populateLanguageCombo(&combo);
        QStringList shown;
        for (int i = 0; i < combo.count(); ++i)
            shown << combo.itemData(i).toString() + "=" + combo.itemText(i);
        QCOMPARE(shown, (QStringList{"en=English", "A=Alpha", "b=Bravo", "c=c"}));

        manager().setLanguagesDirectory(languages.path() + "/does-not-exist");
        manager().populateLanguageCombo(&combo);
        QCOMPARE(combo.count(), 1);
    }

    void setLanguageRetranslatesEveryWidget()
    {
        writeFile(dir_.filePath("switch.lng"), utf16("Start Recording" + arrow + "Aufnahme"));
        // Retranslate on a language change, as every window of the program does.
        struct Retranslating : QLabel
        {
            int changes = 0;
            void changeEvent(QEvent* event) override
            {
                if (event->type() == QEvent::LanguageChange) {
                    ++changes;
                    setText(QCoreApplication::translate("Window", "Start Recording"));
                }
                QLabel::changeEvent(event);
            }
        };
        Retranslating shown;
        shown.show();
        Retranslating hidden; // never shown: no native window of its own
        manager().setLanguage("switch");
        QCOMPARE(manager().currentLanguage(), QString("switch"));
        QCOMPARE(hidden.text(), QString("Aufnahme"));
        QTRY_COMPARE(shown.text(), QString("Aufnahme"));
        // The same language again tells nobody.
        QCoreApplication::processEvents();
        const int before = hidden.changes;
        manager().setLanguage("switch");
        QCoreApplication::processEvents();
        QCOMPARE(hidden.changes, before);
        manager().setLanguage("");
        QCOMPARE(manager().currentLanguage(), QString("en"));
        QCOMPARE(hidden.text(), QString("Start Recording"));
    }

    // The German file that ships with the program: named, read, and every entry keeps the
    // placeholders of its source.
    void shippedGermanFileKeepsPlaceholders()
    {
        manager().setLanguagesDirectory(QStringLiteral(TORVANE_BINARY_DIR) + "/Languages");
        QVERIFY(manager().availableLanguages().contains({"de", "Deutsch"}));
        QFile file(QStringLiteral(TORVANE_BINARY_DIR) + "/Languages/de.lng");
        QVERIFY(file.open(QIODevice::ReadOnly));
        manager().setLanguage("de");
        const QRegularExpression placeholder("%\\d");
        const auto markers = [&](const QString& text) {
            QStringList found;
            for (const auto& match : placeholder.globalMatch(text))
                found << match.captured();
            return found;
        };
        int changed = 0;
        for (const QString& line :
             QString(QStringDecoder(QStringConverter::Utf16LE)(file.readAll())).split('\n')) {
            const QString source = line.section(QChar(u'\u2192'), 0, 0).trimmed();
            if (!line.contains(QChar(u'\u2192')) || source.startsWith(';') || source.isEmpty())
                continue;
            const QString german = translated(source.toUtf8().constData());
            QCOMPARE(markers(german), markers(source));
            changed += german != source;
        }
        QVERIFY(changed > 40);
    }
};

QTEST_MAIN(tst_LanguageManager)
#include "tst_LanguageManager.moc"
