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
// Replaces the boxes (tests); an empty handler restores them.
void setHandler(Handler handler);

} // namespace macroboxes
