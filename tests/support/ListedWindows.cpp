#include "ListedWindows.h"

namespace testsupport {

bool ListedWindows::isWindow(NativeWindow window) const
{
    for (const WindowEntry& entry : d_->shown + d_->hidden)
        if (entry.window == window)
            return true;
    return false;
}

QRect ListedWindows::outerRect(NativeWindow window) const
{
    return isWindow(window) ? QRect(10, 10, 640, 480) : QRect();
}

QList<WindowEntry> ListedWindows::enumerateWindows(bool includeHidden) const
{
    d_->enumerations.append(includeHidden);
    return includeHidden ? d_->shown + d_->hidden : d_->shown;
}

} // namespace testsupport
