#pragma once

// The program's dark look: a style sheet and palette set on the whole application, so that every
// window, dialog and message box shares it. Applying it again is harmless. GUI thread only.
void applyDarkTheme();
