#pragma once

#include "X11Connection.h"
#include "X11ShmFramePool.h"
#include "media/VideoFramePool.h"

#include <xcb/damage.h>
#include <xcb/xfixes.h>

#include <QRect>

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

// A rectangle of the screen as 4:2:0 pictures, brought up to date only where the X server
// reports damage. The whole rectangle is read and converted once; after that each picture reads
// the changed rows into a shared-memory copy of the screen and converts those rows alone. At 4K
// a desktop changes a few percent of its pixels a frame, so this spares most of the server's
// copy and of the conversion that a full read of every frame costs.
//
// The pictures handed out are never written again while anyone holds them: a few are kept and
// the one most recently brought up to date that nobody holds is reused, with the rows changed
// since it was last written. Used by the capture thread only; the pictures may be released on
// any thread and outlive the reader.
class X11DamageI420
{
public:
    // Null when the server lacks Damage, XFixes or shared memory, or the segment cannot be
    // made. rect must lie on the screen and be of even size. x and segments must outlive it.
    static std::unique_ptr<X11DamageI420> create(X11Connection& x, X11ShmFramePool& segments,
                                                 const QRect& rect);
    ~X11DamageI420();
    X11DamageI420(const X11DamageI420&) = delete;
    X11DamageI420& operator=(const X11DamageI420&) = delete;

    // The rectangle now, with the pointer drawn in when one is given; null when it cannot be
    // read.
    SharedFrame grab(const xcb_xfixes_get_cursor_image_reply_t* cursor = nullptr);
    // Reads the rectangle and keeps as many pictures of it as `bytes` hold, and the two the
    // encoder and the capture work on (at most the most ever kept), written through, so later
    // grabs find them without fresh pages.
    void reserve(std::size_t bytes);

private:
    // Rows [first, end) and, within them, the columns [left, right) that changed: the rows are
    // read whole, only the columns are converted. Even bounds, sorted by rows, rows apart.
    struct Span
    {
        int first;
        int end;
        int left;
        int right;
    };
    using Rows = std::vector<Span>;
    struct Picture
    {
        SharedFrame frame;
        std::uint64_t generation = 0; // 0: never written
        Rows pointerRows;             // where the pointer was drawn over the screen's rows
    };
    struct Change
    {
        std::uint64_t generation;
        Rows rows;
    };

    X11DamageI420(X11Connection& x, X11ShmFramePool::Segment* mirror, const QRect& rect);
    Span whole() const { return {0, rect_.height(), 0, rect_.width()}; }
    // The rows damaged since the last call, in the rectangle's coordinates.
    Rows takeDamage();
    bool read(const Rows& rows);
    Picture* pictureToWrite();
    // A new picture, a copy of the newest one; null when memory runs out.
    Picture* freshPicture();
    Rows rowsSince(std::uint64_t generation) const;
    void convert(const Rows& rows, AVFrame* picture) const;
    // Blends the pointer into the picture where it lies; returns the rows it covers.
    Rows drawPointer(const xcb_xfixes_get_cursor_image_reply_t& cursor, AVFrame* picture);
    // Adds a rectangle, widened to even bounds; merge() then sorts and joins the spans once.
    static void add(Rows& rows, const QRect& area);
    static void merge(Rows& rows);

    X11Connection& x_;
    VideoFramePool pool_;              // the pictures' memory
    X11ShmFramePool::Segment* mirror_; // the rectangle as the server last showed it, BGRA
    QRect rect_;
    xcb_damage_damage_t damage_ = 0;
    xcb_xfixes_region_t region_ = 0;
    std::uint64_t generation_ = 0;
    bool fullRead_ = true;
    std::vector<Picture> pictures_;
    std::deque<Change> changes_;
    std::vector<std::uint8_t> patch_; // the screen under the pointer, BGRA
};
