#include "X11ShmFramePool.h"

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
}

#include <algorithm>
#include <mutex>
#include <vector>

#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>

struct X11ShmFramePool::Segment
{
    xcb_shm_seg_t id = 0;
    std::uint8_t* memory = nullptr;
    std::size_t size = 0;
};

struct X11ShmFramePool::Shared
{
    std::mutex mutex;
    std::vector<Segment*> all;  // attached to the server
    std::vector<Segment*> free; // subset of all, not in a frame
    bool closed = false;

    static void unmap(Segment* segment)
    {
        shmdt(segment->memory);
        delete segment;
    }
};

X11ShmFramePool::X11ShmFramePool(X11Connection* connection)
    : x_(connection), shared_(std::make_shared<Shared>())
{
}

X11ShmFramePool::~X11ShmFramePool()
{
    std::lock_guard lock(shared_->mutex);
    for (Segment* segment : shared_->all)
        xcb_shm_detach(x_->get(), segment->id);
    xcb_flush(x_->get());
    for (Segment* segment : shared_->free)
        Shared::unmap(segment);
    // The spare segment is in no frame and not among the free ones.
    if (spare_)
        Shared::unmap(spare_);
    shared_->free.clear();
    shared_->all.clear();
    // Segments still in frames are unmapped when those frames go.
    shared_->closed = true;
}

X11ShmFramePool::Segment* X11ShmFramePool::take(std::size_t bytes)
{
    {
        std::lock_guard lock(shared_->mutex);
        auto& free = shared_->free;
        const auto fits = std::find_if(free.begin(), free.end(),
                                       [bytes](const Segment* s) { return s->size >= bytes; });
        if (fits != free.end()) {
            Segment* segment = *fits;
            free.erase(fits);
            return segment;
        }
        // Free segments too small for the new size (a window grew) are of no further use.
        for (Segment* small : free) {
            xcb_shm_detach(x_->get(), small->id);
            shared_->all.erase(std::find(shared_->all.begin(), shared_->all.end(), small));
            Shared::unmap(small);
        }
        free.clear();
        if (shared_->all.size() >= std::size_t(kMaxSegments))
            return nullptr;
    }

    return create(bytes);
}

X11ShmFramePool::Segment* X11ShmFramePool::spare(std::size_t bytes)
{
    if (spare_ && spare_->size >= bytes)
        return spare_;
    if (spare_) {
        std::lock_guard lock(shared_->mutex);
        xcb_shm_detach(x_->get(), spare_->id);
        shared_->all.erase(std::find(shared_->all.begin(), shared_->all.end(), spare_));
        Shared::unmap(spare_);
        spare_ = nullptr;
    }
    spare_ = create(bytes);
    return spare_;
}

X11ShmFramePool::Segment* X11ShmFramePool::create(std::size_t bytes)
{
    const int shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (shmid < 0)
        return nullptr;
    void* address = shmat(shmid, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        shmctl(shmid, IPC_RMID, nullptr);
        return nullptr;
    }
    // All pages at once instead of a fault per page when the first image lands in it (a no-op
    // before Linux 5.14).
    madvise(address, bytes, MADV_POPULATE_WRITE);
    const xcb_shm_seg_t id = xcb_generate_id(x_->get());
    XReply<xcb_generic_error_t> attachError(xcb_request_check(
        x_->get(), xcb_shm_attach_checked(x_->get(), id, static_cast<uint32_t>(shmid), 0)));
    // Marked for removal now, so the memory goes with the last detach even after a crash.
    shmctl(shmid, IPC_RMID, nullptr);
    if (attachError) {
        shmdt(address);
        return nullptr;
    }
    auto* segment = new Segment{id, static_cast<std::uint8_t*>(address), bytes};
    std::lock_guard lock(shared_->mutex);
    shared_->all.push_back(segment);
    return segment;
}

bool X11ShmFramePool::read(Segment* segment, xcb_drawable_t drawable, const QRect& rect)
{
    const std::size_t bytes = std::size_t(rect.width()) * std::size_t(rect.height()) * 4;
    if (rect.isEmpty() || bytes > segment->size)
        return false;
    XReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
        x_->get(),
        xcb_shm_get_image(x_->get(), drawable, static_cast<int16_t>(rect.x()),
                          static_cast<int16_t>(rect.y()), static_cast<uint16_t>(rect.width()),
                          static_cast<uint16_t>(rect.height()), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                          segment->id, 0),
        nullptr));
    return reply && reply->size >= bytes;
}

void X11ShmFramePool::giveBack(Segment* segment)
{
    std::lock_guard lock(shared_->mutex);
    shared_->free.push_back(segment);
}

namespace {

struct Loan
{
    std::shared_ptr<X11ShmFramePool::Shared> shared;
    X11ShmFramePool::Segment* segment;
};

} // namespace

SharedFrame X11ShmFramePool::wrap(Segment* segment, int width, int height)
{
    auto* loan = new Loan{shared_, segment};
    AVBufferRef* buffer = av_buffer_create(
        segment->memory, segment->size,
        [](void* opaque, std::uint8_t*) {
            std::unique_ptr<Loan> loan(static_cast<Loan*>(opaque));
            std::lock_guard lock(loan->shared->mutex);
            if (loan->shared->closed)
                Shared::unmap(loan->segment);
            else
                loan->shared->free.push_back(loan->segment);
        },
        loan, 0);
    if (!buffer) {
        delete loan;
        giveBack(segment);
        return nullptr;
    }
    AVFrame* frame = av_frame_alloc();
    if (!frame) {
        av_buffer_unref(&buffer);
        return nullptr;
    }
    frame->format = AV_PIX_FMT_BGRA;
    frame->width = width;
    frame->height = height;
    frame->buf[0] = buffer;
    frame->data[0] = segment->memory;
    frame->linesize[0] = width * 4;
    return makeSharedFrame(frame);
}

xcb_shm_seg_t X11ShmFramePool::id(const Segment* segment)
{
    return segment->id;
}

std::uint8_t* X11ShmFramePool::memory(const Segment* segment)
{
    return segment->memory;
}
