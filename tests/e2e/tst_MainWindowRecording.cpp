// The real main window on the test display: a recording started with the record button and
// stopped with the start/stop shortcut, and one ended by closing the window; both files decoded.
#include "support/MediaProbe.h"
#include "support/PulseTestTools.h"
#include "support/TestSupport.h"
#include "support/TestWindow.h"
#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "capture/screen_capture_win.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QRegularExpression>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

using testsupport::MediaProbe;
using testsupport::TestWindow;

namespace {

constexpr int kFps = 30;
const QColor kContent(220, 40, 40);
const QRect kContentRect(1300, 600, 400, 300);

bool near(QColor actual, QColor expected)
{
    constexpr int kTolerance = 40; // colour conversion and compression
    return std::abs(actual.red() - expected.red()) < kTolerance &&
           std::abs(actual.green() - expected.green()) < kTolerance &&
           std::abs(actual.blue() - expected.blue()) < kTolerance;
}

} // namespace

class tst_MainWindowRecording : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void recordButtonStartsShortcutStops();
    void closingTheWindowFinishesTheFile();

private:
    // The window on the primary screen, active, with every box collected instead of shown.
    void prepare(MainWindow& window);
    QString onlyRecording() const;
    void verifyFile(const QString& path, bool withSound);

    QTemporaryDir dir_;
    QString folder_;
    QList<SessionBox> sessionBoxes_;
    QStringList windowBoxes_;
    bool pulse_ = false;
};

void tst_MainWindowRecording::initTestCase()
{
    QVERIFY(dir_.isValid());
    pulse_ = testsupport::pulseReachable() && testsupport::defaultSinkIsTestSink();
}

void tst_MainWindowRecording::init()
{
    folder_ = dir_.filePath(QTest::currentTestFunction());
    SettingsStore& settings = SettingsStore::instance();
    settings.setValue(settings::kOutputGroup, settings::kRecordingPath, folder_);
    settings.setValue(settings::kOutputGroup, settings::kUserDefinedFileName, false);
    settings.setValue(settings::kVideoGroup, settings::kFps, kFps);
    settings.setValue(settings::kVideoGroup, settings::kVideoCaptureApi, QStringLiteral("GDI"));
    settings.setValue(settings::kVideoGroup, settings::kResolutionIndex, 0);
    settings.setValue(settings::kVideoGroup, settings::kVideoFormat, settings::kFormatMp4);
    settings.setValue(settings::kUiGroup, settings::kMinimizeWhenRecording, false);
    sessionBoxes_.clear();
    windowBoxes_.clear();
}

void tst_MainWindowRecording::prepare(MainWindow& window)
{
    window.recordingSession()->setBoxHandler([this](const SessionBox& box) {
        sessionBoxes_.append(box);
        return true;
    });
    window.setBoxHandler([this](QMessageBox::Icon, const QString& title, const QString& text) {
        windowBoxes_.append(title + QStringLiteral(": ") + text);
    });
    auto* audio = window.findChild<QComboBox*>(QStringLiteral("comboBoxAudioDevice"));
    audio->setCurrentIndex(
        audio->findData(pulse_ ? QStringLiteral("System Audio") : QStringLiteral("No Audio")));
    window.move(40, 40);
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
}

QString tst_MainWindowRecording::onlyRecording() const
{
    const QStringList files = QDir(folder_).entryList(QDir::Files);
    return files.size() == 1 ? QDir(folder_).filePath(files.first()) : QString();
}

void tst_MainWindowRecording::verifyFile(const QString& path, bool withSound)
{
    MediaProbe probe;
    QVERIFY2(probe.open(path), qPrintable(probe.errorString()));
    const auto* video = probe.firstStream(AVMEDIA_TYPE_VIDEO);
    QVERIFY(video);
    QCOMPARE(video->codecName, QStringLiteral("h264"));
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    QCOMPARE(QSize(video->width, video->height), screen);
    const auto frames = probe.decodeVideo({kContentRect});
    QVERIFY(!frames.isEmpty());
    const QColor seen = frames.last().regionColours.first();
    QVERIFY2(near(seen, kContent),
             qPrintable(
                 QStringLiteral("(%1,%2,%3)").arg(seen.red()).arg(seen.green()).arg(seen.blue())));
    if (withSound) {
        const auto* audio = probe.firstStream(AVMEDIA_TYPE_AUDIO);
        QVERIFY(audio);
        QCOMPARE(audio->codecName, QStringLiteral("aac"));
    }
}

void tst_MainWindowRecording::recordButtonStartsShortcutStops()
{
    TestWindow content(kContent, kContentRect);
    QVERIFY(content.showAndWait());
    MainWindow window;
    prepare(window);

    QTest::mouseClick(window.findChild<QToolButton*>(QStringLiteral("toolButtonRecord")),
                      Qt::LeftButton);
    QVERIFY2(windowBoxes_.isEmpty(), qPrintable(windowBoxes_.join('\n')));
    QVERIFY(window.isRecording());
    QVERIFY(window.recordingSession()->isRunning());
    QTest::qWait(2000);

    // The default start/stop shortcut, pressed on the active main window.
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key_R, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(!window.isRecording());
    QCOMPARE(window.clockText(), QStringLiteral("00:00:00"));
    QVERIFY(!window.recordingSession()->isRunning());
    // The session reports the finished file.
    QTRY_VERIFY(!sessionBoxes_.isEmpty());
    QCOMPARE(sessionBoxes_.last().text, QStringLiteral("Video write finished."));

    const QString file = onlyRecording();
    QVERIFY2(!file.isEmpty(), qPrintable(QDir(folder_).entryList().join(',')));
    QString screenName = QGuiApplication::primaryScreen()->name();
    screenName.remove(QRegularExpression(QStringLiteral("[^a-zA-Z0-9_\\-]")));
    QVERIFY2(QRegularExpression(
                 QRegularExpression::anchoredPattern(QRegularExpression::escape(screenName) +
                                                     QStringLiteral("_\\d{8}_\\d{6}\\.mp4")))
                 .match(QFileInfo(file).fileName())
                 .hasMatch(),
             qPrintable(file));
    verifyFile(file, pulse_);
}

void tst_MainWindowRecording::closingTheWindowFinishesTheFile()
{
    TestWindow content(kContent, kContentRect);
    QVERIFY(content.showAndWait());
    MainWindow window;
    prepare(window);

    window.startStopRecording();
    QVERIFY(window.isRecording());
    QTest::qWait(1000);
    QVERIFY(window.close());
    QVERIFY(!window.isRecording());
    // Nothing more is waited for: the file is complete when close returns.
    const QString file = onlyRecording();
    QVERIFY(!file.isEmpty());
    verifyFile(file, pulse_);
}

int main(int argc, char** argv)
{
    testsupport::isolateUserFolders();
    QApplication app(argc, argv);
    tst_MainWindowRecording test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_MainWindowRecording.moc"
