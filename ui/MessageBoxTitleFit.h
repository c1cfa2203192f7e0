#pragma once

#include <QObject>

// Widens each message box of the application until the window manager can show its whole title.
// Qt sizes a box for its text and leaves little room for the title bar's icon and buttons, so a
// short text under a longer title had the title cut ("Vali... Error").
class MessageBoxTitleFit : public QObject
{
    Q_OBJECT

public:
    // Watches every message box from now on. Call once the application object exists; calling it
    // again is harmless.
    static void install();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    using QObject::QObject;
};
