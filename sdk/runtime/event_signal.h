// A readiness flag that any event loop can watch: a descriptor that polls
// readable while the flag is raised. The owner-thread event queues of the
// object layer hand it to hosts (poll/epoll, GLib, Qt, libuv, asyncio).
#pragma once

namespace kalax::platform {

class EventSignal {
public:
    EventSignal() = default;
    EventSignal(const EventSignal &) = delete;
    EventSignal &operator=(const EventSignal &) = delete;
    ~EventSignal();

    // Makes the descriptor; false (errno kept) when the system has none to give.
    bool open();
    int fd() const noexcept { return fd_; }
    // Both are idempotent and never block: raising a raised flag or clearing a
    // clear one changes nothing.
    void raise() noexcept;
    void clear() noexcept;
    // Waits up to `ms` (negative: without limit) for the flag; true when raised.
    bool wait(int ms) noexcept;

private:
    int fd_ = -1;
};

}  // namespace kalax::platform
