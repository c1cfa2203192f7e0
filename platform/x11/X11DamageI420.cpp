#include "X11DamageI420.h"

#include "X11Cursor.h"

#include <libyuv/convert_from_argb.h>

#include <algorithm>
#include <cstring>

namespace {

// Pictures kept for reuse. The ring grows to one more than are held at once (the capture
// queue's byte budget, about eight at 4K, and the encoder's), so that a fresh picture, with its
// page faults and its copy, is rare; past this many the oldest is let go.
constexpr std::size_t kPictures = 24;
// Changes remembered for bringing an older picture up to date; older ones are converted whole.
constexpr std::size_t kChanges = 16;
// Damaged rows closer than this are read in one request: fewer round trips for a few more rows.
constexpr int kRowGap = 16;

} // namespace

std::unique_ptr<X11DamageI420> X11DamageI420::create(X11Connection& x, X11ShmFramePool& segments,
                                                     const QRect& rect)
{
    xcb_connection_t* c = x.get();
    if (rect.isEmpty() || rect.width() % 2 || rect.height() % 2 ||
        !x.hasExtension(&xcb_damage_id) || !x.hasExtension(&xcb_xfixes_id))
        return nullptr;
    // Both versions must be asked for before the requests are used.
    XReply<xcb_xfixes_query_version_reply_t> fixes(
        xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
    XReply<xcb_damage_query_version_reply_t> damage(
        xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
    X11ShmFramePool::Segment* mirror =
        segments.spare(std::size_t(rect.width()) * std::size_t(rect.height()) * 4);
    if (!fixes || !damage || !mirror)
        return nullptr;
    return std::unique_ptr<X11DamageI420>(new X11DamageI420(x, mirror, rect));
}

X11DamageI420::X11DamageI420(X11Connection& x, X11ShmFramePool::Segment* mirror, const QRect& rect)
    : x_(x), mirror_(mirror), rect_(rect)
{
    xcb_connection_t* c = x_.get();
    // Damage on the root window covers drawing into every window on it, existing or not.
    damage_ = xcb_generate_id(c);
    xcb_damage_create(c, damage_, x_.root(), XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    region_ = xcb_generate_id(c);
    xcb_xfixes_create_region(c, region_, 0, nullptr);
}

X11DamageI420::~X11DamageI420()
{
    xcb_damage_destroy(x_.get(), damage_);
    xcb_xfixes_destroy_region(x_.get(), region_);
    xcb_flush(x_.get());
}

void X11DamageI420::add(Rows& rows, const QRect& area)
{
    // Even bounds, as a 4:2:0 picture's chroma covers two by two pixels.
    rows.push_back(
        {area.top() & ~1, (area.bottom() + 2) & ~1, area.left() & ~1, (area.right() + 2) & ~1});
}

void X11DamageI420::merge(Rows& rows)
{
    std::sort(rows.begin(), rows.end(),
              [](const Span& a, const Span& b) { return a.first < b.first; });
    Rows merged;
    for (const Span& span : rows) {
        if (!merged.empty() && span.first <= merged.back().end + kRowGap) {
            Span& last = merged.back();
            last.end = std::max(last.end, span.end);
            last.left = std::min(last.left, span.left);
            last.right = std::max(last.right, span.right);
        } else {
            merged.push_back(span);
        }
    }
    rows.swap(merged);
}

X11DamageI420::Rows X11DamageI420::takeDamage()
{
    xcb_connection_t* c = x_.get();
    // The notify events only say that there is damage; the region says where.
    while (xcb_generic_event_t* event = xcb_poll_for_event(c))
        std::free(event);
    xcb_damage_subtract(c, damage_, XCB_NONE, region_);
    XReply<xcb_xfixes_fetch_region_reply_t> region(
        xcb_xfixes_fetch_region_reply(c, xcb_xfixes_fetch_region(c, region_), nullptr));
    Rows rows;
    if (!region)
        return {whole()};
    const xcb_rectangle_t* r = xcb_xfixes_fetch_region_rectangles(region.get());
    const int count = xcb_xfixes_fetch_region_rectangles_length(region.get());
    for (int i = 0; i < count; ++i) {
        const QRect hit = QRect(r[i].x, r[i].y, r[i].width, r[i].height).intersected(rect_);
        if (!hit.isEmpty())
            add(rows, hit.translated(-rect_.topLeft()));
    }
    merge(rows);
    return rows;
}

bool X11DamageI420::read(const Rows& rows)
{
    xcb_connection_t* c = x_.get();
    const std::uint32_t stride = std::uint32_t(rect_.width()) * 4;
    // All requests first, then the replies: one round trip however many row ranges there are.
    std::vector<xcb_shm_get_image_cookie_t> cookies;
    cookies.reserve(rows.size());
    for (const auto& [first, end, left, right] : rows)
        cookies.push_back(
            xcb_shm_get_image(c, x_.root(), std::int16_t(rect_.x()),
                              std::int16_t(rect_.y() + first), std::uint16_t(rect_.width()),
                              std::uint16_t(end - first), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                              X11ShmFramePool::id(mirror_), std::uint32_t(first) * stride));
    bool ok = true;
    for (const auto& cookie : cookies) {
        XReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(c, cookie, nullptr));
        ok = ok && reply;
    }
    return ok;
}

X11DamageI420::Picture* X11DamageI420::pictureToWrite()
{
    Picture* best = nullptr;
    for (Picture& picture : pictures_)
        if (av_buffer_is_writable(picture.frame->buf[0]) &&
            (!best || picture.generation > best->generation))
            best = &picture;
    return best ? best : freshPicture();
}

X11DamageI420::Picture* X11DamageI420::freshPicture()
{
    // From the pool, whose buffers come with their pages made in one go: page by page, a fresh
    // picture took twice as long here.
    SharedFrame shared = pool_.acquireI420(rect_.width(), rect_.height());
    if (!shared)
        return nullptr;
    const auto older = [](const Picture& a, const Picture& b) {
        return a.generation < b.generation;
    };
    // A fresh picture starts as a copy of the newest one, which its holders only read: copying
    // a 4:2:0 picture costs a fraction of converting the whole screen again, and a fresh one is
    // needed just when the encoder is behind and the capture has least time to spare.
    Picture fresh{std::move(shared), 0, {}};
    if (const auto newest = std::max_element(pictures_.begin(), pictures_.end(), older);
        newest != pictures_.end() && newest->generation != 0 &&
        av_frame_copy(fresh.frame.get(), newest->frame.get()) >= 0) {
        fresh.generation = newest->generation;
        fresh.pointerRows = newest->pointerRows;
    }
    // Every picture held elsewhere: the oldest kept one makes room.
    if (pictures_.size() >= kPictures)
        pictures_.erase(std::min_element(pictures_.begin(), pictures_.end(), older));
    pictures_.push_back(std::move(fresh));
    return &pictures_.back();
}

void X11DamageI420::reserve(std::size_t bytes)
{
    // The first grab makes one picture; the copies of it are written whole, every page touched.
    // Beyond what fits in the bytes: the picture that crosses them, the one the encoder holds and
    // the one being written.
    const std::size_t each = std::size_t(rect_.width()) * std::size_t(rect_.height()) * 3 / 2;
    const std::size_t wanted = std::min(bytes / each + 3, kPictures);
    if (!grab())
        return;
    while (pictures_.size() < wanted && freshPicture()) {
    }
}

X11DamageI420::Rows X11DamageI420::rowsSince(std::uint64_t generation) const
{
    if (generation == 0 || changes_.empty() || changes_.front().generation > generation + 1)
        return {whole()};
    Rows rows;
    for (const Change& change : changes_)
        if (change.generation > generation)
            rows.insert(rows.end(), change.rows.begin(), change.rows.end());
    merge(rows);
    return rows;
}

void X11DamageI420::convert(const Rows& rows, AVFrame* picture) const
{
    const int stride = rect_.width() * 4;
    const std::uint8_t* image = X11ShmFramePool::memory(mirror_);
    for (const auto& [first, end, left, right] : rows) {
        const std::ptrdiff_t chroma = first / 2;
        libyuv::ARGBToI420(
            image + std::ptrdiff_t(first) * stride + left * 4, stride,
            picture->data[0] + first * std::ptrdiff_t(picture->linesize[0]) + left,
            picture->linesize[0], picture->data[1] + chroma * picture->linesize[1] + left / 2,
            picture->linesize[1], picture->data[2] + chroma * picture->linesize[2] + left / 2,
            picture->linesize[2], right - left, end - first);
    }
}

X11DamageI420::Rows X11DamageI420::drawPointer(const xcb_xfixes_get_cursor_image_reply_t& cursor,
                                               AVFrame* picture)
{
    QRect box = cursorRect(cursor, rect_.topLeft()).intersected(QRect(QPoint(0, 0), rect_.size()));
    if (box.isEmpty())
        return {};
    // Even corners: the chroma of a 4:2:0 picture covers two by two pixels.
    box.setCoords(box.left() & ~1, box.top() & ~1, box.right() | 1, box.bottom() | 1);
    const int stride = box.width() * 4;
    patch_.resize(std::size_t(stride) * std::size_t(box.height()));
    const int screenStride = rect_.width() * 4;
    const std::uint8_t* screen = X11ShmFramePool::memory(mirror_);
    for (int y = 0; y < box.height(); ++y)
        std::memcpy(patch_.data() + std::ptrdiff_t(y) * stride,
                    screen + std::ptrdiff_t(box.top() + y) * screenStride + box.left() * 4,
                    std::size_t(stride));
    drawCursor(patch_.data(), stride, box.size(), cursor, rect_.topLeft() + box.topLeft());
    const int top = box.top();
    const int left = box.left();
    libyuv::ARGBToI420(patch_.data(), stride,
                       picture->data[0] + std::ptrdiff_t(top) * picture->linesize[0] + left,
                       picture->linesize[0],
                       picture->data[1] + std::ptrdiff_t(top / 2) * picture->linesize[1] + left / 2,
                       picture->linesize[1],
                       picture->data[2] + std::ptrdiff_t(top / 2) * picture->linesize[2] + left / 2,
                       picture->linesize[2], box.width(), box.height());
    return {{box.top(), box.bottom() + 1, box.left(), box.right() + 1}};
}

SharedFrame X11DamageI420::grab(const xcb_xfixes_get_cursor_image_reply_t* cursor)
{
    if (xcb_connection_has_error(x_.get()))
        return nullptr;
    // The first picture, and the one after a failed read, reads everything; the damage
    // reported so far is then already in it.
    Rows damaged = takeDamage();
    if (fullRead_)
        damaged = {whole()};
    fullRead_ = !damaged.empty() && !read(damaged);
    if (fullRead_)
        return nullptr;
    ++generation_;
    changes_.push_back({generation_, std::move(damaged)});
    if (changes_.size() > kChanges)
        changes_.pop_front();

    Picture* picture = pictureToWrite();
    if (!picture)
        return nullptr;
    // The rows where the pointer was drawn into this picture come from the screen again.
    Rows rows = rowsSince(picture->generation);
    rows.insert(rows.end(), picture->pointerRows.begin(), picture->pointerRows.end());
    merge(rows);
    convert(rows, picture->frame.get());
    picture->pointerRows = cursor ? drawPointer(*cursor, picture->frame.get()) : Rows{};
    picture->generation = generation_;
    // A reference of its own: the picture is not written again until every holder lets go.
    AVFrame* handed = av_frame_clone(picture->frame.get());
    return handed ? makeSharedFrame(handed) : nullptr;
}
