// The real main window on the test display (no compositor): a recording of an area is complete.
#include "support/FakeCapture.h"
#include "support/MediaProbe.h"
#include "support/TestSupport.h"
#include "support/TestWindow.h"
#include "base/SettingsKeys.h"
#include "base/SettingsStore.h"
#include "recording/screen_capture_win.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

using testsupport::MediaProbe;

class tst_MainWindowRecording : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A tab server port of its own: another Torvane on the machine may hold the default one.
    void initTestCase()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        SettingsStore::instance().setValue(settings::kTabCaptureGroup, settings::kWebSocketPort,
                                           probe.serverPort());
    }

    void areaRecordingClosingFinishes()
    {
        QTemporaryDir dir;
        SettingsStore& settings = SettingsStore::instance();
        settings.setValue(settings::kOutputGroup, settings::kRecordingPath, dir.path());
        settings.setValue(settings::kVideoGroup, settings::kVideoCaptureApi, QStringLiteral("GDI"));
        const QColor content(220, 40, 40);
        const QRect contentRect(1300, 600, 400, 300);
        testsupport::TestWindow contentWindow(content, contentRect);
        QVERIFY(contentWindow.showAndWait());

        MainWindow window;
        QStringList boxes;
        window.setBoxHandler(
            [&](QMessageBox::Icon, const QString&, const QString& text) { boxes.append(text); });
        window.recordingSession()->setBoxHandler([](const SessionBox&) { return true; });
        window.move(40, 40);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        window.findChild<QToolButton*>("toolButtonMarkRecordArea")->click();
        QWidget* selector = nullptr;
        QTRY_VERIFY((selector = qApp->activeWindow()) && selector->objectName() == "areaSelector");
        const QColor overlay = selector->grab().toImage().pixelColor(contentRect.center());
        QVERIFY(MediaProbe::near(overlay, QColor(134, 24, 24), 6)); // the content, dimmed
        QTest::mousePress(selector, Qt::LeftButton, {}, contentRect.topLeft());
        QTest::mouseMove(selector, contentRect.bottomRight() + QPoint(1, 1));
        QTest::mouseRelease(selector, Qt::LeftButton, {}, contentRect.bottomRight());
        // The frame leaves the area to the window beneath, for the eye and the mouse.
        QTRY_COMPARE(QGuiApplication::topLevelAt(contentRect.center()),
                     contentWindow.windowHandle());

        QTest::mouseClick(window.findChild<QToolButton*>("toolButtonRecord"), Qt::LeftButton);
        QVERIFY2(boxes.isEmpty(), qPrintable(boxes.join('\n')));
        QVERIFY(window.recordingSession()->isRunning());
        QTest::qWait(1500);
        QVERIFY(window.close());

        // Nothing more is waited for: the file is complete when close returns.
        const QStringList files = QDir(dir.path()).entryList(QDir::Files);
        QCOMPARE(files.size(), 1);
        QVERIFY(files.first().endsWith(".mp4"));
        MediaProbe probe;
        QVERIFY2(probe.open(dir.filePath(files.first())), qPrintable(probe.errorString()));
        const auto* video = probe.firstStream(AVMEDIA_TYPE_VIDEO);
        QVERIFY(video);
        QCOMPARE(QSize(video->width, video->height), contentRect.size());
        const auto frames = probe.decodeVideo({QRect(QPoint(), contentRect.size())});
        QVERIFY(!frames.isEmpty());
        QVERIFY(MediaProbe::near(frames.last().regionColours.first(), content, 40));
        QVERIFY(probe.firstStream(AVMEDIA_TYPE_AUDIO)); // System Audio, the default
    }

    // Started by the system for a one-time schedule a few seconds ahead, the program starts
    // hidden, records the schedule's display from its start to its end, and disables it.
    void scheduledStartRecordsThePeriod()
    {
        QTemporaryDir root;
        QProcessEnvironment env;
        const QString config = testsupport::programHome(root.path(), &env);
        QVERIFY(!config.isEmpty());
        const QDateTime start = QDateTime::currentDateTime().addSecs(4);
        const QString iso = QStringLiteral("yyyy-MM-ddTHH:mm:ss");
        QVERIFY(testsupport::writeFile(
            config + "/schedule.json",
            QStringLiteral(
                "[{\"id\": 1, \"name\": \"Soon\", \"repeatType\": \"one_time\", "
                "\"recording\": {\"screen\": {\"enabled\": true, \"type\": \"fullscreen\", "
                "\"screenIndex\": 0}, \"audio\": {\"enabled\": false}}, "
                "\"oneTime\": {\"start\": \"%1\", \"end\": \"%2\"}}]")
                .arg(start.toString(iso), start.addSecs(3).toString(iso))
                .toUtf8()));

        QProcess torvane;
        torvane.setProcessEnvironment(env);
        torvane.setWorkingDirectory(root.path());
        torvane.start(TORVANE_EXE, {"--scheduled-record"});
        QVERIFY(torvane.waitForStarted());
        const auto log = [&] {
            const QDir dir(config + "/Log");
            return QString::fromUtf8(
                testsupport::readFile(dir.filePath(dir.entryList(QDir::Files).value(0))));
        };
        QTRY_VERIFY_WITH_TIMEOUT(log().contains("Scheduled start: main window hidden"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(log().contains("Video write finished") ||
                                     log().contains("Quiting muxingThread"),
                                 30000);
        torvane.terminate();
        QVERIFY(torvane.waitForFinished(20000));
        QVERIFY2(log().contains("Schedule requested start for: Soon"), qPrintable(log()));

        const QStringList files = QDir(root.filePath("videos")).entryList(QDir::Files);
        QCOMPARE(files.size(), 1);
        MediaProbe probe;
        QVERIFY2(probe.open(root.filePath("videos/" + files.first())),
                 qPrintable(probe.errorString()));
        const auto frames = probe.decodeVideo();
        QVERIFY(frames.size() > 1);
        // The runner looks once a second: the start and the end each land within a tick, and the
        // span between the first and last picture is a frame short of the file's length. The
        // recording's clock starts once the capture is ready.
        const auto ready =
            QRegularExpression(QStringLiteral("Capture ready in (\\d+) ms")).match(log());
        QVERIFY(ready.hasMatch());
        const double seconds =
            frames.last().seconds - frames.first().seconds + ready.captured(1).toDouble() / 1000;
        QVERIFY2(qAbs(seconds - 3.0) < 1.1, qPrintable(QString::number(seconds)));
        QVERIFY(testsupport::readFile(config + "/schedule.json").contains("\"enabled\": false"));
    }

    void stopBeforeTheFirstPicture_data()
    {
        QTest::addColumn<bool>("picture");
        QTest::newRow("before it: no file, no message") << false;
        QTest::newRow("after it: the message names the file") << true;
    }
    // The session's own stop (as after a failure) before the first picture leaves no file and
    // says nothing; after it, "Video write finished." names the file.
    void stopBeforeTheFirstPicture()
    {
        QFETCH(bool, picture);
        QTemporaryDir dir;
        SettingsStore& settings = SettingsStore::instance();
        settings.setValue(settings::kOutputGroup, settings::kRecordingPath, dir.path());
        // Shared-memory reads wait quietly for a change that never comes.
        settings.setValue(settings::kVideoGroup, settings::kVideoCaptureApi,
                          QStringLiteral("DXGI"));
        testsupport::FakeCaptureWorld world; // a screen that never has a picture
        world.answer = [](ScreenGrabber::Kind, int) { return ScreenGrabber::Result::NoChange; };
        MainWindow window;
        QStringList boxes;
        window.recordingSession()->setBoxHandler([&](const SessionBox& box) {
            boxes << box.text;
            return true;
        });
        if (!picture)
            window.recordingSession()->setCapturePlatform(world.platform());
        window.startStopRecording();
        QTRY_VERIFY(!picture || window.recordingPhase() == MainWindow::RecordingPhase::Recording);
        emit window.recordingSession()->stopRecording();
        QCoreApplication::processEvents(); // the session's report of the file's end
        const QStringList files = QDir(dir.path()).entryList(QDir::Files);
        QCOMPARE(files.size(), picture ? 1 : 0);
        QCOMPARE(boxes, picture ? QStringList{"Video write finished.\n" + dir.filePath(files[0])}
                                : QStringList());
    }
};

int main(int argc, char** argv)
{
    testsupport::isolateUserFolders();
    QApplication app(argc, argv);
    tst_MainWindowRecording test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_MainWindowRecording.moc"
