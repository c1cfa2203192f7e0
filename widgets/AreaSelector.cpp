#include "AreaSelector.h"

#include "platform/Compositing.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

#include <algorithm>
#include <cstdlib>

namespace {

// A selection must be larger than this in both directions; smaller drags are treated as clicks.
constexpr int minimumSelectionSize = 5;
// The size label is only drawn when it fits comfortably inside the selection.
constexpr int minimumLabelSize = 50;
constexpr int labelInset = 5;

QRect screenGeometryAt(const QPoint& globalPoint)
{
    QScreen* screen = QGuiApplication::screenAt(globalPoint);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry() : QRect();
}

} // namespace

AreaSelector::AreaSelector(QWidget* parent)
    : AreaSelector(desktopComposited() ? Backdrop::Live : Backdrop::Still, parent)
{
}

AreaSelector::AreaSelector(Backdrop backdrop, QWidget* parent) : QWidget(parent), backdrop(backdrop)
{
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_DeleteOnClose);
    setMouseTracking(true);
    setCursor(Qt::CrossCursor);
}

QPoint AreaSelector::clampToBounds(const QPoint& point, const QRect& bounds)
{
    if (bounds.isEmpty())
        return point;
    return {std::clamp(point.x(), bounds.left(), bounds.right()),
            std::clamp(point.y(), bounds.top(), bounds.bottom())};
}

void AreaSelector::showEvent(QShowEvent* event)
{
    QScreen* primary = QGuiApplication::primaryScreen();
    if (primary)
        setGeometry(primary->virtualGeometry());
    // Taken before the overlay is mapped, so the stills hold only what lies under it.
    stills.clear();
    if (backdrop == Backdrop::Still && primary) {
        for (QScreen* screen : QGuiApplication::screens()) {
            const QRect bounds = screen->geometry();
            stills.append({bounds.translated(-primary->virtualGeometry().topLeft()),
                           screen->grabWindow(0, 0, 0, bounds.width(), bounds.height())});
        }
    }
    QWidget::showEvent(event);
    // A tool window is not focused by default, and Escape must reach the overlay.
    raise();
    activateWindow();
    setFocus(Qt::OtherFocusReason);
}

void AreaSelector::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    paintStills(painter);
    painter.fillRect(rect(), overlayColor);
    if (!selection.isValid())
        return;

    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(selection, Qt::transparent);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.setClipRect(selection);
    paintStills(painter);
    painter.setClipping(false);

    painter.setPen(QPen(Qt::red, 2.0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(selection.adjusted(0, 0, -1, -1));

    if (selection.width() > minimumLabelSize && selection.height() > minimumLabelSize) {
        QFont font = painter.font();
        font.setWeight(QFont::Bold);
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(selection.adjusted(labelInset, labelInset, -labelInset, -labelInset),
                         Qt::AlignLeft | Qt::AlignTop,
                         tr("%1 x %2").arg(selection.width()).arg(selection.height()));
    }
}

void AreaSelector::paintStills(QPainter& painter) const
{
    for (const auto& [bounds, still] : stills)
        painter.drawPixmap(bounds, still);
}

void AreaSelector::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    const QPoint global = event->globalPosition().toPoint();
    screenBounds = screenGeometryAt(global);
    anchor = mapFromGlobal(clampToBounds(global, screenBounds));
    selection = QRect(anchor, QSize());
    update();
}

void AreaSelector::mouseMoveEvent(QMouseEvent* event)
{
    if (selection.isNull() || !(event->buttons() & Qt::LeftButton))
        return;
    const QPoint p = mapFromGlobal(clampToBounds(event->globalPosition().toPoint(), screenBounds));
    selection = QRect(std::min(anchor.x(), p.x()), std::min(anchor.y(), p.y()),
                      std::abs(p.x() - anchor.x()), std::abs(p.y() - anchor.y()));
    update();
}

void AreaSelector::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !selection.isValid())
        return;
    if (selection.width() > minimumSelectionSize && selection.height() > minimumSelectionSize) {
        emit areaSelected(
            QRect(mapToGlobal(selection.topLeft()), mapToGlobal(selection.bottomRight())));
        close();
        return;
    }
    selection = QRect();
    update();
}

void AreaSelector::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        emit areaSelectionCanceled();
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}
