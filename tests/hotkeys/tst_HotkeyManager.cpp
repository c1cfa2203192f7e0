#include "hotkeys/HotkeyManager.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(QList<HotkeyRecord>)

namespace {

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QJsonObject readJsonObject(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

// The defaults with the given records put in place by id.
QList<HotkeyRecord> defaultsWith(const QList<HotkeyRecord>& changes)
{
    QList<HotkeyRecord> records = HotkeyManager::defaultHotkeys();
    for (const HotkeyRecord& change : changes)
        records[change.hotkeyId] = change;
    return records;
}

char* describe(const QList<HotkeyRecord>& records)
{
    QStringList parts;
    for (const HotkeyRecord& r : records)
        parts << QStringLiteral("%1:%2:%3").arg(r.hotkeyId).arg(r.enabled).arg(r.hotkey);
    return qstrdup(parts.join(QStringLiteral(", ")).toUtf8().constData());
}

} // namespace

namespace QTest {
template <> char* toString(const QList<HotkeyRecord>& records)
{
    return describe(records);
}
} // namespace QTest

class tst_HotkeyManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sharedManagerUsesConfigFolderAndWritesNothingUntilAChange();
    void defaultsAreTheElevenShortcuts();
    void loadingMergesFileRecordsIntoDefaults_data();
    void loadingMergesFileRecordsIntoDefaults();
    void unreadableFileKeepsDefaults();
    void setHotkeySavesWholeListAndAnnounces();
    void savedFileLoadsBackTheSame();
    void unknownIdChangesNothing();
    void failedSaveKeepsChangeInMemory();

private:
    QTemporaryDir dir_;
};

void tst_HotkeyManager::initTestCase()
{
    testsupport::isolateUserFolders();
    QVERIFY(dir_.isValid());
}

void tst_HotkeyManager::sharedManagerUsesConfigFolderAndWritesNothingUntilAChange()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    QDir(folder).removeRecursively();

    HotkeyManager& manager = HotkeyManager::instance();
    QCOMPARE(&HotkeyManager::instance(), &manager);
    QCOMPARE(manager.filePath(), folder + "/hotkeys.json");
    QVERIFY(QFileInfo(folder).isDir());
    QCOMPARE(manager.hotkeys(), HotkeyManager::defaultHotkeys());
    QVERIFY(!QFile::exists(manager.filePath()));

    manager.setHotkey({false, HotkeyManager::Help, "F1"});
    QVERIFY(QFile::exists(folder + "/hotkeys.json"));
}

void tst_HotkeyManager::defaultsAreTheElevenShortcuts()
{
    const QList<HotkeyRecord> expected = {
        {true, 0, "Ctrl+Shift+R"}, {true, 1, "Ctrl+Shift+A"}, {true, 2, "Ctrl+Shift+O"},
        {true, 3, "Ctrl+Shift+S"}, {true, 4, "Ctrl+Shift+I"}, {true, 5, "Ctrl+Shift+C"},
        {true, 6, "F1"},           {true, 7, "Ctrl+Shift+B"}, {true, 8, "Ctrl+S"},
        {true, 9, "Ctrl+Shift+M"}, {true, 10, "Ctrl+H"},
    };
    HotkeyManager manager(dir_.filePath("absent.json"));
    QCOMPARE(manager.hotkeys(), expected);
    for (const HotkeyRecord& record : expected)
        QVERIFY2(!QKeySequence(record.hotkey).isEmpty(), qPrintable(record.hotkey));
}

void tst_HotkeyManager::loadingMergesFileRecordsIntoDefaults_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QList<HotkeyRecord>>("expected");

    const QList<HotkeyRecord> defaults = HotkeyManager::defaultHotkeys();
    QTest::newRow("one record under \"hotkeys\" disables the schedule dialog")
        << QByteArray(R"({"hotkeys":[{"enabled":false,"hotkeyId":8,"hotkey":"Ctrl+S"}]})")
        << defaultsWith({{false, 8, "Ctrl+S"}});
    QTest::newRow("bare array is accepted the same way")
        << QByteArray(R"([{"enabled":false,"hotkeyId":8,"hotkey":"Ctrl+S"}])")
        << defaultsWith({{false, 8, "Ctrl+S"}});
    QTest::newRow("id 42 is ignored")
        << QByteArray(R"({"hotkeys":[{"enabled":false,"hotkeyId":42,"hotkey":"F9"}]})") << defaults;
    QTest::newRow("negative id is ignored")
        << QByteArray(R"([{"enabled":false,"hotkeyId":-1,"hotkey":"F9"}])") << defaults;
    QTest::newRow("new sequence taken") << QByteArray(R"([{"hotkeyId":3,"hotkey":"Alt+F12"}])")
                                        << defaultsWith({{true, 3, "Alt+F12"}});
    QTest::newRow("non-object elements skipped")
        << QByteArray(R"([1, "x", null, [], {"enabled":false,"hotkeyId":2,"hotkey":"F2"}])")
        << defaultsWith({{false, 2, "F2"}});
    QTest::newRow("missing keys read as enabled, id 0, empty text")
        << QByteArray(R"([{}])") << defaultsWith({{true, 0, ""}});
    QTest::newRow("later record of the same id wins")
        << QByteArray(R"([{"hotkeyId":5,"hotkey":"F5"},{"hotkeyId":5,"hotkey":"F6"}])")
        << defaultsWith({{true, 5, "F6"}});
    QTest::newRow("records in any order")
        << QByteArray(R"([{"hotkeyId":10,"hotkey":"F10"},{"hotkeyId":1,"hotkey":"F11"}])")
        << defaultsWith({{true, 10, "F10"}, {true, 1, "F11"}});
    QTest::newRow("object without \"hotkeys\" keeps defaults")
        << QByteArray(R"({"shortcuts":[{"hotkeyId":1,"hotkey":"F11"}]})") << defaults;
    QTest::newRow("malformed JSON keeps defaults")
        << QByteArray(R"({"hotkeys":[{"enabled":false,"hotkeyId":8,)") << defaults;
    QTest::newRow("empty file keeps defaults") << QByteArray() << defaults;
    QTest::newRow("binary garbage keeps defaults")
        << QByteArray("\x00\xff\x13garbage", 10) << defaults;
}

void tst_HotkeyManager::loadingMergesFileRecordsIntoDefaults()
{
    QFETCH(QByteArray, content);
    QFETCH(QList<HotkeyRecord>, expected);

    const QString path = dir_.filePath(QStringLiteral("load-%1.json").arg(QTest::currentDataTag()));
    writeFile(path, content);
    HotkeyManager manager(path);
    QCOMPARE(manager.hotkeys(), expected);
    // Loading never rewrites the file.
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), content);
}

void tst_HotkeyManager::unreadableFileKeepsDefaults()
{
    // A folder where the file should be cannot be opened for reading.
    const QString path = dir_.filePath("folder-not-file.json");
    QVERIFY(QDir().mkpath(path));
    HotkeyManager manager(path);
    QCOMPARE(manager.hotkeys(), HotkeyManager::defaultHotkeys());
}

void tst_HotkeyManager::setHotkeySavesWholeListAndAnnounces()
{
    const QString path = dir_.filePath("nested/folder/save.json");
    HotkeyManager manager(path);
    QSignalSpy updates(&manager, &HotkeyManager::requestUpdate);

    QVERIFY(manager.setHotkey({false, HotkeyManager::ScheduleDialog, "Ctrl+Alt+S"}));
    QCOMPARE(updates.count(), 1);

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QVERIFY2(bytes.contains("\n    "), "written indented");
    const QJsonObject root = QJsonDocument::fromJson(bytes).object();
    QCOMPARE(root.keys(), QStringList{"hotkeys"});
    const QJsonArray array = root.value("hotkeys").toArray();
    QCOMPARE(array.size(), 11);
    const QList<HotkeyRecord> expected = defaultsWith({{false, 8, "Ctrl+Alt+S"}});
    for (int i = 0; i < array.size(); ++i) {
        const QJsonObject object = array.at(i).toObject();
        QCOMPARE(object.size(), 3);
        QCOMPARE(object.value("hotkeyId").toInt(-1), expected[i].hotkeyId);
        QCOMPARE(object.value("enabled").toBool(!expected[i].enabled), expected[i].enabled);
        QCOMPARE(object.value("hotkey").toString(), expected[i].hotkey);
    }

    // A shorter second save leaves no tail of the first.
    QVERIFY(manager.setHotkey({true, HotkeyManager::ScheduleDialog, "F8"}));
    QCOMPARE(updates.count(), 2);
    const QJsonObject again = readJsonObject(path);
    QCOMPARE(again.value("hotkeys").toArray().at(8).toObject().value("hotkey").toString(),
             QString("F8"));
}

void tst_HotkeyManager::savedFileLoadsBackTheSame()
{
    const QString path = dir_.filePath("roundtrip.json");
    const QList<HotkeyRecord> changes = {
        {false, 0, "Ctrl+Shift+R"}, {true, 4, "Alt+I"}, {true, 6, "F5"}, {false, 10, ""}};
    {
        HotkeyManager manager(path);
        for (const HotkeyRecord& change : changes)
            manager.setHotkey(change);
    }
    HotkeyManager reloaded(path);
    QCOMPARE(reloaded.hotkeys(), defaultsWith(changes));
}

void tst_HotkeyManager::unknownIdChangesNothing()
{
    const QString path = dir_.filePath("unknown-id.json");
    HotkeyManager manager(path);
    manager.updateHotkey({false, 11, "F11"});
    manager.updateHotkey({false, -1, "F11"});
    QCOMPARE(manager.hotkeys(), HotkeyManager::defaultHotkeys());
    QVERIFY(!QFile::exists(path));
}

void tst_HotkeyManager::failedSaveKeepsChangeInMemory()
{
    // A regular file where the folder should be: neither the folder nor the file can be made.
    const QString blocker = dir_.filePath("blocker");
    writeFile(blocker, "x");
    HotkeyManager manager(blocker + "/hotkeys.json");
    QSignalSpy updates(&manager, &HotkeyManager::requestUpdate);

    QVERIFY(manager.setHotkey({false, HotkeyManager::Help, "F2"}));
    QCOMPARE(updates.count(), 1);
    QCOMPARE(manager.hotkeys(), defaultsWith({{false, 6, "F2"}}));
    QVERIFY(!QFile::exists(blocker + "/hotkeys.json"));
}

QTEST_GUILESS_MAIN(tst_HotkeyManager)
#include "tst_HotkeyManager.moc"
