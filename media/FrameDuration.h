#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/version.h>
}

// AVFrame gained `duration` in libavutil 57.30.100 and deprecated `pkt_duration` with it; these
// helpers keep the code building without deprecation warnings on FFmpeg 5.1 as well as 6 and 7.

inline void setFrameDuration(AVFrame* frame, std::int64_t duration)
{
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
    frame->duration = duration;
#else
    frame->pkt_duration = duration;
#endif
}

inline std::int64_t frameDuration(const AVFrame* frame)
{
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
    return frame->duration;
#else
    return frame->pkt_duration;
#endif
}
