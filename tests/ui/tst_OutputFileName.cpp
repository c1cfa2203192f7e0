#include "support/TestSupport.h"
#include "ui/OutputFileName.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class tst_OutputFileName : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { testsupport::isolateUserFolders(); }

    void nameOfTheNextRecording_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<bool>("userDefined");
        QTest::addColumn<QString>("userName");
        QTest::addColumn<QString>("format");
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("expected");

        const QString mp4 = QStringLiteral("H264-AAC(MP4)");
        QTest::newRow("window title loses blanks and colons")
            << "My Game: Level 2" << false << "out_file" << mp4 << QStringList()
            << "MyGameLevel2_20260725_140309.mp4";
        QTest::newRow("screen name keeps hyphens")
            << "DP-1" << false << "out_file" << mp4 << QStringList() << "DP-1_20260725_140309.mp4";
        QTest::newRow("dots, slashes and non-ASCII letters go")
            << "Über/Straße v1.2\\x" << false << "" << mp4 << QStringList()
            << "berStraev12x_20260725_140309.mp4";
        QTest::newRow("user name without timestamp")
            << "My Game" << true << "out_file" << mp4 << QStringList() << "out_file.mp4";
        QTest::newRow("taken names numbered from 1")
            << "" << true << "out_file" << mp4 << QStringList{"out_file.mp4", "out_file_1.mp4"}
            << "out_file_2.mp4";
        QTest::newRow("a gap in the numbers is filled")
            << "" << true << "out_file" << mp4 << QStringList{"out_file.mp4", "out_file_2.mp4"}
            << "out_file_1.mp4";
        QTest::newRow("other extension does not collide")
            << "" << true << "out_file" << mp4 << QStringList{"out_file.WMV"} << "out_file.mp4";
        QTest::newRow("Windows Media") << "" << true << "clip"
                                       << "Windows Media" << QStringList() << "clip.WMV";
        QTest::newRow("MPEG-2 is written as mp4") << "" << true << "clip"
                                                  << "MPEG-2" << QStringList() << "clip.mp4";
        QTest::newRow("AVI format is written as mp4")
            << "" << true << "clip"
            << "MPEG-4(AVI)" << QStringList() << "clip.mp4";
        QTest::newRow("unknown format") << "" << true << "clip"
                                        << "" << QStringList() << "clip.mp4";
        QTest::newRow("name of removed characters only")
            << "" << true << ": .." << mp4 << QStringList() << ".mp4";
        QTest::newRow("name of removed characters only, taken")
            << "" << true << ": .." << mp4 << QStringList{".mp4", "_1.mp4"} << "_2.mp4";
    }

    void nameOfTheNextRecording()
    {
        QFETCH(QString, source);
        QFETCH(bool, userDefined);
        QFETCH(QString, userName);
        QFETCH(QString, format);
        QFETCH(QStringList, existing);
        QFETCH(QString, expected);

        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        for (const QString& name : existing) {
            QFile file(folder.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        const QDateTime now(QDate(2026, 7, 25), QTime(14, 3, 9));
        const QString path = outputfilename::outputFilePath(folder.path(), source, userDefined,
                                                            userName, format, now);
        QCOMPARE(path, QDir(folder.path()).filePath(expected));
        QVERIFY(!QFile::exists(path));
    }
};

QTEST_GUILESS_MAIN(tst_OutputFileName)
#include "tst_OutputFileName.moc"
