#include "ui/OutputFileName.h"

#include <QTemporaryDir>
#include <QTest>

class tst_OutputFileName : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void nameOfTheNextRecording_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("userName"); // empty: the source and the time name the file
        QTest::addColumn<QString>("format");
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("expected");
        const QString mp4 = QStringLiteral("H264-AAC(MP4)");
        QTest::newRow("window title loses blanks, colons and dots, keeps hyphens")
            << "My Game: Level-2.0"
            << "" << mp4 << QStringList() << "MyGameLevel-20_20260725_140309.mp4";
        QTest::newRow("slashes and non-ASCII letters go")
            << "Über/Straße\\x"
            << "" << mp4 << QStringList() << "berStraex_20260725_140309.mp4";
        QTest::newRow("user name without time") << "My Game"
                                                << "out" << mp4 << QStringList() << "out.mp4";
        QTest::newRow("taken names numbered from 1, gaps filled")
            << ""
            << "out" << mp4 << QStringList{"out.mp4", "out_2.mp4"} << "out_1.mp4";
        QTest::newRow("other extension does not collide")
            << ""
            << "out" << mp4 << QStringList{"out.WMV"} << "out.mp4";
        QTest::newRow("Windows Media") << ""
                                       << "clip"
                                       << "Windows Media" << QStringList() << "clip.WMV";
        QTest::newRow("unknown format") << ""
                                        << "clip"
                                        << "" << QStringList() << "clip.mp4";
        QTest::newRow("name of removed characters only, taken")
            << ""
            << ": .." << mp4 << QStringList{".mp4", "_1.mp4"} << "_2.mp4";
    }
    void nameOfTheNextRecording()
    {
        QFETCH(QString, source);
        QFETCH(QString, userName);
        QFETCH(QString, format);
        QFETCH(QStringList, existing);
        QTemporaryDir folder;
        for (const QString& name : existing) {
            QFile file(folder.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        const QDateTime now(QDate(2026, 7, 25), QTime(14, 3, 9));
        QTEST(QFileInfo(outputfilename::outputFilePath(folder.path(), source, !userName.isEmpty(),
                                                       userName, format, now))
                  .fileName(),
              "expected");
    }
};

QTEST_GUILESS_MAIN(tst_OutputFileName)
#include "tst_OutputFileName.moc"
