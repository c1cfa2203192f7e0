#pragma once

#include "platform/GlobalShortcuts.h"

#include <cstdint>
#include <memory>
#include <vector>

class QSocketNotifier;
class X11Connection;

// Global shortcuts on X11: each key is grabbed on the root window of a connection of its own, so
// the X server sends it here whichever window has the focus. A key another client grabbed first
// is refused by the server (BadAccess) and reported as taken, not silently lost.
class X11GlobalShortcuts : public GlobalShortcuts
{
    Q_OBJECT

public:
    explicit X11GlobalShortcuts(QObject* parent = nullptr);
    // Releases the grabs.
    ~X11GlobalShortcuts() override;

    void setShortcuts(const QList<Shortcut>& shortcuts) override;

private:
    struct Grab
    {
        QString id;
        std::uint8_t keycode = 0;
        std::uint16_t modifiers = 0;
    };

    // The keycode that types keysym, 0 when the keyboard has none.
    std::uint8_t keycodeOf(std::uint32_t keysym) const;
    // False when another client holds some variant; the ones taken are released again.
    bool grab(const Grab& grab);
    void ungrabAll();
    void readEvents();

    std::unique_ptr<X11Connection> connection_;
    QSocketNotifier* notifier_ = nullptr;
    std::vector<Grab> grabs_;
    // Auto-repeat sends a release and a press with the same time: only the first press counts.
    std::uint32_t lastReleaseTime_ = 0;
};
