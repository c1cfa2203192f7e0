#include "PopulatedBuffer.h"

#include <cstdint>

#include <sys/mman.h>

namespace media {

AVBufferRef* allocatePopulatedBuffer(std::size_t bytes)
{
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (memory == MAP_FAILED)
        return av_buffer_alloc(bytes);
    AVBufferRef* buffer = av_buffer_create(
        static_cast<std::uint8_t*>(memory), bytes,
        [](void* size, std::uint8_t* data) { munmap(data, reinterpret_cast<std::size_t>(size)); },
        reinterpret_cast<void*>(bytes), 0);
    if (!buffer)
        munmap(memory, bytes);
    return buffer;
}

} // namespace media
