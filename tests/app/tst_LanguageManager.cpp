#include "app/LanguageManager.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

enum class Encoding { Utf16WithBom, Utf16NoBom, Utf16BigEndian, Utf16TrailingByte, Utf8 };

QByteArray encode(const QString& text, Encoding encoding)
{
    switch (encoding) {
    case Encoding::Utf16WithBom:
        return QByteArray("\xff\xfe", 2) + QStringEncoder(QStringConverter::Utf16LE)(text);
    case Encoding::Utf16NoBom:
        return QStringEncoder(QStringConverter::Utf16LE)(text);
    case Encoding::Utf16BigEndian:
        return QByteArray("\xfe\xff", 2) + QStringEncoder(QStringConverter::Utf16BE)(text);
    case Encoding::Utf16TrailingByte:
        return QByteArray("\xff\xfe", 2) + QStringEncoder(QStringConverter::Utf16LE)(text) + '\x41';
    case Encoding::Utf8:
        return text.toUtf8();
    }
    return {};
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Retranslates its label whenever the language changes, as every window of the program does.
class RetranslatingWidget : public QWidget
{
public:
    RetranslatingWidget() : label(new QLabel(this)) { retranslate(); }
    QLabel* label;
    int languageChanges = 0;

protected:
    void changeEvent(QEvent* event) override
    {
        if (event->type() == QEvent::LanguageChange) {
            ++languageChanges;
            retranslate();
        }
        QWidget::changeEvent(event);
    }

private:
    void retranslate() { label->setText(QCoreApplication::translate("Window", "Start Recording")); }
};

} // namespace

Q_DECLARE_METATYPE(Encoding)

class tst_LanguageManager : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir_;
    int fileCounter_ = 0;
    LanguageManager& manager() { return LanguageManager::instance(); }

private Q_SLOTS:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        QVERIFY(dir_.isValid());
        QCoreApplication::installTranslator(&manager());
    }

    void init() { manager().setLanguagesDirectory(dir_.path()); }
    void cleanup() { manager().setLanguage("en"); }

    void lookupFollowsFileRules_data()
    {
        QTest::addColumn<QString>("content");
        QTest::addColumn<Encoding>("encoding");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("expected");

        const QString arrow = QStringLiteral(" \u2192 ");
        const QString entry = "Start Recording" + arrow + "Aufnahme starten";
        QTest::newRow("with byte order mark")
            << ";LangName=Deutsch\n" + entry << Encoding::Utf16WithBom << "Start Recording"
            << "Aufnahme starten";
        QTest::newRow("without byte order mark")
            << entry << Encoding::Utf16NoBom << "Start Recording"
            << "Aufnahme starten";
        QTest::newRow("windows line ends and blanks")
            << ";LangName=X\r\n\r\n   Start Recording\t\u2192\t Aufnahme starten  \r\nA\u2192B\r\n"
            << Encoding::Utf16WithBom << "Start Recording"
            << "Aufnahme starten";
        QTest::newRow("untranslated text stays English")
            << entry << Encoding::Utf16WithBom << "Stop Recording"
            << "Stop Recording";
        QTest::newRow("empty translation keeps English")
            << "Start Recording \u2192   " << Encoding::Utf16WithBom << "Start Recording"
            << "Start Recording";
        QTest::newRow("line without arrow ignored")
            << "Start Recording Aufnahme starten" << Encoding::Utf16WithBom << "Start Recording"
            << "Start Recording";
        QTest::newRow("arrow at the start ignored")
            << "\u2192Start Recording" << Encoding::Utf16WithBom << ""
            << "";
        QTest::newRow("commented entry ignored") << ";Start Recording" + arrow + "Aufnahme starten"
                                                 << Encoding::Utf16WithBom << "Start Recording"
                                                 << "Start Recording";
        QTest::newRow("later arrows belong to the translation")
            << "A" + arrow + "B" + arrow + "C" << Encoding::Utf16WithBom << "A"
            << "B \u2192 C";
        QTest::newRow("placeholder kept")
            << "Error scaling frame: %1" + arrow + "Fehler beim Skalieren: %1"
            << Encoding::Utf16WithBom << "Error scaling frame: %1"
            << "Fehler beim Skalieren: %1";
        QTest::newRow("source with a trailing blank")
            << "Error: Unable to open output file." + arrow + "Fehler: Datei nicht offen."
            << Encoding::Utf16WithBom << "Error: Unable to open output file. "
            << "Fehler: Datei nicht offen. ";
        QTest::newRow("utf-8 file stays English")
            << ";LangName=Deutsch\n" + entry << Encoding::Utf8 << "Start Recording"
            << "Start Recording";
        QTest::newRow("big-endian file stays English")
            << entry << Encoding::Utf16BigEndian << "Start Recording"
            << "Start Recording";
        QTest::newRow("stray last byte spoils nothing before it")
            << entry + "\n"
            << Encoding::Utf16TrailingByte << "Start Recording"
            << "Aufnahme starten";
    }
    void lookupFollowsFileRules()
    {
        QFETCH(QString, content);
        QFETCH(Encoding, encoding);
        QFETCH(QString, source);
        // A fresh code per row: tables are loaded once and kept.
        const QString code = QString("row%1").arg(++fileCounter_);
        writeFile(dir_.filePath(code + ".lng"), encode(content, encoding));

        manager().setLanguage(code);
        const QByteArray utf8 = source.toUtf8();
        QTEST(QCoreApplication::translate("AnyContext", utf8.constData()), "expected");
    }

    void englishAndMissingLanguagesReadNoFile_data()
    {
        QTest::addColumn<QString>("code");
        QTest::newRow("en") << "en";
        QTest::newRow("EN") << "EN";
        QTest::newRow("empty") << "";
        QTest::newRow("no such file") << "xx-missing";
    }
    void englishAndMissingLanguagesReadNoFile()
    {
        QFETCH(QString, code);
        // A file under the English codes would translate if it were read.
        const QByteArray content =
            encode("Start Recording \u2192 Aufnahme", Encoding::Utf16WithBom);
        writeFile(dir_.filePath("en.lng"), content);
        writeFile(dir_.filePath("EN.lng"), content);
        manager().setLanguage(code);
        QCOMPARE(QCoreApplication::translate("Window", "Start Recording"),
                 QString("Start Recording"));
        QVERIFY(QFile::remove(dir_.filePath("en.lng")));
        QVERIFY(QFile::remove(dir_.filePath("EN.lng")));
    }

    void availableLanguagesAndCombo()
    {
        QTemporaryDir languages;
        QVERIFY(languages.isValid());
        const auto put = [&](const QString& name, const QString& text, Encoding e) {
            writeFile(languages.filePath(name), encode(text, e));
        };
        put("b.lng", ";LangName=Bravo\nA \u2192 B", Encoding::Utf16WithBom);
        put("A.lng", ";langname=  Alpha  \n", Encoding::Utf16NoBom);
        put("c.lng", "A \u2192 C\n;LangName=Charlie", Encoding::Utf16WithBom);
        put("d.lng", "\n;LangName=Delta", Encoding::Utf16WithBom);
        put("e.lng", ";LangName=Echo", Encoding::Utf8);
        put("F.LNG.lng", ";LANGNAME=Foxtrot", Encoding::Utf16WithBom);
        put(".lng", ";LangName=Nameless", Encoding::Utf16WithBom);
        put("notes.txt", ";LangName=Notes", Encoding::Utf16WithBom);
        QVERIFY(QDir(languages.path()).mkdir("g.lng"));
        manager().setLanguagesDirectory(languages.path());

        const QList<QPair<QString, QString>> expected{
            {"A", "Alpha"}, {"b", "Bravo"}, {"c", "c"},
            {"d", "d"},     {"e", "e"},     {"F.LNG", "Foxtrot"},
        };
        QCOMPARE(manager().availableLanguages(), expected);

        QComboBox combo;
        combo.addItem("stale entry");
        manager().populateLanguageCombo(&combo);
        QCOMPARE(combo.count(), expected.size() + 1);
        QCOMPARE(combo.itemText(0), QString("English"));
        QCOMPARE(combo.itemData(0).toString(), QString("en"));
        for (int i = 0; i < expected.size(); ++i) {
            QCOMPARE(combo.itemText(i + 1), expected[i].second);
            QCOMPARE(combo.itemData(i + 1).toString(), expected[i].first);
        }

        manager().setLanguagesDirectory(languages.path() + "/does-not-exist");
        QVERIFY(manager().availableLanguages().isEmpty());
        manager().populateLanguageCombo(&combo);
        QCOMPARE(combo.count(), 1);
        QCOMPARE(combo.itemData(0).toString(), QString("en"));
    }

    void setLanguageRetranslatesEveryWidget()
    {
        writeFile(dir_.filePath("switch.lng"),
                  encode(";LangName=Test\nStart Recording \u2192 Aufnahme starten",
                         Encoding::Utf16WithBom));
        RetranslatingWidget shown;
        shown.show();
        RetranslatingWidget hidden; // never shown: no native window of its own
        QCOMPARE(shown.label->text(), QString("Start Recording"));

        manager().setLanguage("switch");
        QCOMPARE(manager().currentLanguage(), QString("switch"));
        QVERIFY(hidden.languageChanges >= 1);
        QTRY_VERIFY(shown.languageChanges >= 1);
        QCOMPARE(shown.label->text(), QString("Aufnahme starten"));
        QCOMPARE(hidden.label->text(), QString("Aufnahme starten"));

        // The same language again changes nothing and tells nobody.
        QCoreApplication::processEvents();
        const int before = hidden.languageChanges;
        manager().setLanguage("switch");
        QCoreApplication::processEvents();
        QCOMPARE(hidden.languageChanges, before);

        manager().setLanguage("");
        QCOMPARE(manager().currentLanguage(), QString("en"));
        QCOMPARE(hidden.label->text(), QString("Start Recording"));
        QTRY_COMPARE(shown.label->text(), QString("Start Recording"));
    }

    // The German file that ships with the program: every text of the program translated,
    // placeholders intact.
    void shippedGermanFileIsComplete_data()
    {
        QTest::addColumn<QString>("source");
        const char* const texts[] = {
            "AppCrash",
            "The application has crashed. The file crash.dmp has been created.",
            "Error: Unsupported video format.",
            "Error: Unable to allocate output context. [%1]",
            "Error: Encoder not found.",
            "Error: Unable to create output stream for video.",
            "Error: Unable to allocate output codec context.",
            "Error: Unable to open output file. ",
            "muxingThread Error: Unable to open encoder.",
            "Error: Unable to copy encoder parameters to output stream.",
            "Could not find an audio encoder.",
            "Could not create output audio stream.",
            "Could not allocate an encoding context for output audio.",
            "Could not open output codec for output audio.",
            "Could not initialize stream parameters for output audio.",
            "Could not allocate audio FIFO.",
            "Error allocating resampled_audio_frame.",
            "Could not write output file header.",
            "Error: Unable to initialize SwsContext for RGB conversion.",
            "Error: Unable to allocate RGB frame buffer for preview.",
            "Error: Unable to initialize the SwsContext.",
            "Error: Unable to allocate YUV frame.",
            "Error: Unable to allocate YUV frame buffer.",
            "Error: Unable to initialize SwsContext.",
            "Error: Unable to initialize SwsContext for resized frame.",
            "Error scaling frame: %1",
            "Error sending frame to encoder: encoder not initialized.",
            "Error writing video packet to output file (EAGAIN drain): %1",
            "Error sending frame to encoder:.",
            "Error writing video packet to output file: %1",
            "Error copying channel layout: %1",
            "Warning: swr_free did not fully free resampler context!",
            "Error allocating audio resampler: %1",
            "Error initializing audio resampler: %1",
            "Error copying channel layout for resampled_audio_frame: %1",
            "Error copying channel layout for output_frame: %1",
            "Error writing audio packet to output file: %1",
            "Error sending flush frame to video encoder: %1",
            "Error writing flushed video packet to output file: %1",
            "Error sending remaining audio frame to encoder during flush: %1",
            "Error receiving remaining audio packet from encoder during flush: %1",
            "Error writing remaining audio packet to output file during flush: %1",
            "Error sending flush frame to audio encoder: %1",
            "Error writing flushed audio packet to output file: %1",
            "Video write finished.",
        };
        for (const char* text : texts)
            QTest::newRow(text) << QString::fromUtf8(text);
    }
    void shippedGermanFileIsComplete()
    {
        QFETCH(QString, source);
        manager().setLanguagesDirectory(QStringLiteral(TORVANE_BINARY_DIR) + "/Languages");
        const auto languages = manager().availableLanguages();
        QVERIFY(languages.contains(qMakePair(QString("de"), QString("Deutsch"))));

        manager().setLanguage("de");
        const QByteArray utf8 = source.toUtf8();
        const QString translated = QCoreApplication::translate("mux_thread_win", utf8.constData());
        QVERIFY2(!translated.isEmpty() && translated != source, qPrintable(translated));
        static const QRegularExpression placeholder("%\\d");
        const auto markers = [](const QString& text) {
            QStringList found;
            for (const auto& match : placeholder.globalMatch(text))
                found << match.captured();
            return found;
        };
        QCOMPARE(markers(translated), markers(source));
        QCOMPARE(translated.endsWith(' '), source.endsWith(' '));
    }
};

QTEST_MAIN(tst_LanguageManager)
#include "tst_LanguageManager.moc"
