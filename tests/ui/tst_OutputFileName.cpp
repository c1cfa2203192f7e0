#include "ui/OutputFileName.h"

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
        QTest::newRow("only letters, digits, _ and - of a title, then the time")
            << "Über/My Game: Level-2.0" << mp4 << QStringList()
            << "berMyGameLevel-20_20260725_140309.mp4";
        QTest::newRow("the user's name") << "user:out" << mp4 << QStringList() << "out.mp4";
        QTest::newRow("taken names numbered from 1, gaps filled")
            << "user:out" << mp4 << QStringList{"out.mp4", "out_2.mp4", "out.WMV"} << "out_1.mp4";
        QTest::newRow("Windows Media") << "user:clip"
                                       << "Windows Media" << QStringList() << "clip.WMV";
        QTest::newRow("nothing left of the name, taken")
            << "user:: .." << QString() << QStringList{".mp4", "_1.mp4"} << "_2.mp4";
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
};

QTEST_GUILESS_MAIN(tst_OutputFileName)
#include "tst_OutputFileName.moc"
