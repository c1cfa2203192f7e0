// The real main window on the test display (no compositor): a recording of an area is complete.
#include "support/MediaProbe.h"
#include "support/TestSupport.h"
#include "support/TestWindow.h"
#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "capture/screen_capture_win.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

using testsupport::MediaProbe;

class tst_MainWindowRecording : public QObject
{
    Q_OBJECT

private Q_SLOTS:
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
};

int main(int argc, char** argv)
{
    testsupport::isolateUserFolders();
    QApplication app(argc, argv);
    tst_MainWindowRecording test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_MainWindowRecording.moc"
