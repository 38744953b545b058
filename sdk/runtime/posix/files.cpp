#include "sdk/runtime/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace kalax::platform {

namespace {

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

// O_NONBLOCK: opening a FIFO must not wait for its other end; the type check
// then refuses it.
int open_regular(const char *path, int flags, mode_t mode, struct stat &st) {
    if (!path) return -1;
    const int fd = ::open(path, flags | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

PathKind path_kind(const char *path) {
    struct stat st {};
    if (!path || ::stat(path, &st) != 0) return PathKind::Missing;
    return S_ISREG(st.st_mode) ? PathKind::Regular : PathKind::Other;
}

FileResult read_file(const char *path, std::size_t limit, std::vector<char> &out) {
    struct stat st {};
    Fd fd(open_regular(path, O_RDONLY, 0, st));
    if (fd.get() < 0) return FileResult::OpenFailed;
    const auto size = static_cast<unsigned long long>(st.st_size);
    if (size > limit) return FileResult::TooLarge;
    try {
        out.reserve(static_cast<std::size_t>(size) + 1);
        out.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc &) {
        return FileResult::NoMemory;
    }
    std::size_t got = 0;
    while (got < out.size()) {
        const ssize_t n = ::read(fd.get(), out.data() + got, out.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return FileResult::IoFailed;  // shorter than it said: not read whole
        got += static_cast<std::size_t>(n);
    }
    return FileResult::Ok;
}

FileResult append_file(const char *path, const char *data, std::size_t length) {
    struct stat st {};
    Fd fd(open_regular(path, O_WRONLY | O_APPEND | O_CREAT, 0666, st));
    if (fd.get() < 0) return FileResult::OpenFailed;
    std::size_t put = 0;
    bool ok = true;
    while (put < length) {
        const ssize_t n = ::write(fd.get(), data + put, length - put);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        put += static_cast<std::size_t>(n);
    }
    if (ok) ok = ::fsync(fd.get()) == 0;
    if (!ok) {
        // Nothing of a failed append stays: no cut line at the file's end.
        if (::ftruncate(fd.get(), st.st_size) == 0) ::fsync(fd.get());
        return FileResult::IoFailed;
    }
    return fd.close() ? FileResult::Ok : FileResult::IoFailed;
}

}  // namespace kalax::platform
