#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// Lets a capture thread get ready before the recording's clock starts: the thread reports that it
// is ready and waits; the session waits for that (bounded), starts the clock and opens the gate.
// Memory made and written then is not paid for in the first slots of the recording. A gate
// never held lets the thread straight through; open() also serves a stop, so nothing waits on a
// session that has given up. Thread-safe.
class StartGate
{
public:
    // From now on the thread waits at pass() until open().
    void hold()
    {
        std::lock_guard lock(mutex_);
        held_ = true;
        ready_ = false;
    }
    // The thread: ready (or ended early) and not going to touch the clock before pass().
    void ready()
    {
        std::lock_guard lock(mutex_);
        ready_ = true;
        changed_.notify_all();
    }
    // The thread: ready(), then waits until the gate is open.
    void pass()
    {
        std::unique_lock lock(mutex_);
        ready_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !held_; });
    }
    // The session: true once the thread is ready, false after timeout.
    bool waitReady(std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [this] { return ready_; });
    }
    void open()
    {
        std::lock_guard lock(mutex_);
        held_ = false;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false;
    bool ready_ = false;
};
