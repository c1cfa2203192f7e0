// Frame memory for the video frame pool, kept in media/ beside the pool that uses it: on Linux
// an anonymous mmap with MAP_POPULATE.
#pragma once

#include <cstddef>

extern "C" {
#include <libavutil/buffer.h>
}

namespace media {

// A buffer of bytes whose pages exist from the start, freed with the buffer. Filling a fresh
// image-sized buffer page by page takes a fault for each of its thousands of pages, which in a
// virtual machine adds tens of milliseconds to a grab; mapping them all at once costs a fraction
// of that. Falls back to a plain buffer when the mapping fails; null only when both fail.
AVBufferRef* allocatePopulatedBuffer(std::size_t bytes);

} // namespace media
