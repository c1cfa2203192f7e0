#pragma once

#include <QImage>
#include <QList>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <QtGlobal>

#include <memory>

// A top-level window of the desktop as the window system names it (an X window id here).
using NativeWindow = quint64;

// What identifies a window again after the program restarted it: its process, the class its
// program gave it and the executable's base name.
struct WindowIdentity
{
    quint32 pid = 0;
    QString className;
    QString exeName; // empty when the process cannot be inspected
};

// One recordable top-level window as the window picker lists it.
struct WindowEntry
{
    NativeWindow window = 0;
    QString title;
};

// A window's state as the capture loop checks it once per frame.
struct WindowState
{
    bool exists = false;
    bool visible = false; // mapped and viewable
    bool minimised = false;
    QRect outer; // outer rectangle, frame included; null when unreadable
};

struct MonitorInfo
{
    QString name;
    QRect geometry; // physical pixels of the virtual desktop
    bool primary = false;
};

// Window and monitor queries the capture code needs, without any window-system header.
// Each instance has its own display connection; use one instance per thread.
class WindowSystem
{
public:
    virtual ~WindowSystem() = default;

    // Connects to the display. Returns null, with the reason in *error, when there is none.
    static std::unique_ptr<WindowSystem> create(QString* error = nullptr);
    // The instance in holder, connected at the first call; null (with a warning in the log each
    // time it is tried) while there is no display.
    static WindowSystem* ensure(std::unique_ptr<WindowSystem>& holder);

    // An EWMH window manager is running (minimise and restore need one).
    virtual bool windowManagerRunning() const = 0;

    virtual bool isWindow(NativeWindow window) const = 0;
    // Mapped and viewable (false while minimised).
    virtual bool isVisible(NativeWindow window) const = 0;
    virtual bool isMinimised(NativeWindow window) const = 0;
    // Maps a hidden window.
    virtual void show(NativeWindow window) = 0;
    // Brings a minimised window back and activates it.
    virtual void restore(NativeWindow window) = 0;
    // The outer rectangle in desktop coordinates, frame included; null rect when unreadable.
    virtual QRect outerRect(NativeWindow window) const = 0;
    // All of the above in one go: what the capture loop asks about its window every frame.
    virtual WindowState windowState(NativeWindow window) const
    {
        WindowState state;
        state.exists = isWindow(window);
        if (!state.exists)
            return state;
        state.visible = isVisible(window);
        state.minimised = isMinimised(window);
        state.outer = outerRect(window);
        return state;
    }
    // The window that holds window and the frame a window manager put around it (window itself
    // when it has no frame); 0 when window does not exist. Grabbing it gives the outer image.
    virtual NativeWindow frameWindow(NativeWindow window) const { return window; }

    // Top-level windows a user can record, in stacking/enumeration order (the picker's filter).
    // Hidden ones only when includeHidden is true.
    virtual QList<WindowEntry> enumerateWindows(bool includeHidden) const
    {
        Q_UNUSED(includeHidden);
        return {};
    }
    // The window's title; empty when it has none or does not exist.
    virtual QString windowTitle(NativeWindow window) const
    {
        Q_UNUSED(window);
        return {};
    }
    virtual WindowIdentity windowIdentity(NativeWindow window) const
    {
        Q_UNUSED(window);
        return {};
    }
    // First window passing the lookup filter whose pid (non-zero), class and exe all match;
    // 0 if none.
    virtual NativeWindow findWindowByIdentity(const WindowIdentity& identity) const
    {
        Q_UNUSED(identity);
        return 0;
    }
    // The window's current content at its outer size, frame included (from its composite pixmap
    // when available, else read from the screen); null image on any failure.
    virtual QImage windowImage(NativeWindow window) const
    {
        Q_UNUSED(window);
        return {};
    }

    // area of the screen (desktop coordinates) shrunk to fit into box, aspect kept, by the window
    // system itself where it can, so that a preview does not read the whole screen; null image
    // when it cannot (the caller then reads the screen its own way).
    virtual QImage screenImage(const QRect& area, QSize box) const
    {
        Q_UNUSED(area);
        Q_UNUSED(box);
        return {};
    }

    virtual QList<MonitorInfo> monitors() const = 0;
    // The monitor containing point; otherwise the primary one (nearest when nearest is true).
    // False when there is no monitor at all.
    virtual bool monitorFromPoint(QPoint point, bool nearest, MonitorInfo* out) const = 0;
    // The monitor with the largest overlap with rect, or the nearest one.
    virtual bool monitorFromRect(const QRect& rect, MonitorInfo* out) const = 0;
};
