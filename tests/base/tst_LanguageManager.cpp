#include "base/LanguageManager.h"
#include "support/TestSupport.h"

#include <QComboBox>
#include <QLabel>
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

} // namespace

using testsupport::writeFile;

class tst_LanguageManager : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    LanguageManager& manager() { return LanguageManager::instance(); }

private Q_SLOTS:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        QCoreApplication::installTranslator(&manager());
    }
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        manager().setLanguagesDirectory(dir_->path());
    }
    void cleanup() { manager().setLanguage("en"); }

    void lookupFollowsFileRules()
    {
        QVERIFY(writeFile(
            dir_->filePath("rules.lng"),
            utf16(";LangName=Rules\r\n\r\n   Start Recording\t\u2192\t Aufnahme starten  \r\n"
                  "Empty \u2192   \nNo arrow\n\u2192Arrow first\n;Commented \u2192 Kommentiert\n"
                  "A \u2192 B \u2192 C\nError: file. \u2192 Fehler: Datei.\n",
                  false)));
        manager().setLanguage("rules");
        // Later arrows belong to the translation; a source's trailing blank is kept.
        const QList<QPair<const char*, QString>> lookups{{"Start Recording", "Aufnahme starten"},
                                                         {"Untranslated", "Untranslated"},
                                                         {"Empty", "Empty"},
                                                         {"No arrow", "No arrow"},
                                                         {"", ""},
                                                         {"Commented", "Commented"},
                                                         {"A", "B" + arrow + "C"},
                                                         {"Error: file. ", "Fehler: Datei. "}};
        for (const auto& [source, expected] : lookups)
            QCOMPARE(QCoreApplication::translate("Any", source), expected);
    }

    // Named or not, and without the files that are no language: for the settings' list.
    void availableLanguagesAndCombo()
    {
        QVERIFY(writeFile(dir_->filePath("b.lng"), utf16(";LangName=Bravo\nA" + arrow + "B")));
        QVERIFY(
            writeFile(dir_->filePath("A.lng"), utf16("A" + arrow + "C\n;LangName=Alpha", false)));
        QVERIFY(writeFile(dir_->filePath(".lng"), utf16(";LangName=Nameless")));
        QVERIFY(QDir(dir_->path()).mkdir("g.lng"));
        QComboBox combo;
        combo.addItem("stale entry");
        manager().populateLanguageCombo(&combo);
        QStringList shown;
        for (int i = 0; i < combo.count(); ++i)
            shown << combo.itemData(i).toString() + "=" + combo.itemText(i);
        QCOMPARE(shown, (QStringList{"en=English", "A=A", "b=Bravo"}));
        manager().setLanguagesDirectory(dir_->filePath("does-not-exist"));
        QVERIFY(manager().availableLanguages().isEmpty());
    }

    void setLanguageRetranslatesEveryWidget()
    {
        QVERIFY(
            writeFile(dir_->filePath("switch.lng"), utf16("Start Recording" + arrow + "Aufnahme")));
        // Retranslate on a language change, as every window of the program does.
        struct Retranslating : QLabel
        {
            void changeEvent(QEvent* event) override
            {
                if (event->type() == QEvent::LanguageChange)
                    setText(QCoreApplication::translate("Window", "Start Recording"));
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
        manager().setLanguage("");
        QCOMPARE(manager().currentLanguage(), QString("en"));
        QCOMPARE(hidden.text(), QString("Start Recording"));
    }
};

QTEST_MAIN(tst_LanguageManager)
#include "tst_LanguageManager.moc"
