#pragma once

#include <QKeySequence>
#include <QLineEdit>

// A read-only line edit that records one key combination from a single key press and shows it
// as text ("Ctrl+Shift+R"). A modifier pressed alone records nothing.
class HotkeyLineEdit : public QLineEdit
{
    Q_OBJECT

public:
    explicit HotkeyLineEdit(QWidget* parent = nullptr);

    // The last recorded combination; empty until a key is pressed.
    QKeySequence keySequence() const { return keySequence_; }

signals:
    void hotkeyChanged(const QKeySequence& sequence);

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QKeySequence keySequence_;
};
