#pragma once

#include <QStringList>

namespace testsupport {

// Collects every Qt log line of the process (from any thread) while it exists; warnings and
// worse also go on to the previous handler. One at a time.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // The lines collected since the last take(), which starts a new collection.
    QStringList take();
};

} // namespace testsupport
