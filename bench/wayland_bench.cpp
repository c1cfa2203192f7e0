// Helper of the Wayland capture benchmark (bench/run_wayland_bench.sh), run inside its headless
// GNOME session.
//
// Usage:
//   wayland_bench content
//       A full-screen window (native Wayland, or X11 with QT_QPA_PLATFORM=xcb) over a still tile
//       pattern, with boxes that glide and a strip that changes 60 times a second. Prints
//       "ready" once the first picture is drawn.
//   wayland_bench screencast
//       Shares the primary monitor through mutter's own ScreenCast service (no portal, no
//       dialog; the pointer left out), prints "node <id>" once its PipeWire stream is up and
//       keeps it until killed. The reference reader records that node.
//   wayland_bench record <fps> <seconds> <output.mp4>
//       Records the primary monitor through the recording session (ScreenCast portal and the
//       PipeWire grabber), the share permitted beforehand as a user's earlier answer would, the
//       pointer left out and the other settings at their first-run defaults. Prints
//       "ours written=<n> repeated=<n> lead_in=<n> seconds=<s> stream_thread_cpu=<s>" (the CPU
//       seconds of the grabber's PipeWire thread); exits 1 when the recording fails.

#include "BenchRecording.h"
#include "base/SettingsKeys.h"
#include "base/SettingsStore.h"
#include "recording/screen_capture_win.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QPaintEvent>
#include <QPainter>
#include <QProcess>
#include <QRasterWindow>
#include <QScreen>
#include <QStandardPaths>
#include <QTimer>
#include <QUuid>

#include <cstdio>

namespace {

const QString kScreenCast = QStringLiteral("org.gnome.Mutter.ScreenCast");
constexpr int kTile = 120;
constexpr int kBoxes = 4;
constexpr int kBox = 160;
constexpr int kStripHeight = 24;

// Boxes and a strip over tiles; only what moved is drawn again, so the window's own cost stays
// small next to the compositor's and the recorders'. Positions follow the clock at 60 steps a
// second, so the picture moves alike on Wayland (paced by the compositor's frame callbacks) and
// on X11 (where the X11 case of the benchmark shows the same content).
class Content : public QRasterWindow
{
public:
    Content()
    {
        clock_.start();
        tick_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&tick_, &QTimer::timeout, this, [this] { advance(); });
        tick_.start(1000 / kSteps);
    }

    void paintEvent(QPaintEvent* event) override
    {
        QPainter p(this);
        for (const QRect& r : event->region()) {
            for (int y = r.top() / kTile * kTile; y <= r.bottom(); y += kTile)
                for (int x = r.left() / kTile * kTile; x <= r.right(); x += kTile)
                    p.fillRect(QRect(x, y, kTile, kTile) & r,
                               ((x + y) / kTile) % 2 ? QColor(70, 90, 110) : QColor(200, 190, 170));
        }
        for (int i = 0; i < kBoxes; ++i)
            p.fillRect(box(i, frame_), QColor::fromHsv((i * 90 + frame_) % 360, 200, 230));
        p.fillRect(strip(), QColor::fromHsv(frame_ * 7 % 360, 255, 255));
        if (!ready_) {
            ready_ = true;
            QTimer::singleShot(0, [] {
                std::printf("ready\n");
                std::fflush(stdout);
            });
        }
    }

private:
    static constexpr int kSteps = 60;

    void advance()
    {
        const int frame = static_cast<int>(clock_.elapsed() * kSteps / 1000);
        if (frame == frame_)
            return;
        QRegion changed = strip();
        for (int i = 0; i < kBoxes; ++i)
            changed += box(i, frame_) | box(i, frame);
        frame_ = frame;
        update(changed);
    }
    QRect box(int i, int frame) const
    {
        const int w = width() - kBox;
        const int h = height() - kBox - kStripHeight;
        const int t = frame * (3 + i) + i * 97;
        // Back and forth across the screen, each box at its own speed.
        const int x = t % (2 * w) < w ? t % (2 * w) : 2 * w - t % (2 * w);
        const int y = (t / 2) % (2 * h) < h ? (t / 2) % (2 * h) : 2 * h - (t / 2) % (2 * h);
        return QRect(x, y, kBox, kBox);
    }
    QRect strip() const { return QRect(0, height() - kStripHeight, width(), kStripHeight); }

    QElapsedTimer clock_;
    QTimer tick_;
    int frame_ = 0;
    bool ready_ = false;
};

// Prints the PipeWire node of a mutter screen cast when its stream is added.
class NodeReporter : public QObject
{
    Q_OBJECT
public Q_SLOTS:
    void added(uint node)
    {
        std::printf("node %u\n", node);
        std::fflush(stdout);
    }
};

int screencast()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusInterface service(kScreenCast, "/org/gnome/Mutter/ScreenCast", kScreenCast, bus);
    const QDBusReply<QDBusObjectPath> session = service.call("CreateSession", QVariantMap());
    if (!session.isValid()) {
        std::fprintf(stderr, "wayland_bench: %s\n", qPrintable(session.error().message()));
        return 1;
    }
    QDBusInterface cast(kScreenCast, session.value().path(), kScreenCast + ".Session", bus);
    // An empty connector names the primary monitor; cursor mode 0 leaves the pointer out.
    const QDBusReply<QDBusObjectPath> stream = cast.call(
        "RecordMonitor", QString(), QVariantMap{{"cursor-mode", QVariant::fromValue(0u)}});
    if (!stream.isValid()) {
        std::fprintf(stderr, "wayland_bench: %s\n", qPrintable(stream.error().message()));
        return 1;
    }
    static NodeReporter reporter;
    bus.connect(kScreenCast, stream.value().path(), kScreenCast + ".Stream", "PipeWireStreamAdded",
                &reporter, SLOT(added(uint)));
    const QDBusMessage started = cast.call("Start");
    if (started.type() == QDBusMessage::ErrorMessage) {
        std::fprintf(stderr, "wayland_bench: %s\n", qPrintable(started.errorMessage()));
        return 1;
    }
    return QCoreApplication::exec();
}

// Lets GNOME's portal share the virtual monitor for token without its dialog, stored as the
// portal stores a user's answer.
bool permitShare(const QString& token)
{
    const QString data = QStringLiteral("<('GNOME', uint32 1, <(int64 %1, int64 %1, [(uint32 0, "
                                        "uint32 1, <'MetaVendor:MetaVirtualMonitor:0x00'>)])>)>")
                             .arg(QDateTime::currentMSecsSinceEpoch() * 1000);
    return QProcess::execute("gdbus", {"call", "--session", "-d",
                                       "org.freedesktop.impl.portal.PermissionStore", "-o",
                                       "/org/freedesktop/impl/portal/PermissionStore", "-m",
                                       "org.freedesktop.impl.portal.PermissionStore.Set",
                                       "screencast", "true", token, "{'': ['yes']}", data}) == 0;
}

// CPU seconds the PipeWire stream's thread (named by the grabber) has used: taking each buffer
// and giving it back; the copies are the capture thread's. -1 when there is no such thread.
double streamThreadCpuSeconds()
{
    // The kernel counts in clock ticks of 1/100 s for every process.
    constexpr double kTicksPerSecond = 100.0;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task + "/comm"));
        QFile stat(tasks.filePath(task + "/stat"));
        if (!comm.open(QIODevice::ReadOnly) || !comm.readAll().startsWith("torvane-pipewir") ||
            !stat.open(QIODevice::ReadOnly))
            continue;
        // utime and stime are the 14th and 15th fields; the name before them may hold spaces.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 12)
            return (fields[11].toDouble() + fields[12].toDouble()) / kTicksPerSecond;
    }
    return -1;
}

int record(int fps, int seconds, const QString& output)
{
    const QString token = QUuid::createUuid().toString(QUuid::WithoutBraces);
    if (!permitShare(token)) {
        std::fprintf(stderr, "wayland_bench: the permission store did not take the token\n");
        return 1;
    }
    SettingsStore& store = SettingsStore::instance();
    // The capture method without the pointer, as the X11 shared-memory case records.
    store.setValue(settings::kVideoGroup, settings::kVideoCaptureApi, QStringLiteral("DXGI"));
    store.setValue(settings::kVideoGroup, settings::kFps, fps);
    store.setValue(settings::kVideoGroup, settings::kWaylandScreenToken, token);
    store.sync();

    double streamCpu = -1;
    const double recordedSeconds =
        bench::recordScreen("wayland_bench", QGuiApplication::primaryScreen()->geometry(), seconds,
                            output, [&streamCpu] { streamCpu = streamThreadCpuSeconds(); });
    if (recordedSeconds < 0)
        return 1;
    std::printf(
        "ours written=%lld repeated=%lld lead_in=%lld seconds=%.2f stream_thread_cpu=%.2f\n",
        bench::logSummary.written, bench::logSummary.repeated, bench::logSummary.leadIn,
        recordedSeconds, streamCpu);
    return 0;
}

int usage()
{
    std::fprintf(stderr, "usage: wayland_bench content\n"
                         "       wayland_bench screencast\n"
                         "       wayland_bench record <fps> <seconds> <output.mp4>\n");
    return 2;
}

} // namespace

int main(int argc, char* argv[])
{
    // Settings stay out of the user's folders even when run outside the benchmark script.
    QStandardPaths::setTestModeEnabled(true);
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (mode == QLatin1String("screencast")) {
        QCoreApplication app(argc, argv);
        return screencast();
    }
    // The X11 case of the benchmark shows the content on its Xvfb (QT_QPA_PLATFORM=xcb).
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "wayland");
    if (mode == QLatin1String("content")) {
        QGuiApplication app(argc, argv);
        Content window;
        if (QGuiApplication::platformName() == QLatin1String("xcb")) {
            // The benchmark's Xvfb has no window manager to make a window full-screen.
            window.setFlags(Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
            window.setGeometry(QGuiApplication::primaryScreen()->geometry());
            window.show();
        } else {
            window.showFullScreen();
        }
        return QGuiApplication::exec();
    }
    if (mode == QLatin1String("record") && argc == 5) {
        qInstallMessageHandler(bench::runLogMessageHandler);
        QApplication app(argc, argv);
        bool fpsOk = false;
        bool secondsOk = false;
        const int fps = QString::fromLocal8Bit(argv[2]).toInt(&fpsOk);
        const int seconds = QString::fromLocal8Bit(argv[3]).toInt(&secondsOk);
        if (!fpsOk || !secondsOk || fps < 1 || seconds < 1)
            return usage();
        return record(fps, seconds, QString::fromLocal8Bit(argv[4]));
    }
    return usage();
}

#include "wayland_bench.moc"
