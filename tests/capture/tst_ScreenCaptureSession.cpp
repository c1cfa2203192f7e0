// The recording session's decisions that need no recording: the output resolution setting, the
// prompts for hidden and minimised windows, and how thread reports turn into boxes and stop
// requests depending on who started the recording.
#include "support/LogCapture.h"
#include "support/TestSupport.h"
#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "capture/OutputResolution.h"
#include "capture/screen_capture_win.h"
#include "platform/WindowSystem.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

// A window system with one window whose state the test sets.
class FakeWindowSystem : public WindowSystem
{
public:
    struct State
    {
        bool exists = true;
        bool visible = true;
        bool minimised = false;
        int shows = 0;
        int restores = 0;
        QRect rect{10, 20, 641, 479};
    };
    explicit FakeWindowSystem(State* state) : state_(state) {}

    bool windowManagerRunning() const override { return true; }
    bool isWindow(NativeWindow w) const override { return w == kWindow && state_->exists; }
    bool isVisible(NativeWindow) const override { return state_->visible; }
    bool isMinimised(NativeWindow) const override { return state_->minimised; }
    void show(NativeWindow) override
    {
        ++state_->shows;
        state_->visible = true;
    }
    void restore(NativeWindow) override
    {
        ++state_->restores;
        state_->minimised = false;
        state_->visible = true;
    }
    QRect outerRect(NativeWindow) const override { return state_->rect; }
    QList<MonitorInfo> monitors() const override { return {}; }
    bool monitorFromPoint(QPoint, bool, MonitorInfo*) const override { return false; }
    bool monitorFromRect(const QRect&, MonitorInfo*) const override { return false; }

    static constexpr NativeWindow kWindow = 0x400001;

private:
    State* state_;
};

} // namespace

class tst_ScreenCaptureSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void resolutionTable_data();
    void resolutionTable();
    void audioFlags_data();
    void audioFlags();
    void windowPrompts_data();
    void windowPrompts();
    void missingWindowStartsNothing();
    void reports_data();
    void reports();
    void encoderLagPrompt_data();
    void encoderLagPrompt();
    void reconfigureWithoutStart();
};

void tst_ScreenCaptureSession::initTestCase()
{
    testsupport::isolateUserFolders();
}

void tst_ScreenCaptureSession::resolutionTable_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("customWidth");
    QTest::addColumn<int>("customHeight");
    QTest::addColumn<QSize>("expected"); // invalid: the captured size stays

    QTest::newRow("0 keeps") << 0 << 800 << 600 << QSize();
    QTest::newRow("1") << 1 << 0 << 0 << QSize(720, 480);
    QTest::newRow("2 portrait") << 2 << 0 << 0 << QSize(480, 720);
    QTest::newRow("5") << 5 << 0 << 0 << QSize(1920, 1080);
    QTest::newRow("9") << 9 << 0 << 0 << QSize(3840, 2160);
    QTest::newRow("12") << 12 << 0 << 0 << QSize(4320, 7680);
    QTest::newRow("13 custom") << 13 << 800 << 600 << QSize(800, 600);
    QTest::newRow("13 width 0") << 13 << 0 << 600 << QSize();
    QTest::newRow("13 height 0") << 13 << 800 << 0 << QSize();
    QTest::newRow("13 negative") << 13 << -5 << 600 << QSize();
    QTest::newRow("14") << 14 << 800 << 600 << QSize();
    QTest::newRow("-1") << -1 << 800 << 600 << QSize();
}

void tst_ScreenCaptureSession::resolutionTable()
{
    QFETCH(int, index);
    QFETCH(int, customWidth);
    QFETCH(int, customHeight);
    QFETCH(QSize, expected);
    const auto size = outputResolutionFor(index, customWidth, customHeight);
    QCOMPARE(size.has_value(), expected.isValid());
    if (size)
        QCOMPARE(*size, expected);
}

void tst_ScreenCaptureSession::audioFlags_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("microphone");
    QTest::newRow("none") << QStringLiteral("No Audio") << false << false;
    QTest::newRow("system") << QStringLiteral("System Audio") << true << false;
    QTest::newRow("device") << QStringLiteral("USB Microphone") << true << true;
    QTest::newRow("case matters") << QStringLiteral("system audio") << true << true;
}

void tst_ScreenCaptureSession::audioFlags()
{
    QFETCH(QString, source);
    QFETCH(bool, enabled);
    QFETCH(bool, microphone);
    screen_capture_win session;
    session.configure(source, QStringLiteral("/tmp/unused.mp4"), nullptr);
    QCOMPARE(session.isAudioEnabled(), enabled);
    QCOMPARE(session.isMicrophone(), microphone);
}

void tst_ScreenCaptureSession::windowPrompts_data()
{
    QTest::addColumn<bool>("visible");
    QTest::addColumn<bool>("minimised");
    QTest::addColumn<int>("trigger");
    QTest::addColumn<QString>("expectedTitle");
    QTest::addColumn<QString>("expectedLog");

    QTest::newRow("hidden, user") << false << false << 0 << QStringLiteral("Window Hidden")
                                  << QStringLiteral("User chose to cancel recording due to "
                                                    "hidden window.");
    QTest::newRow("minimised, schedule")
        << false << true << 1 << QStringLiteral("Window Minimized")
        << QStringLiteral("User chose to cancel recording due to minimized window.");
    QTest::newRow("minimised, macro")
        << false << true << 2 << QStringLiteral("Window Minimized")
        << QStringLiteral("User chose to cancel recording due to minimized window.");
}

// Cancelling the prompt starts nothing whoever started the recording; the prompt is always shown.
void tst_ScreenCaptureSession::windowPrompts()
{
    QFETCH(bool, visible);
    QFETCH(bool, minimised);
    QFETCH(int, trigger);
    QFETCH(QString, expectedTitle);
    QFETCH(QString, expectedLog);

    FakeWindowSystem::State state;
    state.visible = visible;
    state.minimised = minimised;
    screen_capture_win session;
    session.setWindowSystem(std::make_unique<FakeWindowSystem>(&state));
    QList<SessionBox> boxes;
    session.setBoxHandler([&](const SessionBox& box) {
        boxes.append(box);
        return false;
    });
    const QString output = QDir::temp().filePath(QStringLiteral("tst_session_prompt.mp4"));
    QFile::remove(output);
    session.configure(QStringLiteral("No Audio"), output, nullptr);
    session.target.targetType = TargetWindow;
    session.target.targetWindow = FakeWindowSystem::kWindow;
    session.setStartTrigger(trigger);
    QSignalSpy paused(&session, &screen_capture_win::pauseRecording);
    QSignalSpy stopped(&session, &screen_capture_win::stopRecording);
    testsupport::LogCapture log;

    session.start();

    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes.first().title, expectedTitle);
    QCOMPARE(paused.size(), 1);
    QCOMPARE(stopped.size(), 1);
    QVERIFY(log.take().contains(expectedLog));
    QVERIFY(!session.isRunning());
    QCOMPARE(state.shows + state.restores, 0);
    session.stop(true);
    QVERIFY(!QFile::exists(output));
}

void tst_ScreenCaptureSession::missingWindowStartsNothing()
{
    FakeWindowSystem::State state;
    state.exists = false;
    screen_capture_win session;
    session.setWindowSystem(std::make_unique<FakeWindowSystem>(&state));
    int boxes = 0;
    session.setBoxHandler([&](const SessionBox&) { return ++boxes, true; });
    session.configure(QStringLiteral("System Audio"), QStringLiteral("/tmp/unused.mp4"), nullptr);
    session.target.targetType = TargetWindow;
    session.target.targetWindow = FakeWindowSystem::kWindow;
    QSignalSpy stopped(&session, &screen_capture_win::stopRecording);
    testsupport::LogCapture log;

    session.start();

    QVERIFY(log.take().contains(QStringLiteral("Failed to find the target window.")));
    QCOMPARE(boxes, 0);
    QCOMPARE(stopped.size(), 0);
    QVERIFY(!session.isRunning());
    session.stop(false); // returns at once: nothing runs
}

void tst_ScreenCaptureSession::reports_data()
{
    QTest::addColumn<int>("source"); // 0 video thread, 1 mux thread
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("trigger");
    QTest::addColumn<bool>("quiet");
    QTest::addColumn<QString>("expectedTitle"); // empty: no box
    QTest::addColumn<int>("expectedStops");

    QTest::newRow("video error, user")
        << 0 << int(MSG_ERROR) << 0 << false << QStringLiteral("Warning") << 1;
    QTest::newRow("video error, quiet user")
        << 0 << int(MSG_ERROR) << 0 << true << QStringLiteral("Warning") << 1;
    QTest::newRow("video error, schedule") << 0 << int(MSG_ERROR) << 1 << false << QString() << 1;
    QTest::newRow("video error, macro") << 0 << int(MSG_ERROR) << 2 << false << QString() << 1;
    QTest::newRow("video warning, user")
        << 0 << int(MSG_WARNING) << 0 << false << QStringLiteral("Warning") << 0;
    QTest::newRow("video warning, schedule")
        << 0 << int(MSG_WARNING) << 1 << false << QString() << 0;
    QTest::newRow("mux info, user")
        << 1 << int(MSG_INFO) << 0 << false << QStringLiteral("Info") << 0;
    QTest::newRow("mux info, quiet") << 1 << int(MSG_INFO) << 0 << true << QString() << 0;
    QTest::newRow("mux info, schedule") << 1 << int(MSG_INFO) << 1 << false << QString() << 0;
    QTest::newRow("mux warning ignored") << 1 << int(MSG_WARNING) << 0 << false << QString() << 0;
    QTest::newRow("mux error, user")
        << 1 << int(MSG_ERROR) << 0 << false << QStringLiteral("Warning") << 1;
}

void tst_ScreenCaptureSession::reports()
{
    QFETCH(int, source);
    QFETCH(int, type);
    QFETCH(int, trigger);
    QFETCH(bool, quiet);
    QFETCH(QString, expectedTitle);
    QFETCH(int, expectedStops);

    screen_capture_win session;
    QList<SessionBox> boxes;
    session.setBoxHandler([&](const SessionBox& box) {
        boxes.append(box);
        return true;
    });
    session.setStartTrigger(trigger);
    session.quietStop = quiet;
    QSignalSpy stopped(&session, &screen_capture_win::stopRecording);
    const QString text = QStringLiteral("Something happened.");
    if (source == 0)
        session.onCaptureMessage(MSG_TYPE(type), text);
    else
        session.onMuxMessage(MSG_TYPE(type), text);

    QCOMPARE(stopped.size(), expectedStops);
    if (expectedTitle.isEmpty()) {
        QVERIFY(boxes.isEmpty());
    } else {
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes.first().title, expectedTitle);
        QCOMPARE(boxes.first().text, text);
    }
}

void tst_ScreenCaptureSession::encoderLagPrompt_data()
{
    QTest::addColumn<int>("trigger");
    QTest::addColumn<bool>("quiet");
    QTest::addColumn<bool>("answer");
    QTest::addColumn<bool>("expectBox");
    QTest::addColumn<int>("expectedStops");
    QTest::newRow("user continues") << 0 << false << true << true << 0;
    QTest::newRow("user stops") << 0 << false << false << true << 1;
    QTest::newRow("quiet") << 0 << true << false << false << 0;
    QTest::newRow("schedule continues") << 1 << false << false << false << 0;
    QTest::newRow("macro continues") << 2 << false << false << false << 0;
}

void tst_ScreenCaptureSession::encoderLagPrompt()
{
    QFETCH(int, trigger);
    QFETCH(bool, quiet);
    QFETCH(bool, answer);
    QFETCH(bool, expectBox);
    QFETCH(int, expectedStops);
    screen_capture_win session;
    QList<SessionBox> boxes;
    session.setBoxHandler([&](const SessionBox& box) {
        boxes.append(box);
        return answer;
    });
    session.setStartTrigger(trigger);
    session.quietStop = quiet;
    QSignalSpy stopped(&session, &screen_capture_win::stopRecording);
    session.onEncoderLag();
    QCOMPARE(boxes.size(), expectBox ? 1 : 0);
    if (expectBox) {
        QCOMPARE(boxes.first().title, QStringLiteral("Encoder Lag Detected"));
        QVERIFY(boxes.first().text.endsWith(QStringLiteral("Do you want to continue recording?")));
    }
    QCOMPARE(stopped.size(), expectedStops);
}

// Configuring twice in a row replaces the threads that never ran, and stopping the unused
// session returns without a file.
void tst_ScreenCaptureSession::reconfigureWithoutStart()
{
    const QString output = QDir::temp().filePath(QStringLiteral("tst_session_unused.mp4"));
    QFile::remove(output);
    screen_capture_win session;
    session.configure(QStringLiteral("System Audio"), output, nullptr);
    session.setCaptureArea(0, 0, 320, 240);
    QCOMPARE(session.outputSize(), QSize(320, 240));
    session.configure(QStringLiteral("No Audio"), output, nullptr);
    QVERIFY(!session.isAudioEnabled());
    QCOMPARE(session.outputSize(), QSize(0, 0));
    session.stop(true);
    QVERIFY(!session.isRunning());
    QVERIFY(!QFile::exists(output));
}

QTEST_MAIN(tst_ScreenCaptureSession)
#include "tst_ScreenCaptureSession.moc"
