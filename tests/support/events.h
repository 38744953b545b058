// Waiting on things that happen on other threads, without sleeping: callbacks
// push what they saw, tests wait until a condition holds or a deadline passes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kalax::test {

class Events {
public:
    void push(std::string event) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back(std::move(event));
        }
        cond_.notify_all();
    }

    // Waits until `count` events named `name` were seen; false after `timeout_ms`.
    bool wait_for(const std::string &name, size_t count = 1, int timeout_ms = 15000) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cond_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [&] { return count_locked(name) >= count; });
    }

    size_t count(const std::string &name) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_locked(name);
    }

    std::vector<std::string> all() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

private:
    size_t count_locked(const std::string &name) const {
        size_t n = 0;
        for (const auto &e : events_) n += e == name;
        return n;
    }

    mutable std::mutex mutex_;
    std::condition_variable cond_;
    std::vector<std::string> events_;
};

// Polls `done` until it holds or `timeout_ms` passes; for state that has no event.
inline bool eventually(const std::function<bool()> &done, int timeout_ms = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace kalax::test
