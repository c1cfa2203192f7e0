#pragma once

#include <QApplication>
#include <QList>
#include <QRect>
#include <QTest>

namespace testsupport {

// Makes the next QGuiApplication use Qt's offscreen platform with one screen per rectangle (at
// 96 dpi, with the device pixel ratio of ratios or 1); the first is the primary screen. Call in
// main() before the application object is created.
void useOffscreenScreens(const QList<QRect>& screens, const QList<double>& ratios = {});

} // namespace testsupport

// main() of a GUI suite with isolated user folders and one offscreen screen per rectangle given
// after the class, e.g. OFFSCREEN_TEST_MAIN(tst_X, firstScreen, secondScreen).
#define OFFSCREEN_TEST_MAIN(TestClass, ...)                                                        \
    int main(int argc, char** argv)                                                                \
    {                                                                                              \
        testsupport::isolateUserFolders();                                                         \
        testsupport::useOffscreenScreens({__VA_ARGS__});                                           \
        QApplication app(argc, argv);                                                              \
        TestClass test;                                                                            \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
