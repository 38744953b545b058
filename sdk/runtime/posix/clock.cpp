// Wall clock, monotonic clock and local-time conversion on POSIX.
#include <ctime>

#include "sdk/runtime/platform.h"

namespace kalax::platform {

int64_t now_seconds() { return static_cast<int64_t>(std::time(nullptr)); }

int64_t monotonic_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool local_time(int64_t t, std::tm *out) {
    const time_t value = static_cast<time_t>(t);
    return localtime_r(&value, out) != nullptr;
}

}  // namespace kalax::platform
