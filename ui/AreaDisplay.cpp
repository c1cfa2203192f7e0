#include "AreaDisplay.h"

#include <QGuiApplication>
#include <QPainter>
#include <QRegion>
#include <QScreen>

AreaDisplay::AreaDisplay(const QRect& area, QWidget* parent) : QWidget(parent), area_(area)
{
    // Clicks anywhere on it reach the windows beneath, which may be the ones being recorded.
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                   Qt::WindowTransparentForInput);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_DeleteOnClose);
    // The frame sits outside the area so that it never shows up in the recording.
    setGeometry(area.adjusted(-borderWidth, -borderWidth, borderWidth, borderWidth));
    // Only the frame belongs to the window: without a compositor its transparent inside would be
    // drawn black over the very pixels that are recorded.
    setMask(QRegion(rect()).subtracted(
        QRegion(rect().adjusted(borderWidth, borderWidth, -borderWidth, -borderWidth))));
    show();
}

QScreen* AreaDisplay::areaScreen() const
{
    // The framed area's corner, not the frame's: a frame around an area that starts at a
    // screen's left or top edge begins on the neighbouring screen.
    QScreen* screen = QGuiApplication::screenAt(areaCorner());
    return screen ? screen : QGuiApplication::primaryScreen();
}

QPoint AreaDisplay::areaCorner() const
{
    // A Wayland client can neither place its windows nor learn where they are: the area stays
    // where it was chosen, wherever the compositor shows the frame.
    if (QGuiApplication::platformName() == QLatin1String("wayland"))
        return area_.topLeft();
    return pos() + QPoint(borderWidth, borderWidth);
}

QRect AreaDisplay::captureArea() const
{
    const QScreen* screen = areaScreen();
    const QPoint screenOrigin = screen ? screen->geometry().topLeft() : QPoint();
    const QPoint corner = areaCorner() - screenOrigin;
    return {corner.x(), corner.y(), width() - 2 * borderWidth, height() - 2 * borderWidth};
}

void AreaDisplay::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::red, borderWidth, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter.setBrush(Qt::NoBrush);
    const qreal inset = borderWidth / 2.0;
    painter.drawRect(QRectF(rect()).adjusted(inset, inset, -inset, -inset));
}
