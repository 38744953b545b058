// The owner-thread event queue: one per thread that makes objects. Workers
// post, the owner thread delivers. Events name their target by an identity
// that is looked up at delivery, so nothing reaches an object that stopped
// receiving, and a stopped object's events are freed, never delivered.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "kalax/zxapi.h"
#include "sdk/runtime/event_signal.h"

namespace zxapi::detail {

// Posted, PostedWith, MakePosted and PayloadOf are in kalax/zxapi.h: classes
// outside the library that derive from TEventTarget post with them too.
class OwnerQueue {
public:
    OwnerQueue();
    ~OwnerQueue();
    OwnerQueue(const OwnerQueue &) = delete;
    OwnerQueue &operator=(const OwnerQueue &) = delete;

    // The calling thread's queue, made if it has none; it lives as long as the
    // thread or the last object bound to it, whichever ends later.
    static std::shared_ptr<OwnerQueue> ForThisThread();
    // The calling thread's queue, or null when it has none.
    static OwnerQueue *ThisThreadIfAny() noexcept;

    // The readiness descriptor, made on first use; -1 when none can be made.
    int Fd() noexcept;

    std::uint64_t Register(TEventTarget *target);
    // After it returns, nothing more is delivered to `id` and its pending
    // events are freed. From another thread it first waits for a delivery to
    // `id` in progress on the owner thread.
    void Unregister(std::uint64_t id) noexcept;
    void Post(std::uint64_t id, std::unique_ptr<Posted> event) noexcept;
    void Purge(std::uint64_t id) noexcept;

    // Owner thread only.
    int Dispatch(int max);
    int Wait(int timeout_ms);
    // The owner thread is ending: on Windows its window goes with it.
    void OwnerEnded() noexcept;

    // Events queued and not yet delivered or dropped (for tests and hosts).
    std::size_t Pending() const noexcept;

private:
    struct Entry {
        TEventTarget *target;
        int busy;  // deliveries to it in progress (nested loops make it > 1)
    };
    static void FreeChain(Posted *p) noexcept;  // outside the lock
    static void DeliverPosted(void *queue) noexcept;  // the window's message, on the owner thread
    int WaitOnCondition(int timeout_ms);
    bool OpenSignal() noexcept;  // on Windows the owner's window, delivering as its messages
    Posted *PopLocked() noexcept;
    void SyncSignalLocked() noexcept;

    const std::thread::id owner_;
    mutable std::mutex mu_;
    std::condition_variable cv_;  // owner's Wait: an event arrived; others: a delivery ended
    Posted *head_ = nullptr;
    Posted *tail_ = nullptr;
    std::size_t pending_ = 0;
    std::uint64_t delivered_total_ = 0;  // owner thread only
    bool raised_ = false;
    bool have_signal_ = false;
    kalax::platform::EventSignal signal_;
    std::unordered_map<std::uint64_t, Entry> targets_;
};

}  // namespace zxapi::detail
