#include "FrameRateSetting.h"

#include <QDebug>

namespace settings {

int frameRateFromSetting(const QVariant& stored)
{
    if (!stored.isValid())
        return kDefaultFps;
    bool ok = false;
    const double fps = stored.toDouble(&ok);
    // Compared as doubles, before any conversion: 1e12 or nan in an int is undefined.
    if (!ok || !(fps >= kMinFps)) {
        qWarning().noquote() << "Invalid frame rate setting" << stored.toString()
                             << "- recording at" << kDefaultFps << "fps.";
        return kDefaultFps;
    }
    if (fps > kMaxFps) {
        qWarning().noquote() << "Frame rate setting" << stored.toString()
                             << "is too high - recording at" << kMaxFps << "fps.";
        return kMaxFps;
    }
    return static_cast<int>(fps);
}

} // namespace settings
