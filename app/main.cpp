#include "app/CrashBox.h"
#include "base/LanguageManager.h"
#include "base/RunLog.h"
#include "base/SettingsStore.h"
#include "app/SingleInstance.h"
#include "app/StartupTestHooks.h"
#include "base/Version.h"
#include "encode/RecordingRepair.h"
#include "platform/posix/CrashHandler.h"
#include "platform/posix/TerminationSignals.h"
#include "recording/RecordingSettings.h"
#include "ui/AccessibleTableView.h"
#include "ui/MainWindow.h"
#include "ui/MessageBoxTitleFit.h"

#include <QApplication>
#include <QCursor>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QIcon>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

namespace {

constexpr char kScheduledRecordSwitch[] = "--scheduled-record";

constexpr char kUsage[] =
    "Usage: torvane [--scheduled-record]\n"
    "       torvane --help | --version\n"
    "\n"
    "Records the screen, a window or a browser tab, with sound, into a video file.\n"
    "Only one Torvane runs per user: starting it again brings the running window to the front.\n"
    "\n"
    "Options:\n"
    "  --scheduled-record  start with the window hidden, as a scheduled recording does\n"
    "  -h, --help          print this help and exit\n"
    "  --version           print the version and exit\n"
    "\n"
    "Qt's own options (-platform, -display, -style and the like) are accepted as well.\n";

// The options QApplication and its X11 platform take for themselves, with one or two leading
// dashes; those in the first list consume the argument after them.
constexpr std::string_view kQtOptionsWithValue[] = {"platform",        "platformpluginpath",
                                                    "platformtheme",   "plugin",
                                                    "qwindowgeometry", "qwindowtitle",
                                                    "qwindowicon",     "geometry",
                                                    "title",           "icon",
                                                    "display",         "name",
                                                    "style",           "stylesheet",
                                                    "session"};
constexpr std::string_view kQtFlags[] = {"reverse",     "sync",   "widgetcount",
                                         "testability", "nograb", "dograb"};

enum class CommandLineRequest { Run, Help, Version, Unknown };

// Decided from the raw arguments, before the instance lock and the application object, so that
// --help and --version work without a display and beside a running instance. Arguments that are
// not options are ignored, as they always were.
CommandLineRequest parseCommandLine(int argc, char** argv, std::string_view& unknown)
{
    bool help = false;
    bool version = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "-h" || argument == "--help") {
            help = true;
            continue;
        }
        if (argument == "--version") {
            version = true;
            continue;
        }
        if (argument == kScheduledRecordSwitch || argument == CrashBox::kSwitch ||
            argument.size() < 2 || argument[0] != '-')
            continue;
        std::string_view name = argument.substr(argument.starts_with("--") ? 2 : 1);
        if (const auto equals = name.find('='); equals != std::string_view::npos)
            name = name.substr(0, equals);
        if (std::ranges::find(kQtFlags, name) != std::end(kQtFlags))
            continue;
        if (std::ranges::find(kQtOptionsWithValue, name) != std::end(kQtOptionsWithValue)) {
            if (argument.find('=') == std::string_view::npos)
                ++i;
            continue;
        }
        unknown = argument;
        return CommandLineRequest::Unknown;
    }
    if (help)
        return CommandLineRequest::Help;
    return version ? CommandLineRequest::Version : CommandLineRequest::Run;
}

// Centres the window on the screen under the mouse cursor, or on the primary screen.
void centreOnCursorScreen(MainWindow& window)
{
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->geometry();
    const QSize size = window.size();
    window.move(area.left() + (area.width() - size.width()) / 2,
                area.top() + (area.height() - size.height()) / 2);
    qDebug().noquote() << QStringLiteral("Main window centred at %1,%2 (%3x%4) on screen %5 "
                                         "(%6,%7 %8x%9)")
                              .arg(window.x())
                              .arg(window.y())
                              .arg(size.width())
                              .arg(size.height())
                              .arg(screen->name())
                              .arg(area.left())
                              .arg(area.top())
                              .arg(area.width())
                              .arg(area.height());
}

// Help, version or an unknown option is answered here; the exit code then, or nothing when the
// program is to run.
std::optional<int> answerCommandLine(int argc, char* argv[])
{
    std::string_view unknownOption;
    switch (parseCommandLine(argc, argv, unknownOption)) {
    case CommandLineRequest::Help:
        std::fputs(kUsage, stdout);
        return 0;
    case CommandLineRequest::Version:
        std::printf("Torvane %s\n", kTorvaneVersion);
        return 0;
    case CommandLineRequest::Unknown:
        std::fprintf(stderr, "torvane: unknown option '%.*s'\n\n%s", int(unknownOption.size()),
                     unknownOption.data(), kUsage);
        return 2;
    case CommandLineRequest::Run:
        break;
    }
    return std::nullopt;
}

void setUpApplication()
{
    // Every window and dialog without an icon of its own shows the application icon; the desktop
    // file name lets the desktop match the windows to the installed entry and its icon.
    QIcon appIcon;
    for (const char* size : {"32", "64", "256"})
        appIcon.addFile(QStringLiteral(":/resources/QZT-%1.png").arg(QLatin1String(size)));
    QApplication::setWindowIcon(appIcon);
    QGuiApplication::setDesktopFileName(QStringLiteral("torvane"));
    // Screen readers reach the buttons in table cells; message boxes are as wide as their titles.
    AccessibleTableView::install();
    MessageBoxTitleFit::install();

    LanguageManager::instance().installWithSavedLanguage();

    const QString logDirectory = RunLog::directory();
    QDir().mkpath(logDirectory);
    const QString logPath =
        logDirectory + QLatin1Char('/') + RunLog::fileNameFor(QDateTime::currentDateTime());
    RunLog::open(logPath);
    RunLog::installMessageHandler();
    RunLog::redirectStandardStreams(logPath);
}

// Recordings the last run could not finish (a crash, a kill, a power loss) are rebuilt from
// their journals while the window is already up.
void repairLastRecordings(MainWindow& window)
{
    const QString recordings = RecordingSettings::folderFromStore(SettingsStore::instance());
    RecordingRepair::repairAllInBackground(
        recordings, &window, [&window](const RecordingRepair::Report& report) {
            for (const QString& path : report.repaired)
                qInfo().noquote() << "Recording repaired:" << path;
            window.announceRepairedRecordings(report.repaired, report.failed);
        });
}

void answerLaterStarts(SingleInstance& instance, MainWindow& window)
{
    instance.listen(&window, [&window](const QByteArray& message) {
        // The system starting us for a schedule finds us running: the runner records it, and
        // a window the user hid stays hidden.
        if (message == "scheduled") {
            qDebug() << "Scheduled start while running: the schedule runner serves it";
            return;
        }
        qDebug() << "Second start: main window brought to the front";
        if (window.isMinimized())
            window.showNormal();
        else
            window.show();
        window.raise();
        window.activateWindow();
    });
}

} // namespace

int main(int argc, char* argv[])
{
    if (CrashBox::isRequested(argc, argv))
        return CrashBox::run(argc, argv);
    if (const std::optional<int> exitCode = answerCommandLine(argc, argv))
        return *exitCode;

    // A logout while still starting must not cut the start short and leave the lock behind.
    platform::catchTerminationSignals();
    // One instance per user: a second start brings the running window forward and ends here,
    // before anything is shown or written.
    SingleInstance instance;
    const bool scheduledStart = std::any_of(argv + 1, argv + argc, [](const char* argument) {
        return std::strcmp(argument, kScheduledRecordSwitch) == 0;
    });
    if (!instance.acquire(scheduledStart ? "scheduled" : "show"))
        return 1;

    CrashHandler::install(argc > 0 ? argv[0] : nullptr, CrashBox::kSwitch);

    QApplication app(argc, argv);
    setUpApplication();
    qDebug() << "QZT Application Started";

    MainWindow window;
    if (scheduledStart) {
        window.hide();
        qDebug() << "Scheduled start: main window hidden";
    } else {
        window.show();
        qDebug() << "Main window shown";
    }
    QTimer::singleShot(0, &window, [&window] { centreOnCursorScreen(window); });
    repairLastRecordings(window);
    answerLaterStarts(instance, window);
    // Logging out or a kill asks politely first: close as the window's own close does, which
    // finishes a running recording.
    platform::onTerminationSignal(&window, [&window] { window.close(); });

    StartupTestHooks::scheduleFromEnvironment();

    return app.exec();
}
