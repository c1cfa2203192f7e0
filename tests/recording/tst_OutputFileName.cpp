#include "recording/OutputFileName.h"

#include <QTemporaryDir>
#include <QTest>

class tst_OutputFileName : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void nameOfTheNextRecording_data()
    {
        QTest::addColumn<QString>("source"); // the user's name when it starts with "user:"
        QTest::addColumn<QString>("format");
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("expected");
        const QString mp4 = QStringLiteral("H264-AAC(MP4)");
        QTest::newRow("a title in any script, unfit characters replaced, cut to 200 bytes")
            << "..Über/Game: " + QString(100, QChar(0x65E5)) << mp4 << QStringList()
            << "Über_Game_ " + QString(56, QChar(0x65E5)) + "_20260725_140309.mp4";
        QTest::newRow("a name") << "user:my clip été" << mp4 << QStringList() << "my clip été.mp4";
        QTest::newRow("taken names numbered from 1, gaps filled")
            << "user:out" << mp4 << QStringList{"out.mp4", "out_2.mp4", "out.WMV"} << "out_1.mp4";
        QTest::newRow("Windows Media") << "user:clip"
                                       << "Windows Media" << QStringList() << "clip.WMV";
        for (const auto& [format, name] :
             {std::pair{"MPEG-2", "clip.mpg"}, {"MPEG-4(AVI)", "clip.avi"}})
            QTest::newRow(format) << "user:clip" << QString(format) << QStringList() << name;
        QTest::newRow("a stored name of only dots")
            << "user:.." << QString() << QStringList() << "out_file.mp4";
    }
    void nameOfTheNextRecording()
    {
        QFETCH(QString, source);
        QFETCH(QString, format);
        QFETCH(QStringList, existing);
        QTemporaryDir folder;
        for (const QString& name : existing) {
            QFile file(folder.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        const bool user = source.startsWith("user:");
        const QString path =
            outputfilename::outputFilePath(folder.path(), source, user, source.mid(5), format,
                                           QDateTime(QDate(2026, 7, 25), QTime(14, 3, 9)));
        QTEST(QFileInfo(path).fileName(), "expected");
    }

    // A typed name is refused only for what a file system cannot take.
    void userNameIsRefusedOnlyWhenNoFileCanHaveIt_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("valid");
        QTest::newRow("any script, spaces, 200 bytes")
            << "my clip 屏幕 1" + QString(92, QChar(0xE9)) << true;
        QTest::newRow("201 bytes") << QString(100, QChar(0xE9)) + "a" << false;
        QTest::newRow("only dots and spaces") << ". .." << false;
        for (const QChar c : QStringLiteral("<>:\"/\\|?*\t"))
            QTest::addRow("with U+%04X", c.unicode()) << QString("my%1clip").arg(c) << false;
    }
    void userNameIsRefusedOnlyWhenNoFileCanHaveIt()
    {
        QFETCH(QString, name);
        QTEST(outputfilename::isValidName(name), "valid");
    }
};

QTEST_GUILESS_MAIN(tst_OutputFileName)
#include "tst_OutputFileName.moc"
