// A readiness flag that any event loop can watch: a descriptor that polls
// readable while the flag is raised. The owner-thread event queues of the
// object layer hand it to hosts (poll/epoll, GLib, Qt, libuv, asyncio).
//
// On Windows the thread's message loop is that event loop: the flag is a
// message-only window of the thread that opens it, raising posts it a message
// (from any thread), and the thread's message loop hands that message to the
// `deliver` function given to open(). There is no descriptor (fd() is -1).
#pragma once

#if defined(_WIN32)
#include <atomic>
#endif

namespace kalax::platform {

class EventSignal {
public:
    EventSignal() = default;
    EventSignal(const EventSignal &) = delete;
    EventSignal &operator=(const EventSignal &) = delete;
    ~EventSignal();

    // Makes the descriptor; false (errno kept) when the system has none to give.
    bool open();
#if defined(_WIN32)
    // Opens the window on the calling thread, which becomes the one that
    // delivers: its message loop calls `deliver(context)` for each raise.
    bool open(void (*deliver)(void *), void *context);
    // Closes the window (on its own thread; from another, only forgets it).
    // Safe beside a raise from another thread: that one then posts nothing,
    // or posts to a window gone, which the system refuses.
    void close() noexcept;
    // Runs the calling thread's message loop (every window of the thread gets
    // its messages) for up to `ms` (negative: without limit), until a message
    // of this signal has been handed to `deliver`; true when one was.
    bool pump(int ms) noexcept;
    // Windows of this kind open in the process: while any is, their window
    // procedure must stay loaded (a server's DllCanUnloadNow answers S_FALSE).
    static long windows_open() noexcept;
#endif
    int fd() const noexcept { return fd_; }
    // Both are idempotent and never block: raising a raised flag or clearing a
    // clear one changes nothing.
    void raise() noexcept;
    void clear() noexcept;
    // Waits up to `ms` (negative: without limit) for the flag; true when raised.
    bool wait(int ms) noexcept;

private:
    int fd_ = -1;
#if defined(_WIN32)
    std::atomic<void *> window_{nullptr};
    unsigned long thread_ = 0;
    void (*deliver_)(void *) = nullptr;
    void *context_ = nullptr;
    unsigned long delivered_ = 0;  // raises handed to `deliver`, on the window's thread
    friend struct SignalWindow;
#endif
};

}  // namespace kalax::platform
