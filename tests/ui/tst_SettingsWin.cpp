// The settings dialog as a user drives it, read back from settings.ini.
#include "base/LanguageManager.h"
#include "base/SettingsKeys.h"
#include "base/SettingsStore.h"
#include "platform/systemd/WindowsTaskScheduler.h"
#include "schedule/ScheduleStore.h"
#include "support/TestSupport.h"
#include "ui/settings_win.h"

#include <QtTest>
#include <QtWidgets>

using namespace settings;

namespace {
QString stored(const char* group, const char* key)
{
    return SettingsStore::instance().value(group, key).toString();
}
void store(const char* group, const char* key, const QVariant& value)
{
    SettingsStore::instance().setValue(group, key, value);
}
} // namespace

class tst_SettingsWin : public QObject
{
    Q_OBJECT

    QStringList warnings;
    QTemporaryDir dir;
    std::unique_ptr<settings_win> dialog;

    template <typename T = QLineEdit> T* get(const char* name)
    {
        return dialog->findChild<T*>(name);
    }
    void open()
    {
        dialog = std::make_unique<settings_win>();
        dialog->setBoxHandler([this](const QString& title, const QString&) { warnings << title; });
        dialog->show();
    }
    void choose(const char* combo, const QString& text)
    {
        get<QComboBox>(combo)->setCurrentIndex(get<QComboBox>(combo)->findText(text));
    }
    QString size() { return get("lineEditWidth")->text() + "x" + get("lineEditHeight")->text(); }
    void save() { get<QPushButton>("pushButtonSave")->click(); }

private Q_SLOTS:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        ScheduleStore::setTaskSchedulerFactory([] { return nullptr; });
    }
    void init()
    {
        warnings.clear();
        store(kOutputGroup, kRecordingPath, dir.path());
        store(kOutputGroup, kRecordingFileName, "before");
        store(kOutputGroup, kUserDefinedFileName, false);
        store(kVideoGroup, kResolutionIndex, 3);
        store(kAudioGroup, kMicrophoneOwnTrack, false);
    }

    // Picking a listed size fills the edits; a size typed into both picks "Custom Resolution".
    void resolutionListAndCustomSizeFollowEachOther_data()
    {
        QTest::addColumn<int>("chosen");
        QTest::addColumn<QString>("typedWidth"); // null: nothing typed
        QTest::addColumn<int>("shownIndex");
        QTest::addColumn<QString>("size");
        QTest::newRow("HD portrait") << 4 << QString() << 4 << "720x1280";
        QTest::newRow("width typed") << 4 << "1000" << 13 << "1000x1280";
        QTest::newRow("8K portrait is 7680 high") << 12 << QString() << 12 << "4320x7680";
        QTest::newRow("default clears") << 0 << QString() << 0 << "x";
        QTest::newRow("only a width") << 0 << "640" << 0 << "640x";
    }
    void resolutionListAndCustomSizeFollowEachOther()
    {
        QFETCH(int, chosen);
        QFETCH(QString, typedWidth);
        open();
        QCOMPARE(size(), "1280x720"); // the stored entry's size
        get<QComboBox>("comboBoxResolution")->setCurrentIndex(chosen);
        if (!typedWidth.isNull()) {
            get("lineEditWidth")->clear();
            QTest::keyClicks(get("lineEditWidth"), typedWidth);
        }
        QTEST(get<QComboBox>("comboBoxResolution")->currentIndex(), "shownIndex");
        QTEST(size(), "size");
    }

    // A refused check warns and keeps the dialog open; every other setting, before and after the
    // refused one, is still written. A file name may not hold what no file system takes.
    void saveWritesAllButTheRefusedSetting_data()
    {
        QTest::addColumn<QString>("height");
        QTest::addColumn<QString>("fileName"); // null: user-defined name off
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QStringList>("refused");
        const QString badSize = QStringLiteral("Invalid Custom Resolution");
        const struct
        {
            const char *tag, *height, *fileName, *folder;
            QStringList refused;
        } rows[] = {
            {"all valid, a name in any script", "300", "my clip été 屏幕", "new", {}},
            {"backslashes", "300", nullptr, "a\\b", {}},
            {"height 0", "0", "clip", "new", {badSize}},
            {"empty folder", "300", "clip", "", {"Invalid Path"}},
            {"folder in a file", "300", "clip", "file/sub", {"Error"}},
            {"empty name", "300", "", "new", {"Invalid Filename"}},
            {"two refused", "", "my:clip", "new", {badSize, "Invalid Filename"}},
        };
        for (const auto& row : rows)
            QTest::newRow(row.tag) << row.height << row.fileName << row.folder << row.refused;
    }
    void saveWritesAllButTheRefusedSetting()
    {
        QFETCH(QString, height);
        QFETCH(QString, fileName);
        QFETCH(QString, folder);
        QFETCH(QStringList, refused);
        QFile(dir.filePath("file")).open(QIODevice::WriteOnly);
        store(kVideoGroup, kFps, "15");
        store(kUiGroup, kEnablePreview, true);
        open();
        get<QComboBox>("comboBoxResolution")->setCurrentIndex(13);
        get("lineEditWidth")->setText("400");
        get("lineEditHeight")->setText(height);
        get<QCheckBox>("checkBoxUSerDefineFileName")->setChecked(!fileName.isNull());
        QCOMPARE(get("lineEditFileName")->isEnabled(), !fileName.isNull());
        get("lineEditFileName")->setText(fileName);
        get("lineEditRecordFolder")->setText(folder.isEmpty() ? "" : dir.path() + "/" + folder);
        choose("comboBoxFps", "59.94");
        get<QCheckBox>("checkBoxPrevie")->setChecked(false);
        QVERIFY(!get<QCheckBox>("checkBoxMicrophoneOwnTrack")->isChecked());
        get<QCheckBox>("checkBoxMicrophoneOwnTrack")->setChecked(true);
        save();
        QCOMPARE(warnings, refused);
        QCOMPARE(dialog->isVisible(), !refused.isEmpty());
        QCOMPARE(stored(kVideoGroup, kFps), "59.94");        // written before every check
        QCOMPARE(stored(kUiGroup, kEnablePreview), "false"); // and after every check
        QCOMPARE(stored(kAudioGroup, kMicrophoneOwnTrack), "true");
        const bool sizeSaved = !refused.contains("Invalid Custom Resolution");
        QCOMPARE(stored(kVideoGroup, kResolutionIndex), sizeSaved ? "13" : "3");
        if (sizeSaved)
            QCOMPARE(size(),
                     stored(kVideoGroup, kCustomWidth) + "x" + stored(kVideoGroup, kCustomHeight));
        const bool nameSaved = !fileName.isNull() && !refused.contains("Invalid Filename");
        QCOMPARE(stored(kOutputGroup, kRecordingFileName), nameSaved ? fileName : "before");
        QCOMPARE(stored(kOutputGroup, kUserDefinedFileName), nameSaved ? "true" : "false");
        const QString path = dir.path() + "/" + QString(folder).replace('\\', '/');
        const bool folderSaved = !refused.contains("Invalid Path") && !refused.contains("Error");
        QCOMPARE(stored(kOutputGroup, kRecordingPath), folderSaved ? path : dir.path());
        QVERIFY(!folderSaved || QFileInfo(path).isDir());
    }

    // The sound formats follow the video format's container, the bitrates the sound format;
    // each list keeps an entry the next one also has, and a stored impossible pair is not shown.
    void audioListsFollowTheFormats()
    {
        store(kVideoGroup, kVideoFormat, "MPEG-2");
        store(kAudioGroup, kAudioFormat, "FLAC");
        store(kAudioGroup, kAudioBitrate, "500");
        open();
        auto* formats = get<QComboBox>("comboBoxAudioFormat");
        auto* bitrates = get<QComboBox>("comboBoxAudioBitRate");
        QStringList seen;
        for (const QString step :
             {"", "vH264-AAC(MP4)", "aFLAC", "vMPEG-2", "vWindows Media", "aAAC"}) {
            if (!step.isEmpty())
                choose(step[0] == 'v' ? "comboBoxVideoFormat" : "comboBoxAudioFormat", step.mid(1));
            seen << QString::asprintf("%s of %d, %s of %d", qPrintable(formats->currentText()),
                                      formats->count(), qPrintable(bitrates->currentText()),
                                      bitrates->count());
        }
        QCOMPARE(seen,
                 (QStringList{"MP3 of 1, 128 of 5", "MP3 of 3, 128 of 5", "FLAC of 3, 500 of 1",
                              "MP3 of 1, 128 of 5", "MP3 of 2, 128 of 5", "AAC of 2, 128 of 4"}));
        save();
        QCOMPARE(stored(kAudioGroup, kAudioFormat) + " " + stored(kAudioGroup, kAudioBitrate),
                 "AAC 128");
    }

    // The port stays in 1..65535, also when settings.ini was edited by hand.
    void tabCapturePortStaysInRange()
    {
        store(kTabCaptureGroup, kWebSocketPort, 70000);
        open();
        save();
        QCOMPARE(stored(kTabCaptureGroup, kWebSocketPort), "65535");
        get<QSpinBox>("spinBoxTabCapturePort")->setValue(0);
        save();
        QCOMPARE(stored(kTabCaptureGroup, kWebSocketPort), "1");
    }

    // Choosing a language saves it and translates the open dialog at once.
    void languageSwitchesAtOnce()
    {
        const QString text =
            QStringLiteral("\uFEFF;LangName=Testish\nSettings\u2192Einstellungen\n");
        QVERIFY(testsupport::writeFile(
            dir.filePath("xx.lng"),
            QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2)));
        LanguageManager::instance().setLanguagesDirectory(dir.path());
        store(kUiGroup, kLanguage, "XX"); // codes are compared without case
        open();
        QCOMPARE(get<QComboBox>("comboBoxLanguage")->currentText(), "Testish");
        choose("comboBoxLanguage", "English");
        QCOMPARE(stored(kUiGroup, kLanguage) + " " + dialog->windowTitle(), "en Settings");
        choose("comboBoxLanguage", "Testish");
        QCOMPARE(stored(kUiGroup, kLanguage) + " " + dialog->windowTitle(), "xx Einstellungen");
        LanguageManager::instance().setLanguage("en");
    }
};

QTEST_MAIN(tst_SettingsWin)
#include "tst_SettingsWin.moc"
