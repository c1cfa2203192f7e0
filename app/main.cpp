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
#include <QFile>
#include <QIcon>
#include <QProcess>
#include <QScreen>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

namespace {

constexpr char kScheduledRecordSwitch[] = "--scheduled-record";
constexpr char kHiddenSwitch[] = "--hidden";
// What the command line may ask of the running Torvane; each is also the word on its socket.
constexpr std::string_view kCommands[] = {"toggle", "start", "stop", "pause", "resume", "status"};

constexpr char kUsage[] =
    "Usage: torvane [--scheduled-record | --hidden]\n"
    "       torvane --toggle | --start | --stop | --pause | --resume | --status\n"
    "       torvane --help | --version\n"
    "\n"
    "Records the screen, a window or a browser tab, with sound, into a video file.\n"
    "Only one Torvane runs per user: starting it again brings the running window to the front.\n"
    "\n"
    "Options:\n"
    "  --scheduled-record  start with the window hidden, as a scheduled recording does\n"
    "  --hidden            start with the window hidden\n"
    "\n"
    "Commands to the running Torvane (--start and --toggle start it hidden when none runs).\n"
    "Each prints the state after it, \"recording 00:01:23\", \"paused 00:01:23\" or \"idle\",\n"
    "and exits with 0, or prints why not and exits with 1:\n"
    "  --toggle            start a recording, or stop the one running\n"
    "  --start             start a recording\n"
    "  --stop              stop the recording\n"
    "  --pause             pause the recording\n"
    "  --resume            resume the paused recording\n"
    "  --status            print the state only\n"
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

enum class CommandLineRequest { Run, Help, Version, Unknown, TwoCommands };

// Decided from the raw arguments, before the instance lock and the application object, so that
// --help and --version work without a display and beside a running instance. Arguments that are
// not options are ignored, as they always were.
CommandLineRequest parseCommandLine(int argc, char** argv, std::string_view& unknown,
                                    std::string_view& command)
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
        if (argument.starts_with("--") &&
            std::ranges::find(kCommands, argument.substr(2)) != std::end(kCommands)) {
            if (!command.empty() && command != argument.substr(2))
                return CommandLineRequest::TwoCommands;
            command = argument.substr(2);
            continue;
        }
        if (argument == kScheduledRecordSwitch || argument == kHiddenSwitch ||
            argument == CrashBox::kSwitch || argument.size() < 2 || argument[0] != '-')
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
std::optional<int> answerCommandLine(int argc, char* argv[], std::string_view& command)
{
    std::string_view unknownOption;
    switch (parseCommandLine(argc, argv, unknownOption, command)) {
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
    case CommandLineRequest::TwoCommands:
        std::fprintf(stderr, "torvane: one command at a time\n\n%s", kUsage);
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

// Starts Torvane hidden, in the background and with its output elsewhere, and asks it once it
// listens; nullopt when it never does.
std::optional<SingleInstance::Answer>
startHiddenAndAsk(SingleInstance& instance, const QByteArray& word, int argc, char* argv[])
{
    // One that is still starting holds the lock but does not listen yet: wait for it instead.
    if (instance.tryLock()) {
        instance.unlock();
        QStringList arguments{QString::fromLatin1(kHiddenSwitch)};
        for (int i = 1; i < argc; ++i)
            if (!std::string_view(argv[i]).starts_with("--") ||
                std::ranges::find(kCommands, std::string_view(argv[i]).substr(2)) ==
                    std::end(kCommands))
                arguments << QString::fromLocal8Bit(argv[i]);
        QString program = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
        if (program.isEmpty())
            program = QString::fromLocal8Bit(argv[0]);
        QProcess process;
        process.setProgram(program);
        process.setArguments(arguments);
        process.setStandardInputFile(QProcess::nullDevice());
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        if (!process.startDetached())
            return std::nullopt;
    }
    constexpr int kStartWaitMs = 30000;
    constexpr int kPollMs = 200;
    for (int waited = 0; waited < kStartWaitMs; waited += kPollMs) {
        QThread::msleep(kPollMs);
        if (auto answer = instance.ask(word))
            return answer;
    }
    return std::nullopt;
}

// Asks the running Torvane what the command says and prints its answer; the exit code.
int runCommand(std::string_view command, int argc, char* argv[])
{
    SingleInstance instance;
    const QByteArray word(command.data(), qsizetype(command.size()));
    std::optional<SingleInstance::Answer> answer = instance.ask(word);
    if (!answer && (word == "start" || word == "toggle"))
        answer = startHiddenAndAsk(instance, word, argc, argv);
    if (!answer) {
        std::fputs(word == "start" || word == "toggle" ? "torvane: Torvane did not start\n"
                                                       : "torvane: Torvane is not running\n",
                   stderr);
        return 1;
    }
    const QByteArray text = answer->text.toLocal8Bit();
    std::fprintf(answer->ok ? stdout : stderr, answer->ok ? "%s\n" : "torvane: %s\n",
                 text.constData());
    return answer->ok ? 0 : 1;
}

void answerLaterStarts(SingleInstance& instance, MainWindow& window)
{
    instance.listen(&window, [&window](const QByteArray& message) -> SingleInstance::Answer {
        // The system starting us for a schedule finds us running: the runner records it, and
        // a window the user hid stays hidden.
        if (message == "scheduled") {
            qDebug() << "Scheduled start while running: the schedule runner serves it";
            return {};
        }
        if (message != "show") {
            bool ok = false;
            const QString text = window.handleRemoteCommand(QString::fromLatin1(message), &ok);
            qDebug().noquote() << "Command" << message << (ok ? "answered:" : "refused:") << text;
            return {ok, text};
        }
        qDebug() << "Second start: main window brought to the front";
        if (window.isMinimized())
            window.showNormal();
        else
            window.show();
        window.raise();
        window.activateWindow();
        return {};
    });
}

} // namespace

int main(int argc, char* argv[])
{
    if (CrashBox::isRequested(argc, argv))
        return CrashBox::run(argc, argv);
    std::string_view command;
    if (const std::optional<int> exitCode = answerCommandLine(argc, argv, command))
        return *exitCode;
    if (!command.empty())
        return runCommand(command, argc, argv);

    // A logout while still starting must not cut the start short and leave the lock behind.
    platform::catchTerminationSignals();
    // One instance per user: a second start brings the running window forward and ends here,
    // before anything is shown or written.
    SingleInstance instance;
    const auto given = [argc, argv](const char* option) {
        return std::any_of(argv + 1, argv + argc, [option](const char* argument) {
            return std::strcmp(argument, option) == 0;
        });
    };
    const bool scheduledStart = given(kScheduledRecordSwitch);
    const bool hiddenStart = scheduledStart || given(kHiddenSwitch);
    // A hidden start finding one running leaves its window as it is.
    if (!instance.acquire(scheduledStart ? "scheduled" : hiddenStart ? "status" : "show"))
        return 1;

    CrashHandler::install(argc > 0 ? argv[0] : nullptr, CrashBox::kSwitch);

    QApplication app(argc, argv);
    setUpApplication();
    qDebug() << "QZT Application Started";

    MainWindow window;
    if (hiddenStart) {
        window.hide();
        qDebug() << (scheduledStart ? "Scheduled start: main window hidden"
                                    : "Hidden start: main window hidden");
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
