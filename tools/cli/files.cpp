#include "tools/cli/files.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "kalax/zxpld.h"
#include "tools/cli/failure.h"

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

// Writes and closes; a close that fails may have lost buffered bytes.
void write_and_close(File f, const std::string &path, std::string_view data) {
    if (!data.empty() && std::fwrite(data.data(), 1, data.size(), f.get()) != data.size())
        fail(7, path, std::strerror(errno));
    if (std::fclose(f.release()) != 0) fail(9, path, std::strerror(errno));
}

}  // namespace

std::string read_file(const std::string &path, size_t limit) {
    File f = open_file(path, "rb");
    std::string data;
    char chunk[65536];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, f.get())) > 0) {
        if (data.size() + n > limit) fail(12, path);
        data.append(chunk, n);
    }
    if (std::ferror(f.get())) fail(8, path, std::strerror(errno));
    return data;
}

void write_file(const std::string &path, std::string_view data) { write_and_close(open_file(path, "wb"), path, data); }

size_t count_lines(std::string_view text) {
    size_t lines = 0;
    for (const char ch : text) lines += ch == '\n';
    if (!text.empty() && text.back() != '\n') ++lines;
    return lines;
}

AppendResult append_new_lines(const std::string &path, const std::string &csv) {
    AppendResult r;
    r.downloaded = count_lines(csv);
    if (csv.size() > INT_MAX) fail(12, path);
    int offset = 0;
    // A missing file is no error here: everything is new.
    if (zxpld_duplicate_seek(path.c_str(), nullptr, csv.c_str(), static_cast<int>(csv.size()), &offset) < 0) {
        zx_error_struct e{};
        zxpld_error(0, &e);
        fail(e, path);
    }
    if (offset < 0 || static_cast<size_t>(offset) > csv.size()) offset = 0;
    const std::string_view fresh = std::string_view(csv).substr(static_cast<size_t>(offset));
    r.added = count_lines(fresh);
    write_and_close(open_file(path, "ab"), path, fresh);
    return r;
}

}  // namespace kalax::cli
