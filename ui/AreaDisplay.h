#pragma once

#include <QRect>
#include <QWidget>

class QScreen;

// Thin red frame drawn just outside the rectangle chosen for area capture. It stays on screen while
// area mode is on; its position is where the capture area is read from.
class AreaDisplay : public QWidget
{
    Q_OBJECT

public:
    // area is the selected rectangle in global logical pixels; the frame is drawn around it.
    AreaDisplay(const QRect& area, QWidget* parent);

    // The screen the area is recorded from: the one under the framed area's top-left corner, or
    // the primary screen when no screen is there. Everything that grabs the area asks this.
    QScreen* areaScreen() const;
    // The framed rectangle relative to the top-left corner of areaScreen(), in logical pixels:
    // what the recording session takes as its capture area.
    QRect captureArea() const;

signals:
    void closeDisplay();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // The framed area's top-left corner in global logical pixels.
    QPoint areaCorner() const;

    QRect area_;
    int borderWidth = 2;
};
