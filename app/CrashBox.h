#pragma once

// The crash message, shown by a fresh copy of the program that the crash handler starts with
// kSwitch: the crashed process itself can no longer safely run Qt.
class CrashBox
{
public:
    static constexpr char kSwitch[] = "--show-crash-box";

    // True when the program was started only to show the crash message.
    static bool isRequested(int argc, char** argv);

    // Shows "AppCrash" in the saved interface language and returns once it is closed.
    // With TORVANE_TEST_CRASH_BOX=autoclose the box prints its title and text to standard output
    // and closes itself, so that tests can see it without a user.
    static int run(int argc, char** argv);
};
