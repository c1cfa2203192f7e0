#pragma once

// Whether a compositor blends this program's translucent windows with what lies beneath them.
// Only an X11 desktop without a compositing manager lacks one; there a translucent window is
// drawn opaque, its transparent pixels black, so an overlay has to paint the desktop itself.
// Asks the display server each time; call from the GUI thread.
bool desktopComposited();
