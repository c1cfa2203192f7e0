#pragma once

#include <QVariant>

namespace settings {

// The frame rates a recording can have: the settings dialog offers 10 to 300.
inline constexpr int kDefaultFps = 15;
inline constexpr int kMinFps = 1;
inline constexpr int kMaxFps = 300;

// The frame rate that the "fps" setting of "VideoSett" stands for, for every kind of recording:
// the value read as a number and truncated (29.97 gives 29); kDefaultFps when absent, unreadable
// or below kMinFps (nan included), kMaxFps when above it, with a warning. An edited settings.ini
// can hold anything, and the rate divides intervals and sizes encoders.
int frameRateFromSetting(const QVariant& stored);

} // namespace settings
