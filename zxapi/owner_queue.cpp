// Owner-thread event queues and the base of the objects that receive from them.
// On Windows a queue's signal is a message-only window of its owner thread: a
// post from a worker posts it a message and the thread's message loop
// delivers, as any window's messages; zx_events_wait pumps that loop.
#include "zxapi/owner_queue.h"

#include <atomic>
#include <chrono>
#include <vector>

namespace zxapi::detail {

namespace {

// Identities are never reused, so an event that outlives its target can never
// be taken for an event of a later object at the same address.
std::atomic<std::uint64_t> next_id{1};

// The thread's own reference. Objects hold theirs, so a queue outlives its
// thread while objects bound to it live (their events are then never
// delivered, and freed with the queue or when the objects stop receiving).
// When the thread ends, its queue learns of it (a window of the thread ends
// with the thread).
struct ThisThread {
    std::shared_ptr<OwnerQueue> queue;
    ~ThisThread() {
        if (queue) queue->OwnerEnded();
    }
};
thread_local ThisThread this_thread;

}  // namespace

void OwnerQueue::FreeChain(Posted *p) noexcept {
    while (p) {
        Posted *next = p->next_;
        delete p;
        p = next;
    }
}

OwnerQueue::OwnerQueue() : owner_(std::this_thread::get_id()) { have_signal_ = OpenSignal(); }

bool OwnerQueue::OpenSignal() noexcept {
#if defined(_WIN32)
    return signal_.open(&OwnerQueue::DeliverPosted, this);
#else
    return signal_.open();
#endif
}

// One message stands for every event posted before it is handled, and
// handling it uses it up: events that came after the delivery's budget (posted
// by the handlers themselves, say) get a message of their own, or the thread's
// loop would never hear of them.
void OwnerQueue::DeliverPosted(void *queue) noexcept {
    auto &q = *static_cast<OwnerQueue *>(queue);
    q.Dispatch(0);
    std::lock_guard lock(q.mu_);
    q.raised_ = false;
    q.SyncSignalLocked();
}

// Takes no lock: at a thread's end the C++ runtime's mutexes may already
// refuse that thread (winpthreads does). The signal's close is safe beside a
// worker's raise.
void OwnerQueue::OwnerEnded() noexcept {
#if defined(_WIN32)
    signal_.close();
#endif
}

OwnerQueue::~OwnerQueue() { FreeChain(head_); }

std::shared_ptr<OwnerQueue> OwnerQueue::ForThisThread() {
    if (!this_thread.queue) this_thread.queue = std::make_shared<OwnerQueue>();
    return this_thread.queue;
}

OwnerQueue *OwnerQueue::ThisThreadIfAny() noexcept { return this_thread.queue.get(); }

int OwnerQueue::Fd() noexcept {
    std::lock_guard lock(mu_);
    if (!have_signal_) {
        have_signal_ = OpenSignal();
        if (!have_signal_) return -1;
        raised_ = false;
        SyncSignalLocked();
    }
    return signal_.fd();
}

// The descriptor polls readable exactly while events are pending.
void OwnerQueue::SyncSignalLocked() noexcept {
    if (!have_signal_) return;
    const bool want = head_ != nullptr;
    if (want == raised_) return;
    if (want)
        signal_.raise();
    else
        signal_.clear();
    raised_ = want;
}

std::uint64_t OwnerQueue::Register(TEventTarget *target) {
    const std::uint64_t id = next_id.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard lock(mu_);
    targets_.emplace(id, Entry{target, 0});
#if defined(_WIN32)
    // Objects are made on their owner thread: the window comes back with the
    // first object after the last one went.
    if (!have_signal_ && std::this_thread::get_id() == owner_) {
        have_signal_ = OpenSignal();
        raised_ = false;
        SyncSignalLocked();
    }
#endif
    return id;
}

void OwnerQueue::Unregister(std::uint64_t id) noexcept {
    {
        std::unique_lock lock(mu_);
        auto it = targets_.find(id);
        if (it == targets_.end()) return;
        // On the owner thread a busy entry means a handler of this very object
        // is running below us (it destroys its own object): nothing to wait for.
        if (std::this_thread::get_id() != owner_) {
            cv_.wait(lock, [&] {
                auto at = targets_.find(id);
                return at == targets_.end() || at->second.busy == 0;
            });
        }
        targets_.erase(id);
#if defined(_WIN32)
        // The window goes with the thread's last object (only its own thread
        // can destroy it; otherwise it goes with the thread), so that nothing
        // of this library is left behind to receive messages.
        if (targets_.empty() && have_signal_ && std::this_thread::get_id() == owner_) {
            signal_.close();
            have_signal_ = false;
            raised_ = false;
        }
#endif
    }
    Purge(id);
}

void OwnerQueue::Post(std::uint64_t id, std::unique_ptr<Posted> event) noexcept {
    if (!event) return;
    Posted *p = event.release();
    p->target_ = id;
    p->next_ = nullptr;
    {
        std::lock_guard lock(mu_);
        if (tail_)
            tail_->next_ = p;
        else
            head_ = p;
        tail_ = p;
        ++pending_;
        SyncSignalLocked();
    }
    cv_.notify_all();
}

void OwnerQueue::Purge(std::uint64_t id) noexcept {
    Posted *dropped = nullptr;
    Posted **dropped_tail = &dropped;
    {
        std::lock_guard lock(mu_);
        Posted **link = &head_;
        Posted *last = nullptr;
        while (Posted *p = *link) {
            if (p->target_ == id) {
                *link = p->next_;
                p->next_ = nullptr;
                *dropped_tail = p;
                dropped_tail = &p->next_;
                --pending_;
            } else {
                last = p;
                link = &p->next_;
            }
        }
        tail_ = last;
        SyncSignalLocked();
    }
    FreeChain(dropped);
}

Posted *OwnerQueue::PopLocked() noexcept {
    Posted *p = head_;
    if (!p) return nullptr;
    head_ = p->next_;
    if (!head_) tail_ = nullptr;
    p->next_ = nullptr;
    --pending_;
    SyncSignalLocked();
    return p;
}

int OwnerQueue::Dispatch(int max) {
    int delivered = 0;
    // Only what is pending now: events that handlers post wait for the next call,
    // so a handler that posts to itself cannot keep one call going for ever.
    std::size_t budget;
    {
        std::lock_guard lock(mu_);
        budget = pending_;
    }
    while (budget > 0 && (max <= 0 || delivered < max)) {
        std::unique_ptr<Posted> event;
        TEventTarget *target = nullptr;
        std::uint64_t id = 0;
        {
            std::lock_guard lock(mu_);
            event.reset(PopLocked());
            if (!event) break;
            id = event->target_;
            auto it = targets_.find(id);
            if (it != targets_.end()) {
                target = it->second.target;
                ++it->second.busy;
            }
        }
        --budget;
        if (!target) continue;  // its object stopped receiving: freed here
        struct Done {
            OwnerQueue &q;
            std::uint64_t id;
            ~Done() {
                {
                    std::lock_guard lock(q.mu_);
                    auto it = q.targets_.find(id);
                    if (it != q.targets_.end()) --it->second.busy;
                }
                q.cv_.notify_all();
            }
        } done{*this, id};
        ++delivered;
        ++delivered_total_;
        target->DeliverEvent(*event);
    }
    return delivered;
}

int OwnerQueue::Wait(int timeout_ms) {
#if defined(_WIN32)
    // The owner's message loop delivers (the window's messages among the
    // thread's others); without a window, the queue's own condition serves.
    bool windowed;
    {
        std::lock_guard lock(mu_);
        windowed = have_signal_;
    }
    if (!windowed || std::this_thread::get_id() != owner_) return WaitOnCondition(timeout_ms);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    const std::uint64_t before = delivered_total_;
    for (;;) {
        Dispatch(0);  // what was pending before the loop is pumped
        if (delivered_total_ != before) return static_cast<int>(delivered_total_ - before);
        int left = -1;
        if (timeout_ms >= 0) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline) return 0;
            left = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
        }
        // false: time is up, or the host's loop is asked to quit.
        if (!signal_.pump(left) && delivered_total_ == before) return 0;
    }
#else
    return WaitOnCondition(timeout_ms);
#endif
}

int OwnerQueue::WaitOnCondition(int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        {
            std::unique_lock lock(mu_);
            auto ready = [&] { return head_ != nullptr; };
            if (timeout_ms < 0)
                cv_.wait(lock, ready);
            else if (!cv_.wait_until(lock, deadline, ready))
                return 0;
        }
        // Events of objects that stopped receiving are freed, not delivered:
        // when nothing else was pending, the wait goes on until its time is up.
        if (const int delivered = Dispatch(0); delivered > 0) return delivered;
    }
}

std::size_t OwnerQueue::Pending() const noexcept {
    std::lock_guard lock(mu_);
    return pending_;
}

}  // namespace zxapi::detail

namespace zxapi {

using detail::OwnerQueue;

TEventTarget::TEventTarget() : queue_(OwnerQueue::ForThisThread()), id_(queue_->Register(this)) {}

TEventTarget::~TEventTarget() { StopEvents(); }

void TEventTarget::Post(std::unique_ptr<detail::Posted> event) const noexcept {
    queue_->Post(id_, std::move(event));
}

void TEventTarget::PurgeEvents() noexcept { queue_->Purge(id_); }

void TEventTarget::StopEvents() noexcept { queue_->Unregister(id_); }

}  // namespace zxapi
