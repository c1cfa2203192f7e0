#pragma once

#include <QString>

class QWidget;

// A message box the session wants shown. Tests answer these without a screen.
struct SessionBox
{
    enum class Kind { Info, Warning, EncoderLag, WindowHidden, WindowMinimized };
    Kind kind = Kind::Info;
    QString title;
    QString text;
    QString informativeText;
};

// Shows box as a message box over owner (the window prompts over no window, to be seen while the
// main window is hidden); true for "continue" (OK, Yes, Show/Restore & Continue).
bool showSessionBox(const SessionBox& box, QWidget* owner);
