#include "sdk/runtime/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <new>
#include <string>

#include "sdk/runtime/posix/fd.h"

namespace kalax::platform {

namespace {

using posix::Fd;
using posix::folder_of;
using posix::write_all;

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

FileResult write_in_place(const char *path, const char *data, std::size_t length) {
    Fd fd(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (fd.get() < 0) return FileResult::OpenFailed;
    if (!write_all(fd.get(), data, length)) return FileResult::IoFailed;
    return fd.close() ? FileResult::Ok : FileResult::CloseFailed;
}

}  // namespace

FileResult replace_file(const char *path, const char *data, std::size_t length) {
    if (!path || !*path) {
        errno = ENOENT;
        return FileResult::OpenFailed;
    }
    std::string target = path;
    struct stat st {};
    bool existed = ::lstat(path, &st) == 0;
    if (existed && S_ISLNK(st.st_mode)) {
        // Replace what the link names, not the link itself.
        char *real = ::realpath(path, nullptr);
        if (!real) return write_in_place(path, data, length);  // dangling: made through the link
        target = real;
        std::free(real);
        existed = ::stat(target.c_str(), &st) == 0;
    }
    if (existed && !S_ISREG(st.st_mode)) return write_in_place(path, data, length);

    static std::atomic<unsigned> serial{0};
    const std::string temp =
        target + ".part-" + std::to_string(::getpid()) + "-" + std::to_string(serial.fetch_add(1));
    Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.get() < 0) {
        // A folder that takes no new file may still hold a writable file, and
        // a name at the length limit has no room for the temporary suffix.
        if (errno == EACCES || errno == EPERM || errno == EROFS || errno == ENAMETOOLONG)
            return write_in_place(path, data, length);
        return FileResult::OpenFailed;
    }
    FileResult result = FileResult::Ok;
    if (existed) {
        // The content changes, not who may read it.
        (void)!::fchown(fd.get(), st.st_uid, st.st_gid);
        (void)::fchmod(fd.get(), st.st_mode & 07777);
    }
    if (!write_all(fd.get(), data, length)) {
        result = FileResult::IoFailed;
    } else if (::fsync(fd.get()) != 0 || !fd.close() || ::rename(temp.c_str(), target.c_str()) != 0) {
        result = FileResult::CloseFailed;
    }
    if (result != FileResult::Ok) {
        const int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return result;
    }
    // The rename reaches the disk with its folder.
    Fd dir(::open(folder_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
    return FileResult::Ok;
}

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
    const bool ok = write_all(fd.get(), data, length) && ::fsync(fd.get()) == 0;
    if (!ok) {
        // Nothing of a failed append stays: no cut line at the file's end.
        if (::ftruncate(fd.get(), st.st_size) == 0) ::fsync(fd.get());
        return FileResult::IoFailed;
    }
    return fd.close() ? FileResult::Ok : FileResult::IoFailed;
}

}  // namespace kalax::platform
