// A screen recording with sound whose sound server cannot be reached, on the test display: the
// user is warned with the server's reason, the run log has it, and the picture is recorded.
#include "support/LogCapture.h"
#include "support/MediaProbe.h"
#include "support/TestSupport.h"
#include "recording/screen_capture_win.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class tst_AudioCapturePulse : public QObject
{
    Q_OBJECT

private slots:
    void soundServerGoneWarnsAndRecordsThePicture()
    {
        testsupport::isolateUserFolders();
        qRegisterMetaType<MSG_TYPE>("MSG_TYPE");
        QTemporaryDir dir;
        // Only this process loses the server.
        qputenv("PULSE_SERVER", ("unix:" + dir.filePath("no-such-socket")).toUtf8());
        testsupport::LogCapture log;

        screen_capture_win session;
        QList<SessionBox> boxes;
        session.setBoxHandler([&boxes](const SessionBox& box) { return boxes.append(box), true; });
        QSignalSpy stopRequests(&session, &screen_capture_win::stopRecording);
        const QString file = dir.filePath("out.mp4");
        session.configure({}, QStringLiteral("System Audio"), file, nullptr);
        session.setTarget({TargetScreen, {}, QRect(0, 0, 1920, 1080), 0, false});
        session.start();
        QVERIFY(session.isRunning());
        QTRY_COMPARE_WITH_TIMEOUT(boxes.size(), 1, 15000);
        QCOMPARE(int(boxes.at(0).kind), int(SessionBox::Kind::Warning));
        QCOMPARE(boxes.at(0).text,
                 QStringLiteral("Failed to create device enumerator. (Connection refused)"));
        QVERIFY(!log.take().filter("Connection refused").isEmpty());

        // The picture goes on without sound until the user stops.
        QTest::qWait(500);
        QCOMPARE(stopRequests.count(), 0);
        session.stop(true);
        testsupport::MediaProbe probe;
        QVERIFY2(probe.open(file), qPrintable(probe.errorString()));
        QVERIFY(probe.decodeVideo().size() > 0);
    }
};

QTEST_MAIN(tst_AudioCapturePulse)
#include "tst_AudioCapturePulse.moc"
