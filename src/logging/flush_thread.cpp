#include "logging/flush_thread.hpp"

#include <utility>

namespace logging::detail {

FlushThread::FlushThread(std::chrono::seconds interval, std::function<void()> flush)
    : interval_(interval), flush_(std::move(flush)), thread_([this] { run(); }) {}

FlushThread::~FlushThread() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void FlushThread::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, interval_, [this] { return stopping_; })) {
        try {
            flush_();
        } catch (...) {
            // Write errors are reported by the sinks; the next round tries again.
        }
    }
}

}  // namespace logging::detail
