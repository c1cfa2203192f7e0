#pragma once

#include <QString>

// The capture method the settings name ("VideoCaptureAPI"), by the names the rest of the system
// knows; on Linux each stands for a ScreenGrabber::Kind. The numbers are those the capture code
// has always used for them.
enum class CaptureApi {
    Dxgi = 0, // shared-memory reads with change tracking
    Wgc = 1,  // the window's own off-screen image
    Gdi = 2,  // plain image reads
};

// The method a stored name selects; a name the settings should not hold means the plain reads,
// which work everywhere.
inline CaptureApi captureApiFromName(const QString& name)
{
    if (name == QLatin1String("WGC"))
        return CaptureApi::Wgc;
    if (name == QLatin1String("DXGI"))
        return CaptureApi::Dxgi;
    return CaptureApi::Gdi;
}
