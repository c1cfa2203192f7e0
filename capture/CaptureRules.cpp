#include "CaptureRules.h"

namespace {
using Kind = ScreenGrabber::Kind;
using Rules = CaptureRules;

const Rules kComposite{
    Kind::Composite,
    Rules::Window::Restore,
    Rules::NoImage::Retry,
    "Window is hidden. Showing window for recording.",
    "Window is minimized. Restoring window for recording.",
    "Window became hidden during recording. Showing window.",
    "Window became minimized during recording. Restoring window.",
    nullptr,
    "Target window is closed or invalid.",
    "Failed to convert texture to AVFrame.",
    "Failed to create capture item. Falling back to GDI.",
};

const Rules kSharedMemory{
    Kind::SharedMemory,
    Rules::Window::SkipAndCrop,
    Rules::NoImage::NextSlot,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    "Target window is closed or invalid.",
    "Target window was closed during recording.",
    "Failed to convert DXGI texture to AVFrame.",
    "Failed to reinitialize DXGI output duplication. Falling back to GDI.",
};

const Rules kCompatible{
    Kind::Compatible,
    Rules::Window::SkipAndRestart,
    Rules::NoImage::Warn,
    "Window is hidden. Showing window for GDI recording.",
    "Window is minimized. Restoring window for GDI recording.",
    nullptr,
    nullptr,
    "Target window closed during GDI recording.",
    "Target window was closed during GDI recording.",
    "Failed to capture frame with GDI.",
    nullptr,
};

const Rules kStream{
    Kind::SharedMemory,
    Rules::Window::SkipAndCrop,
    Rules::NoImage::Repeat,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    "Failed to convert PipeWire buffer to AVFrame.",
    nullptr,
};

} // namespace

const Rules& CaptureRules::stream()
{
    return kStream;
}

const Rules& CaptureRules::forKind(Kind kind)
{
    switch (kind) {
    case Kind::Composite:
        return kComposite;
    case Kind::SharedMemory:
        return kSharedMemory;
    case Kind::Compatible:
        break;
    }
    return kCompatible;
}

QString CaptureRules::windowGone(NativeWindow window)
{
    return QStringLiteral("X window 0x%1 does not exist.").arg(window, 0, 16);
}
