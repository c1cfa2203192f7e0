#pragma once

#include "RecordedSession.h"
#include "ui/MainWindow.h"

#include <QColor>
#include <QList>
#include <QSet>

#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QTimeEdit;
class QToolButton;

namespace testsupport {

struct WindowBox
{
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    QString text;
};

// Builds main windows for GUI suites: the session's calls are recorded instead of capturing,
// boxes are collected instead of shown, the window picker, window list and tray answer what the
// test sets here. Call reset() before each test.
class MainWindowHarness
{
public:
    static constexpr NativeWindow kPickedWindow = 42;
    static inline const QColor kWindowPicture = Qt::darkGreen;

    // Forgets what the last test set and gives the settings the window reads a known state,
    // with recordings going to recordingsFolder.
    void reset(const QString& recordingsFolder);
    // Deletes an area selector a test left open, which would cover the next test's window.
    static void closeLeftovers();
    std::unique_ptr<MainWindow> makeWindow();

    // The idle and recording states as the user sees them: clock, labels, tray text, tick timer
    // and the controls locked while recording. QtTest checks: call
    // QVERIFY(!QTest::currentTestFailed()) after them when more follows.
    static void verifyIdle(MainWindow& window);
    static void verifyRecording(MainWindow& window);

    static QComboBox* combo(MainWindow& window, const char* name);
    static QToolButton* button(MainWindow& window, const char* name);
    static QLabel* label(MainWindow& window, const char* name);
    static QCheckBox* checkBox(MainWindow& window, const char* name);
    static QTimeEdit* timeEdit(MainWindow& window, const char* name);

    SessionCalls calls;
    QList<WindowBox> boxes;
    QSet<NativeWindow> liveWindows;
    bool pickerAccepts = true;
    int pickerRuns = 0;
    QString pickedTitle;
    bool trayAvailable = false;
};

} // namespace testsupport

// The harness's state checks, ending the test at their first failure.
#define VERIFY_IDLE(window)                                                                        \
    do {                                                                                           \
        testsupport::MainWindowHarness::verifyIdle(window);                                        \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)
#define VERIFY_RECORDING(window)                                                                   \
    do {                                                                                           \
        testsupport::MainWindowHarness::verifyRecording(window);                                   \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)
