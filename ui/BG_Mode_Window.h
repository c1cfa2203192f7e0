// The background-mode bar (the name is the one the rest of the program knows): a frameless Qt tool
// window kept on top, the same on X11 and Wayland.
#pragma once

#include <QPoint>
#include <QWidget>

#include <memory>

class QPropertyAnimation;
class QTimer;

namespace Ui {
class BG_Mode_Window;
}

// Small always-on-top bar shown at the top centre of the screen in background mode: record, open
// folder and restore buttons plus the elapsed time. It fades almost invisible while the mouse is
// away and can be dragged anywhere.
class BG_Mode_Window : public QWidget
{
    Q_OBJECT

public:
    // What a button asks of the main window.
    enum class Command {
        RestoreMainWindow = 0,
        OpenRecordingsFolder = 1,
        StartRecording = 2,
        StopRecording = 3,
        PauseRecording = 4,
        ResumeRecording = 5,
    };

    explicit BG_Mode_Window(QWidget* parent = nullptr);
    ~BG_Mode_Window() override;

    // The main window reports every start and stop here; the record button shows the state and
    // a stop puts the clock back to 00:00:00.
    void setRecordingState(bool isRecording);
    // The pause button: usable while a recording that can pause runs, showing resume while
    // paused.
    void setPauseState(bool available, bool paused);
    // Text in "hh:mm:ss" form, sent every second while the bar is visible.
    void setElapsedText(const QString& text);

signals:
    void bg_mode_win_signal(BG_Mode_Window::Command command);

public slots:
    void openRecordingsFolder();
    void restoreMainWindow();
    void startStopRecording();

protected:
    void showEvent(QShowEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void fadeTo(qreal opacity);

    std::unique_ptr<Ui::BG_Mode_Window> ui;
    bool recording = false;
    bool paused = false;
    bool dragging = false;
    QPoint dragOffset;
    QTimer* hideTimer = nullptr;
    QPropertyAnimation* fade = nullptr;
};
