#pragma once

#include <QColor>
#include <QList>
#include <QPixmap>
#include <QPoint>
#include <QRect>
#include <QWidget>

#include <utility>

class QPainter;

// Translucent overlay over the whole virtual desktop on which the user drags out the rectangle to
// record. Reports the rectangle in global logical pixels and closes itself (it deletes itself on
// close). The rectangle always lies on the screen where the drag started.
class AreaSelector : public QWidget
{
    Q_OBJECT

public:
    // What shows under the dimmed overlay: the live desktop, blended in by a compositor, or where
    // none runs (the overlay would be solid black) a still of the screens taken as it opens.
    enum class Backdrop { Live, Still };

    // With the backdrop that suits the running desktop.
    explicit AreaSelector(QWidget* parent = nullptr);
    explicit AreaSelector(Backdrop backdrop, QWidget* parent = nullptr);

    // Clamps a global point to the last pixel row and column inside bounds.
    static QPoint clampToBounds(const QPoint& point, const QRect& bounds);

signals:
    void areaSelected(const QRect& area);
    void areaSelectionCanceled();

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void paintStills(QPainter& painter) const;

    Backdrop backdrop;
    // Each screen's still and where it lies in widget coordinates; empty with a live backdrop.
    QList<std::pair<QRect, QPixmap>> stills;
    // Widget coordinates; null while nothing is being dragged.
    QRect selection;
    QPoint anchor;
    QColor overlayColor{0, 0, 0, 100};
    // The screen the drag started on; the selection never leaves it.
    QRect screenBounds;
};
