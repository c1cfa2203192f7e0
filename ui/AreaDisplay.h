#pragma once

#include <QRect>
#include <QWidget>

// Thin red frame drawn just outside the rectangle chosen for area capture. It stays on screen while
// area mode is on; its position is where the capture area is read from.
class AreaDisplay : public QWidget
{
    Q_OBJECT

public:
    // area is the selected rectangle in global logical pixels; the frame is drawn around it.
    AreaDisplay(const QRect& area, QWidget* parent);

    // The framed rectangle relative to the top-left corner of the screen that holds the frame, in
    // logical pixels: what the recording session takes as its capture area.
    QRect captureArea() const;

signals:
    void closeDisplay();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int borderWidth = 2;
};
