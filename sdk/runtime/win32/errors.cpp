// The system's error texts on Windows. Error numbers of the C runtime get the
// runtime's text; Winsock and Win32 codes (which the sockets leave in errno)
// get the system's message.
#include <winsock2.h>
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

// The socket errors the library reports, for a system without their messages
// (Wine lacks some).
const char *socket_text(int code) {
    switch (code) {
    case WSAEINVAL: return "Invalid argument";
    case WSAEWOULDBLOCK: return "Resource temporarily unavailable";
    case WSAENETDOWN: return "Network is down";
    case WSAENETUNREACH: return "Network is unreachable";
    case WSAECONNABORTED: return "Software caused connection abort";
    case WSAECONNRESET: return "Connection reset by peer";
    case WSAENOBUFS: return "No buffer space available";
    case WSAETIMEDOUT: return "Connection timed out";
    case WSAECONNREFUSED: return "Connection refused";
    case WSAEHOSTUNREACH: return "No route to host";
    case WSANOTINITIALISED: return "Winsock is not initialised";
    case WSAHOST_NOT_FOUND: return "Host not found";
    case WSATRY_AGAIN: return "Host not found, try again";
    case WSANO_DATA: return "No address for the name";
    default: return nullptr;
    }
}

}  // namespace

void error_text(int err, char *out, size_t size) {
    if (!out || size == 0) return;
    out[0] = '\0';
    if (err >= kFirstSystemCode) {
        char scratch[512] = {};
        if (system_text(static_cast<DWORD>(err), scratch, sizeof scratch))
            std::snprintf(out, size, "%s", scratch);
        else if (const char *known = socket_text(err))
            std::snprintf(out, size, "%s", known);
        else
            std::snprintf(out, size, "System error %d", err);
        return;
    }
    char scratch[256] = {};
    if (strerror_s(scratch, sizeof scratch, err) != 0) scratch[0] = '\0';
    std::snprintf(out, size, "%s", scratch);
}

}  // namespace kalax::platform
