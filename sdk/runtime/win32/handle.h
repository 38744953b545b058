// Pieces the Windows file functions share: the C runtime's number for what
// the system reported, a handle closed on scope exit, and writing a whole buffer.
#pragma once

#include <windows.h>

#include <cerrno>
#include <cstddef>

namespace kalax::platform::win32 {

// For the error records, which carry errno numbers on both platforms.
inline int errno_of(DWORD code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_MOD_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS: return EEXIST;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    default: return EIO;
    }
}

inline void keep_error() { errno = errno_of(GetLastError()); }

// Closes on scope exit, keeping the errno of what failed before.
class Handle {
public:
    explicit Handle(HANDLE h) noexcept : h_(h) {}
    ~Handle() {
        if (h_ != INVALID_HANDLE_VALUE) {
            const int saved = errno;
            CloseHandle(h_);
            errno = saved;
        }
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    HANDLE get() const noexcept { return h_; }
    bool close() noexcept {
        const HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return CloseHandle(h) != 0;
    }

private:
    HANDLE h_;
};

// False with errno set when not all of it could be written.
inline bool write_all(HANDLE h, const char *data, std::size_t length) {
    std::size_t put = 0;
    while (put < length) {
        const std::size_t want = length - put;
        DWORD n = 0;
        if (!WriteFile(h, data + put, want > 0x40000000u ? 0x40000000u : static_cast<DWORD>(want), &n, nullptr) ||
            n == 0) {
            keep_error();
            return false;
        }
        put += n;
    }
    return true;
}

}  // namespace kalax::platform::win32
