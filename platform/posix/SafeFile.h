#pragma once

#include <QString>

#include <cstdint>

namespace platform {

// One open file of this user's, reached by its own name and never through a symbolic link, for
// code that acts on names others could have planted (a recordings folder another program or
// user can write into). Closed when destroyed, which also lets go of its lock.
class SafeFile
{
public:
    enum class Status {
        Ok,
        Missing,
        Refused, // a symbolic link, not a regular file, or another user's
        Failed,  // errorString() says why
    };

    SafeFile() = default;
    ~SafeFile();
    SafeFile(const SafeFile&) = delete;
    SafeFile& operator=(const SafeFile&) = delete;

    // An existing regular file owned by this user, for reading. A FIFO or device never blocks
    // the open: it is refused.
    Status openExisting(const QString& path);
    // A new file of mode (less the umask) for writing; any name already there, a dangling link
    // included, makes it fail.
    Status createNew(const QString& path, unsigned mode);

    // Takes the file's exclusive lock without waiting; false when another open file holds it,
    // in this process or any other.
    bool tryLock();
    // Whether path still names this file itself (not a link to it, not a file put in its place).
    bool isNamedBy(const QString& path) const;

    bool isOpen() const { return descriptor_ >= 0; }
    int handle() const { return descriptor_; }
    std::int64_t size() const;
    // The permission bits.
    unsigned mode() const;
    QString errorString() const { return error_; }
    void close();

private:
    Status refuseUnlessOwnRegular();
    Status failed();

    int descriptor_ = -1;
    QString error_;
};

} // namespace platform
