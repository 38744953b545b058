// The only door to the operating system: threads, clocks, local time, sockets.
// posix/ implements it, win32/ the same for Windows, one source file per concern.
// Where a failure leaves "errno", the Windows side leaves the system's own
// code there (a Winsock code for sockets) and error_text gives its text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>

#include "kalax/zx.h"

namespace kalax::platform {

// ---- threads ----------------------------------------------------------------
struct ThreadControl;  // the system's handle and the end signal; opaque here

// An owned thread handle. Empty when no thread is attached.
class Thread {
public:
    Thread() = default;
    Thread(const Thread &) = delete;
    Thread &operator=(const Thread &) = delete;
    ~Thread();  // detaches a still-attached thread; never blocks

    bool start(void (*entry)(void *), void *arg);
    // Waits up to `ms` for the thread to end. true: it ended and the handle is released.
    bool join_for(int ms);
    void detach();
    bool attached() const noexcept { return control_ != nullptr; }
    bool is_current() const noexcept;

private:
    std::shared_ptr<ThreadControl> control_;  // shared with the running thread
};

// Ends the calling thread by unwinding its stack: every frame between the
// caller and the thread's start must allow that (no noexcept function, no
// catch (...) that does not rethrow).
[[noreturn]] void thread_exit();
void sleep_ms(int ms);

// ---- semaphores ---------------------------------------------------------------
// A wake-up that a post under a lock leaves for after that lock: the thread it
// wakes then does not run straight into the lock still held (and sleep once
// more on it). Wakes, if the post left it anything, when it goes out of scope,
// so it is declared before the lock it is to outlive.
class DeferredWake {
public:
    DeferredWake() = default;
    DeferredWake(const DeferredWake &) = delete;
    DeferredWake &operator=(const DeferredWake &) = delete;
    ~DeferredWake();

private:
    friend int sem_post_deferred(zx_sem_t *s, DeferredWake &wake);
    void *word_ = nullptr;
};
// zx_sem_post, except that a waiter asleep on the semaphore is woken by `wake`.
// That wake touches nothing of the semaphore: harmless when the lock that kept
// the semaphore alive is gone and the semaphore with it (at worst a thread
// sleeping on reused memory looks once more, as after any spurious wake-up).
int sem_post_deferred(zx_sem_t *s, DeferredWake &wake);

// ---- clocks -----------------------------------------------------------------
int64_t now_seconds();   // wall clock, seconds since the epoch
int64_t monotonic_ms();  // for measuring elapsed time only
// Local time of `t`; false when the host cannot convert it.
bool local_time(int64_t t, std::tm *out);

// ---- errors -----------------------------------------------------------------
// The system's text for error number `err` into `out` (always terminated).
void error_text(int err, char *out, size_t size);

// ---- sockets ----------------------------------------------------------------
#if defined(_WIN32)
using Socket = std::uintptr_t;  // a SOCKET handle
inline constexpr Socket kNoSocket = ~Socket{0};
#else
using Socket = int;
inline constexpr Socket kNoSocket = -1;
#endif

enum class ConnectStart { Connected, InProgress, Failed };
enum class Ready { Yes, No, Error };

bool socket_layer_init();
// A TCP socket, non-blocking from the start where the system can create it so.
Socket socket_tcp();
// Makes sure the socket does not block; nothing to do for one socket_tcp made
// non-blocking already.
bool socket_set_nonblocking(Socket s);
// Starts a connect; again on a socket whose connect is under way, tells how it
// stands without waiting (Failed: with the connect's own error as errno).
ConnectStart socket_connect(Socket s, const char *dotted_ipv4, int port);
// Waits up to `ms` for the socket to become readable (or writable).
Ready socket_wait(Socket s, bool for_write, int ms);
// The outcome of a connect that was in progress once the socket became
// writable: true when the connection stands; false with the connect's own error
// (refused, unreachable, ...) as the thread's system error.
bool socket_connect_result(Socket s);
// Makes "timed out" the thread's system error: what a connect that never
// completed within its wait reports.
void socket_set_timed_out();
// A send or receive that never waits, whatever the socket's mode: bytes accepted
// / received, kWouldBlock when none could be without waiting, or -1 on failure
// (errno kept). 0 from a receive: the peer closed.
inline constexpr long kWouldBlock = -2;
long socket_try_send(Socket s, const char *data, size_t length);
long socket_try_recv(Socket s, char *data, size_t capacity);
void socket_close(Socket s);
// A dotted IPv4 address with its terminator.
inline constexpr size_t kDottedSize = 16;
// First IPv4 address of `host` as dotted text into `out` (kDottedSize bytes).
bool resolve_ipv4(const char *host, char out[kDottedSize]);

}  // namespace kalax::platform
