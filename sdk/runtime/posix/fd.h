// Pieces the POSIX file functions share: a descriptor closed on scope exit,
// writing a whole buffer, and the folder a path's entry lives in.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>

namespace kalax::platform::posix {

// Closes on scope exit, keeping the errno of what failed before.
class Fd {
public:
    explicit Fd(int fd) noexcept : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            const int saved = errno;
            ::close(fd_);
            errno = saved;
        }
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const noexcept { return fd_; }
    // The close's own result: a write can still fail there (NFS, quotas).
    bool close() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

// False with errno set when not all of it could be written; a write that
// takes nothing (a full device) counts as EIO rather than looping.
inline bool write_all(int fd, const char *data, std::size_t length) {
    std::size_t put = 0;
    while (put < length) {
        const ssize_t n = ::write(fd, data + put, length - put);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        put += static_cast<std::size_t>(n);
    }
    return true;
}

// The folder to fsync after a rename in it.
inline std::string folder_of(const std::string &path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace kalax::platform::posix
