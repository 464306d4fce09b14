#pragma once
// The background thread that flushes the log every few seconds.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace logging::detail {

/// Calls `flush` every `interval` until destroyed. Each flush runs with the thread's mutex held,
/// so that pause() means no flush is under way (nor can one start) until resume().
class FlushThread {
public:
    FlushThread(std::chrono::seconds interval, std::function<void()> flush);

    /// Stops the thread and joins it.
    ~FlushThread();

    FlushThread(const FlushThread&) = delete;
    FlushThread& operator=(const FlushThread&) = delete;
    FlushThread(FlushThread&&) = delete;
    FlushThread& operator=(FlushThread&&) = delete;

    void pause() { mutex_.lock(); }
    void resume() { mutex_.unlock(); }

private:
    void run();

    const std::chrono::seconds interval_;
    const std::function<void()> flush_;
    std::mutex mutex_;               // held while flushing and while paused
    std::condition_variable wake_;   // wakes the thread to stop
    bool stopping_ = false;
    std::thread thread_;             // last: starts once the members above exist
};

}  // namespace logging::detail
