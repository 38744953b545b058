// EventSignal on an eventfd: its counter is 0 (not readable) or 1 (readable).
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "sdk/runtime/event_signal.h"

namespace kalax::platform {

EventSignal::~EventSignal() {
    if (fd_ >= 0) ::close(fd_);
}

bool EventSignal::open() {
    if (fd_ >= 0) return true;
    fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return fd_ >= 0;
}

void EventSignal::raise() noexcept {
    // Callers raise only a clear flag (the queue tracks that under its lock),
    // so the counter never passes 1 and the write cannot block or fail.
    const std::uint64_t one = 1;
    ssize_t n;
    do {
        n = ::write(fd_, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
}

void EventSignal::clear() noexcept {
    std::uint64_t value;
    ssize_t n;
    do {
        n = ::read(fd_, &value, sizeof value);
    } while (n < 0 && errno == EINTR);
}

bool EventSignal::wait(int ms) noexcept {
    pollfd p{fd_, POLLIN, 0};
    for (;;) {
        const int rc = ::poll(&p, 1, ms < 0 ? -1 : ms);
        if (rc > 0) return true;
        if (rc == 0) return false;
        if (errno != EINTR) return false;
    }
}

}  // namespace kalax::platform
