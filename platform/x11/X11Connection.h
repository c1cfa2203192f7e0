#pragma once

#include <QString>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

// Owns one xcb connection and the default screen. Replies are XReply<T>, freed with free().
class X11Connection
{
public:
    struct FreeDeleter
    {
        void operator()(void* p) const { std::free(p); }
    };
    template <class T> using XReply = std::unique_ptr<T, FreeDeleter>;

    // Null, with the reason in *error, when no display can be opened.
    static std::unique_ptr<X11Connection> open(QString* error = nullptr);

    xcb_connection_t* get() const { return connection_.get(); }
    xcb_window_t root() const { return screen_->root; }
    int screenNumber() const { return screenNumber_; }
    int rootWidth() const { return screen_->width_in_pixels; }
    int rootHeight() const { return screen_->height_in_pixels; }
    xcb_visualid_t rootVisual() const { return screen_->root_visual; }
    uint8_t rootDepth() const { return screen_->root_depth; }
    xcb_atom_t atom(const char* name) const;
    bool hasExtension(xcb_extension_t* extension) const;

private:
    struct Disconnect
    {
        void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
    };
    X11Connection() = default;

    std::unique_ptr<xcb_connection_t, Disconnect> connection_;
    xcb_screen_t* screen_ = nullptr;
    int screenNumber_ = 0;
};

template <class T> using XReply = X11Connection::XReply<T>;
