// The last-line reader and the overlap search over random log files and new
// texts. One file per process holds the file part of each input.
//
// Input: five control bytes, then the data.
//   bytes 0-1  reader buffer size: 0-10240 (values < 2 are refused by the
//              reader), taken modulo 10241
//   bytes 2-3  where the data splits into the file (before) and the new text
//              (after), modulo the data's length + 1
//   byte 4     bit 0: also search with a last line given as text (the first
//              line of the new text), not only with the file's
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "kalax/zxpld.h"
#include "sdk/pld/logformat.h"
#include "sdk/runtime/result_codes.h"

using namespace kalax;

namespace {

const std::string &file_path() {
    static const std::string path = [] {
        // Memory-backed when the host has it: the file is rewritten for every input.
        const char *dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
        std::string p = std::string(dir && *dir ? dir : "/tmp") + "/kalax_fuzz_last_line_" + std::to_string(getpid());
        std::atexit([] { std::remove(file_path().c_str()); });
        return p;
    }();
    return path;
}

void write_file(std::string_view bytes) {
    std::FILE *f = std::fopen(file_path().c_str(), "wb");
    if (f == nullptr) std::abort();
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::abort();
    if (std::fclose(f) != 0) std::abort();
}

// What the overlap search promises about its offset.
void check_search(int rc, int code, int offset, int length) {
    FUZZ_CHECK(rc == 0);
    FUZZ_CHECK(code == 0 || code == kFILE_OPEN);
    FUZZ_CHECK(offset >= 0 && offset <= length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Bytes in(data, size);
    const int line_size = in.u16() % (pld::kLastLineSize + 1);
    const uint16_t split_at = in.u16();
    const uint8_t flags = in.byte();
    const std::string_view rest = in.rest();
    const size_t split = split_at % (rest.size() + 1);
    const std::string_view file = rest.substr(0, split);
    const std::string_view text_view = rest.substr(split);
    write_file(file);

    // The reader's buffer is exactly the size it is told.
    std::unique_ptr<char[]> line(new char[static_cast<size_t>(line_size)]);
    int code = -1;
    const int rc = pld::read_last_line(file_path().c_str(), line.get(), line_size, &code);
    FUZZ_CHECK(rc == 0 || rc == -1);
    if (line_size < 2) FUZZ_CHECK(rc == -1);
    if (rc == 0) {
        FUZZ_CHECK(code == 0);
        const size_t n = strnlen(line.get(), static_cast<size_t>(line_size));
        FUZZ_CHECK(n < static_cast<size_t>(line_size));
        FUZZ_CHECK(n <= file.size());
    }

    // The new text in a block of its own length, no terminator.
    const int length = static_cast<int>(text_view.size());
    std::unique_ptr<char[]> text(new char[text_view.size()]);
    std::memcpy(text.get(), text_view.data(), text_view.size());

    int offset = -1;
    int seek_code = -1;
    int seek = pld::duplicate_seek(file_path().c_str(), nullptr, text.get(), length, &offset, &seek_code);
    check_search(seek, seek_code, offset, length);

    // The same search through the exported function.
    int exported_offset = -1;
    seek = zxpld_duplicate_seek(file_path().c_str(), nullptr, text.get(), length, &exported_offset);
    FUZZ_CHECK(seek == 0 && exported_offset == offset);

    // Reading the file's last line with the search's own buffer size and
    // handing it in as text must find the same place. A line too long for the
    // buffer is matched by its end: the search from the file then stops at a
    // line equal to that end or earlier.
    std::unique_ptr<char[]> full(new char[pld::kLastLineSize]);
    bool cut = false;
    if (pld::read_last_line(file_path().c_str(), full.get(), pld::kLastLineSize, nullptr, &cut) == 0) {
        int given_offset = -1;
        seek = pld::duplicate_seek(nullptr, full.get(), text.get(), length, &given_offset, &seek_code);
        check_search(seek, seek_code, given_offset, length);
        if (!cut)
            FUZZ_CHECK(given_offset == offset);
        else if (given_offset > 0)
            FUZZ_CHECK(offset > 0 && offset <= given_offset);
    }

    if (flags & 1) {
        // A last line taken from the new text itself: its first line, which the
        // search must then find, right after that line.
        const std::string_view t = text_view.substr(0, text_view.find('\0'));
        const size_t start = t.find_first_not_of("\r\n");
        if (start != std::string_view::npos) {
            const size_t end = std::min(t.find_first_of("\r\n", start), t.size());
            const std::string wanted(t.substr(start, end - start));
            int given_offset = -1;
            seek = pld::duplicate_seek(nullptr, wanted.c_str(), text.get(), length, &given_offset, &seek_code);
            check_search(seek, seek_code, given_offset, length);
            FUZZ_CHECK(given_offset == static_cast<int>(std::min(end - start + 2, text_view.size())));
        }
    }
    return 0;
}
