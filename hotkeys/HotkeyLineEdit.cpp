#include "HotkeyLineEdit.h"

#include <QKeyEvent>

HotkeyLineEdit::HotkeyLineEdit(QWidget* parent) : QLineEdit(parent)
{
    setReadOnly(true);
    setStyleSheet(
        QStringLiteral("\n"
                       "        HotkeyLineEdit {\n"
                       "            border-radius: 4px;\n"
                       "            padding: 2px;\n"
                       "        }\n"
                       "        HotkeyLineEdit:focus {\n"
                       "            border: 2px solid #0078d7;  /* Blue border on focus */\n"
                       "        }\n"
                       "    "));
}

bool HotkeyLineEdit::event(QEvent* event)
{
    // While a combination is being typed here it must reach keyPressEvent, not trigger a
    // shortcut of the same window (Escape closing the dialog, Ctrl+A selecting all, ...).
    if (event->type() == QEvent::ShortcutOverride && isEnabled()) {
        event->accept();
        return true;
    }
    return QLineEdit::event(event);
}

void HotkeyLineEdit::keyPressEvent(QKeyEvent* event)
{
    if (!isEnabled())
        return;
    const int key = event->key();
    if (key == Qt::Key_Shift || key == Qt::Key_Control || key == Qt::Key_Meta || key == Qt::Key_Alt)
        return;
    // Keys the platform cannot name would give a sequence that never matches anything.
    if (key == 0 || key == Qt::Key_unknown)
        return;

    keySequence_ = QKeySequence(QKeyCombination(event->modifiers(), Qt::Key(key)));
    setText(keySequence_.toString(QKeySequence::NativeText));
    emit hotkeyChanged(keySequence_);
}
