#include "TestWindow.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QPainter>
#include <QTest>

namespace testsupport {

TestWindow::TestWindow(QColor colour, QRect geometry, Frame frame) : colour_(colour)
{
    setWindowFlag(Qt::Window);
    if (frame == Frame::Frameless)
        setWindowFlag(Qt::FramelessWindowHint);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setGeometry(geometry);
}

bool TestWindow::showAndWait(int timeoutMs)
{
    show();
    raise();
    if (!QTest::qWaitForWindowExposed(this, timeoutMs))
        return false;
    return waitPainted(timeoutMs);
}

void TestWindow::setColour(QColor colour)
{
    colour_ = colour;
    update();
}

bool TestWindow::waitPainted(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (painted_ != colour_ && !deadline.hasExpired())
        QTest::qWait(10);
    if (painted_ != colour_)
        return false;
    // The paint reaches the server with the backing store's flush, after the paint event.
    QCoreApplication::processEvents();
    QTest::qWait(50);
    return true;
}

NativeWindow TestWindow::nativeId()
{
    return static_cast<NativeWindow>(winId());
}

QRect TestWindow::globalRect() const
{
    return QRect(mapToGlobal(QPoint(0, 0)), size());
}

void TestWindow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), colour_);
    painted_ = colour_;
}

} // namespace testsupport
