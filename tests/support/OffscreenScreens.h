#pragma once

#include <QList>
#include <QRect>

// Fakes a multi-screen desktop for GUI suites.
namespace testsupport {

// Makes the next QGuiApplication use Qt's offscreen platform with one screen per rectangle (in
// logical pixels at 96 dpi, device pixel ratio 1); the first is the primary screen. Call in main()
// before the application object is created.
void useOffscreenScreens(const QList<QRect>& screens);

} // namespace testsupport
