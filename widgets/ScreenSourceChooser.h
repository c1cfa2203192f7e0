#pragma once

#include "platform/WindowSystem.h"

#include <QRect>

#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QWidget;

// The screen half of the source dialogs of schedules and macros, over the dialog's own widgets:
// whether the screen is recorded, its kind (a display, a window, a rectangle), the display list
// or the picked window in one list, and the dragged rectangle in a label that takes the list's
// place.
class ScreenSourceChooser
{
public:
    enum Kind { FullScreen = 0, Window = 1, Custom = 2 };
    // Asks the user for a window; false when none was chosen.
    using WindowPicker = std::function<bool(QWidget* parent, WindowIdentity* picked)>;

    ScreenSourceChooser(QWidget* dialog, QCheckBox* enabled, QComboBox* kind, QComboBox* list,
                        QLabel* rectangle);

    // Replaces the thumbnail picker (tests).
    void setWindowPicker(WindowPicker picker) { picker_ = std::move(picker); }

    // The kind chosen by the user: a window is picked, the area selector opens over the screens
    // (a child of the dialog, so that a modal dialog does not block it), or the displays are
    // listed.
    void activate(int kind);
    void showDisplay(int index);
    void showWindow(const WindowIdentity& window);
    void showRectangle(const QRect& rect);
    // Enables the widgets with the check box; the rectangle replaces the list for Custom.
    void render();

    int kind() const;
    int displayIndex() const;
    const WindowIdentity& window() const { return window_; }
    QRect rectangle() const;

private:
    QWidget* dialog_;
    QCheckBox* enabled_;
    QComboBox* kind_;
    QComboBox* list_;
    QLabel* rectangle_;
    WindowIdentity window_;
    WindowPicker picker_;
};
