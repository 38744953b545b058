// The system's error texts on Windows. Error numbers of the C runtime get the
// runtime's text; Winsock and Win32 codes (which the sockets leave in errno)
// get the system's message.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "sdk/runtime/platform.h"

namespace kalax::platform {

namespace {

// The C runtime's numbers stay below this; Winsock's start at 10000.
constexpr int kFirstSystemCode = 10000;

bool system_text(DWORD code, char *out, size_t size) {
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), out, static_cast<DWORD>(size), nullptr);
    if (n == 0) return false;
    // One line, as strerror gives it: no line end, no closing full stop.
    size_t len = std::strlen(out);
    while (len > 0 && (out[len - 1] == '\r' || out[len - 1] == '\n' || out[len - 1] == ' ' || out[len - 1] == '.'))
        out[--len] = '\0';
    return len > 0;
}

}  // namespace

void error_text(int err, char *out, size_t size) {
    if (!out || size == 0) return;
    out[0] = '\0';
    if (err >= kFirstSystemCode) {
        char scratch[512] = {};
        if (system_text(static_cast<DWORD>(err), scratch, sizeof scratch))
            std::snprintf(out, size, "%s", scratch);
        else
            std::snprintf(out, size, "System error %d", err);
        return;
    }
    char scratch[256] = {};
    if (strerror_s(scratch, sizeof scratch, err) != 0) scratch[0] = '\0';
    std::snprintf(out, size, "%s", scratch);
}

}  // namespace kalax::platform
