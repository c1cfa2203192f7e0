#include "CapturePlatform.h"

#include "platform/pipewire/PipeWireGrabber.h"

#include <QThread>

using Kind = ScreenGrabber::Kind;

CapturePlatform CapturePlatform::system()
{
    CapturePlatform platform;
    platform.openWindowSystem = [](QString* error) { return WindowSystem::create(error); };
    platform.createGrabber = [](Kind kind, QString* error) {
        return ScreenGrabber::create(kind, error);
    };
    platform.openStream = [](int fd, std::uint32_t nodeId,
                             QString* error) -> std::unique_ptr<ScreenGrabber> {
        return PipeWireGrabber::create(fd, nodeId, error);
    };
    platform.sleepMs = [](int ms) { QThread::msleep(static_cast<unsigned long>(ms)); };
    return platform;
}
