#include "platform/ScreenGrabber.h"

#include "X11CompositeGrabber.h"
#include "X11ImageGrabber.h"
#include "X11ShmGrabber.h"

std::unique_ptr<ScreenGrabber> ScreenGrabber::create(Kind kind, QString* error)
{
    auto connection = X11Connection::open(error);
    if (!connection)
        return nullptr;
    switch (kind) {
    case Kind::Compatible:
        return std::make_unique<X11ImageGrabber>(std::move(connection));
    case Kind::SharedMemory:
        return X11ShmGrabber::create(std::move(connection), error);
    case Kind::Composite:
        return X11CompositeGrabber::create(std::move(connection), error);
    }
    return nullptr;
}
