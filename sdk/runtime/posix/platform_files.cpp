// Files and loadable libraries on POSIX.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sdk/runtime/platform_files.h"
#include "sdk/runtime/posix/fd.h"

namespace kalax::platform {
using posix::folder_of;
using posix::write_all;

bool file_read(const std::string &path, std::string &out, int &err) {
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        return false;
    }
    char buf[8192];
    for (;;) {
        const ssize_t r = ::read(fd, buf, sizeof buf);
        if (r < 0) {
            if (errno == EINTR) continue;
            err = errno;
            ::close(fd);
            return false;
        }
        if (r == 0) break;
        out.append(buf, static_cast<size_t>(r));
    }
    ::close(fd);
    return true;
}

bool folder_make(const std::string &path, int &err) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/') continue;
        const std::string part = path.substr(0, at);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            err = errno;
            return false;
        }
    }
    return true;
}

FileLock::~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing drops the lock
}

bool FileLock::lock(const std::string &path, int &err) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        err = errno;
        return false;
    }
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        err = errno;
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

bool file_replace(const std::string &path, const std::string &data, int &err) {
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        return false;
    }
    if (::fchmod(fd, 0644) != 0 || !write_all(fd, data.data(), data.size()) || ::fsync(fd) != 0) {
        err = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        return false;
    }
    if (::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
        err = errno;
        ::unlink(temp.c_str());
        return false;
    }
    // The rename itself reaches the disk with the folder.
    const int dir = ::open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

Library::~Library() {
    // Kept loaded: objects and class factories of the library may outlive this handle.
}

bool Library::open(const std::string &path, std::string &error) {
    ::dlerror();
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char *e = ::dlerror();
        error = e ? e : "cannot load";
        return false;
    }
    return true;
}

void *Library::symbol(const char *name) const { return handle_ ? ::dlsym(handle_, name) : nullptr; }

std::string loaded_file_of(const void *address) {
    Dl_info info{};
    if (!::dladdr(address, &info) || !info.dli_fname) return {};
    std::string path = info.dli_fname;
    // A program's own name may be relative; the registry needs it whole.
    if (!path.empty() && path[0] != '/') {
        char *full = ::realpath(path.c_str(), nullptr);
        if (!full) return {};
        path = full;
        std::free(full);
    }
    return path;
}

}  // namespace kalax::platform
