#pragma once

#include "platform/WindowSystem.h"

#include <QColor>
#include <QRect>
#include <QWidget>

namespace testsupport {

// A top-level window filled with one solid colour, for end-to-end tests that record known screen
// content. Needs a real display (the test script's Xvfb); the window manager may add a frame.
//
//     TestWindow window(Qt::red, QRect(100, 100, 320, 200));
//     QVERIFY(window.showAndWait());
//     ... record window.nativeId() or the screen ...
//     window.setColour(Qt::blue);
//     QVERIFY(window.waitPainted());
class TestWindow : public QWidget
{
public:
    enum class Frame { Framed, Frameless };

    // geometry is the client area in desktop pixels; a frameless window's outer rectangle is
    // exactly this, a framed one gets the window manager's decorations around it.
    TestWindow(QColor colour, QRect geometry, Frame frame = Frame::Frameless);

    // Shows the window and waits until it is exposed and painted in its colour.
    bool showAndWait(int timeoutMs = 15000);
    // Repaints in the new colour; waitPainted() waits for that paint.
    void setColour(QColor colour);
    bool waitPainted(int timeoutMs = 15000);
    QColor colour() const { return colour_; }

    // The id of the top-level client window, as a window list reports it. This is not the
    // window manager's frame: the capture code finds the frame itself when it needs the outer
    // image (WindowSystem::frameWindow).
    NativeWindow nativeId();
    // The client area in desktop coordinates, as placed now.
    QRect globalRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor colour_;
    QColor painted_; // the colour of the last finished paint
};

} // namespace testsupport
