#pragma once

#include <QMessageBox>

#include <functional>

// The message boxes of the macro dialogs, which tests answer instead of a user.
namespace macroboxes {

// Returns true for Yes (questions) or OK.
using Handler =
    std::function<bool(QMessageBox::Icon icon, const QString& title, const QString& text)>;

// A modal box; a question offers Yes and No, No the default.
bool show(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text);
// Tells, once the event loop runs (over the list that calls it), that the list file at path could
// not be read and was kept as copy; nothing when copy is empty.
void tellBrokenFile(QWidget* list, const QString& path, const QString& copy);
// Replaces the boxes (tests); an empty handler restores them.
void setHandler(Handler handler);

} // namespace macroboxes
