#pragma once

#include "FakeDesktop.h"
#include "ui/MainWindow.h"
#include "capture/RecordingTarget.h"

#include <memory>

namespace testsupport {

// What a window asked of its recording session, which captures nothing.
struct SessionCalls
{
    QString audio;
    QString path;
    RecordingTarget target;
    QRect captureArea;
    int started = 0;
    QList<bool> stops; // the quiet flag of each stop
    int pauses = 0;
    int resumes = 0;
    bool startRuns = true; // whether a start gets its threads going
    bool running = false;
};

struct WindowBox
{
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    QString text;
};

// Builds main windows for GUI suites: the session's calls are recorded, boxes are collected
// instead of shown, the window picker, window list and tray answer what the test sets here.
class MainWindowHarness
{
public:
    static constexpr NativeWindow kPickedWindow = 42;
    static inline const QString kPickedTitle = QStringLiteral("My Game: Level 2");

    // Forgets what the last test set, and where recordings go.
    void reset(const QString& recordingsFolder);
    // Deletes an area selector a test left open, which would cover the next test's window.
    static void closeLeftovers();
    std::unique_ptr<MainWindow> makeWindow();

    // "recording" or "idle" when every sign of it the user sees agrees (labels, tray text, clock,
    // tick timer, the controls locked while recording), else the signs that disagree.
    static QString state(MainWindow& window);

    SessionCalls calls;
    QList<WindowBox> boxes;
    FakeDesktop desktop;
    bool pickerAccepts = true;
    bool trayAvailable = false;
};

template <class T> T* child(QWidget& window, const char* name)
{
    return window.findChild<T*>(QLatin1String(name));
}

} // namespace testsupport
