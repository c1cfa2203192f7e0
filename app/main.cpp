#include "app/CrashBox.h"
#include "app/LanguageManager.h"
#include "app/RunLog.h"
#include "app/SingleInstance.h"
#include "app/StartupTestHooks.h"
#include "platform/posix/CrashHandler.h"
#include "platform/posix/TerminationSignals.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QCursor>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <cstring>

namespace {

constexpr char kScheduledRecordSwitch[] = "--scheduled-record";

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

} // namespace

int main(int argc, char* argv[])
{
    if (CrashBox::isRequested(argc, argv))
        return CrashBox::run(argc, argv);

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

    LanguageManager::instance().installWithSavedLanguage();

    const QString logDirectory = RunLog::directory();
    QDir().mkpath(logDirectory);
    const QString logPath =
        logDirectory + QLatin1Char('/') + RunLog::fileNameFor(QDateTime::currentDateTime());
    RunLog::open(logPath);
    RunLog::installMessageHandler();
    RunLog::redirectStandardStreams(logPath);

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
    // Logging out or a kill asks politely first: close as the window's own close does, which
    // finishes a running recording.
    platform::onTerminationSignal(&window, [&window] { window.close(); });

    StartupTestHooks::scheduleFromEnvironment();

    return app.exec();
}
