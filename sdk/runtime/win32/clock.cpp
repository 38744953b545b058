// Wall clock, monotonic clock and local-time conversion on Windows.
#include <windows.h>

#include <ctime>

#include "sdk/runtime/platform.h"

namespace kalax::platform {

int64_t now_seconds() { return static_cast<int64_t>(std::time(nullptr)); }

int64_t monotonic_ms() {
    // The counter's frequency is fixed at boot.
    static const int64_t frequency = [] {
        LARGE_INTEGER f{};
        QueryPerformanceFrequency(&f);
        return static_cast<int64_t>(f.QuadPart);
    }();
    if (frequency <= 0) return static_cast<int64_t>(GetTickCount64());
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    const int64_t ticks = now.QuadPart;
    return ticks / frequency * 1000 + ticks % frequency * 1000 / frequency;
}

bool local_time(int64_t t, std::tm *out) {
    if (!out) return false;
    const __time64_t value = static_cast<__time64_t>(t);
    return _localtime64_s(out, &value) == 0;
}

}  // namespace kalax::platform
