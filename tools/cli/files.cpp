#include "tools/cli/files.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "tools/cli/failure.h"
#include "tools/cli/logtext.h"

namespace kalax::cli {

namespace {

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

File open_file(const std::string &path, const char *mode) {
    File f(std::fopen(path.c_str(), mode));
    if (!f) fail(6, path, std::strerror(errno));
    return f;
}

}  // namespace

std::string read_file(const std::string &path, size_t limit) {
    File owned;
    FILE *f = stdin;
    if (path != "-") {
        owned = open_file(path, "rb");
        f = owned.get();
    }
    std::string data;
    char chunk[65536];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        if (data.size() + n > limit) fail(12, path);
        data.append(chunk, n);
    }
    if (std::ferror(f)) fail(8, path, std::strerror(errno));
    return data;
}

size_t count_lines(std::string_view text) {
    size_t lines = 0;
    for (const char ch : text) lines += ch == '\n';
    if (!text.empty() && text.back() != '\n') ++lines;
    return lines;
}

namespace {

// The last line of a log file is looked for this far back.
constexpr size_t kLastLineLimit = 1u << 20;

// Stop signals wait while FILE is written, so a Ctrl-C or a cron timeout
// cannot end the tool inside the write.
class StopSignalsHeld {
public:
    StopSignalsHeld() {
        sigset_t stop;
        sigemptyset(&stop);
        sigaddset(&stop, SIGINT);
        sigaddset(&stop, SIGTERM);
        sigaddset(&stop, SIGHUP);
        sigaddset(&stop, SIGQUIT);
        pthread_sigmask(SIG_BLOCK, &stop, &old_);
    }
    ~StopSignalsHeld() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    StopSignalsHeld(const StopSignalsHeld &) = delete;
    StopSignalsHeld &operator=(const StopSignalsHeld &) = delete;

private:
    sigset_t old_;
};

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::string folder_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes `data` into a new file next to `path` and renames it into place, so
// that `path` holds the old text or the new one, never a part.
// `mode` of an existing file is kept as it was; a new file's is masked by the umask.
void replace_whole(const std::string &path, std::string_view data, mode_t mode, bool existing) {
    std::string temporary = path + ".kalax-XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) fail(6, path, std::strerror(errno));
    mode_t mask = 0;
    if (!existing) {
        mask = ::umask(0);
        ::umask(mask);
    }
    ::fchmod(fd, mode & ~mask);
    const bool ok = write_all(fd, data) && ::fsync(fd) == 0;
    const int write_errno = errno;
    if (::close(fd) != 0 || !ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
        const int e = ok ? errno : write_errno;
        ::unlink(temporary.c_str());
        fail(7, path, std::strerror(e));
    }
    const int folder = ::open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
}

}  // namespace

void write_file(const std::string &path, std::string_view data) {
    if (path == "-") {
        if (std::fwrite(data.data(), 1, data.size(), stdout) != data.size() || std::fflush(stdout) != 0)
            fail(7, "standard output", std::strerror(errno));
        return;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        // A terminal, /dev/stdout, a pipe: nothing to replace, only to write to.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) fail(6, path, std::strerror(errno));
        const bool ok = write_all(fd, data);
        const int e = errno;
        if (::close(fd) != 0 || !ok) fail(7, path, std::strerror(ok ? errno : e));
        return;
    }
    const StopSignalsHeld held;
    const bool existing = S_ISREG(st.st_mode);
    replace_whole(path, data, existing ? st.st_mode & 07777 : 0666, existing);
}

AppendTarget::AppendTarget(std::string path, int type_filter, int group_filter) : path_(std::move(path)) {
    // Non-blocking only so that a FIFO without a reader cannot hold the tool;
    // it is refused below like anything but a regular file.
    fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        if (errno != ENOENT) fail(6, path_, std::strerror(errno));
        // A new file is made next to where it will live: that folder must take it.
        const std::string folder = folder_of(path_);
        if (::access(folder.c_str(), W_OK | X_OK) != 0) fail(6, path_, std::strerror(errno));
        return;
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0) fail(8, path_, std::strerror(errno));
    if (!S_ISREG(st.st_mode)) fail(6, path_, "not a regular file");
    if (st.st_size == 0) return;

    const size_t size = static_cast<size_t>(st.st_size);
    const size_t chunk = std::min(size, kLastLineLimit);
    std::string tail(chunk, '\0');
    const int in = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) fail(6, path_, std::strerror(errno));
    const ssize_t got = ::pread(in, tail.data(), chunk, static_cast<off_t>(size - chunk));
    const int read_errno = errno;
    ::close(in);
    if (got != static_cast<ssize_t>(chunk)) fail(8, path_, got < 0 ? std::strerror(read_errno) : "file shrank");

    ended_ = tail.back() == '\n' || tail.back() == '\r';
    size_t end = tail.size();
    while (end > 0 && (tail[end - 1] == '\n' || tail[end - 1] == '\r')) --end;
    if (end == 0 && chunk == size) return;  // only line ends
    const size_t lf = tail.rfind('\n', end == 0 ? 0 : end - 1);
    if (lf == std::string::npos && chunk < size)
        fail(11, path_, "its last line is longer than 1 MiB: not a data log");
    const size_t begin = lf == std::string::npos ? 0 : lf + 1;
    last_line_ = tail.substr(begin, end - begin);
    // The file's own line end: of its last line, or of the line before a last one without.
    if (ended_) line_end_ = tail.compare(end, 2, "\r\n") == 0 || tail[end] == '\r' ? "\r\n" : "\n";
    else if (lf != std::string::npos) line_end_ = lf > 0 && tail[lf - 1] == '\r' ? "\r\n" : "\n";
    if (last_line_.find('\0') != std::string::npos || !is_log_record(last_line_))
        fail(11, path_, "its last line is not a data log record, so new records cannot be placed after it");
    if (!keep_log_line(last_line_, type_filter, group_filter))
        fail(11, path_,
             "its last record is one the --type/--group filters drop: the file was written with other filters "
             "(append to a file of its own for each filter)");
}

AppendTarget::~AppendTarget() {
    if (fd_ >= 0) ::close(fd_);
}

AppendResult AppendTarget::append(const LogLines &log) {
    AppendResult r;
    r.downloaded = log.count;
    size_t first_new = 0;
    if (!last_line_.empty()) {
        // The last match at a line start: a record served twice is never appended twice.
        const std::string needle = last_line_ + "\r\n";
        size_t at = log.text.rfind(needle);
        while (at != std::string::npos && at != 0 && log.text[at - 1] != '\n')
            at = log.text.rfind(needle, at - 1);
        if (at != std::string::npos) first_new = at + needle.size();
        else if (!ended_)
            fail(11, path_, "it ends in an incomplete line that is not in the unit's log: end or remove that line first");
    }
    std::string_view fresh = std::string_view(log.text).substr(first_new);
    r.added = static_cast<size_t>(std::count(fresh.begin(), fresh.end(), '\n'));
    std::string data;
    if (!fresh.empty() && !ended_) data = line_end_;
    if (line_end_ == "\n") {
        // Record lines hold no CR of their own: every CR is part of a line end.
        data.reserve(data.size() + fresh.size());
        for (const char c : fresh)
            if (c != '\r') data += c;
    } else {
        data.append(fresh);
    }

    const StopSignalsHeld held;
    if (fd_ < 0) {
        replace_whole(path_, data, 0666, false);
        return r;
    }
    if (data.empty()) return r;
    struct stat st {};
    if (::fstat(fd_, &st) != 0) fail(8, path_, std::strerror(errno));
    if (!write_all(fd_, data) || ::fsync(fd_) != 0) {
        const int e = errno;
        // Whole new lines or none: what a failed write left is taken back.
        if (::ftruncate(fd_, st.st_size) != 0) fail(7, path_, std::string(std::strerror(e)) + "; the file keeps a cut line");
        fail(7, path_, std::strerror(e));
    }
    return r;
}

}  // namespace kalax::cli
