#include "EventBus.h"

EventBus* EventBus::instance()
{
    static EventBus* bus = new EventBus;
    return bus;
}
