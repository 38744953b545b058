// The CSV filter pass over downloaded log text, with random filters and the
// download buffer's shapes: exactly the text, the text with its terminator
// and spare room (as the log client's growing buffer has it), or a length
// that claims more than the buffer holds.
//
// Input: three control bytes, then the text.
//   byte 0  type filter 0-3 (3 keeps everything)
//   byte 1  group filter 0-7 (5-7 keep everything)
//   byte 2  buffer: 0 exactly the text; 1 the text, a terminator and 64 spare
//           bytes; 2 the text with a length 100 bytes beyond it; 3 a length
//           that stops 1-64 bytes short of the text's end
//
// Whatever the filters, the result is a run of lines, each non-empty, free of
// CR and LF, at most 10239 characters and ended by CR LF, no more lines than
// the text had; with both filters keeping everything, it is exactly the text's
// lines so normalised.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "sdk/pld/filter.h"

using namespace kalax;

namespace {

bool line_end(char c) { return c == '\r' || c == '\n'; }

// The lines of `text` (up to a NUL), each cut to the longest a line may be,
// each ended by CR LF.
std::string normalised(std::string_view text, size_t *lines) {
    text = text.substr(0, std::min(text.size(), text.find('\0')));
    std::string out;
    *lines = 0;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && line_end(text[i])) ++i;
        if (i == text.size()) break;
        const size_t start = i;
        while (i < text.size() && !line_end(text[i])) ++i;
        out.append(text.substr(start, std::min<size_t>(i - start, pld::kCsvLineMax)));
        out += "\r\n";
        ++*lines;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Bytes in(data, size);
    const int type_filter = in.byte() % 4;
    const int group_filter = in.byte() % 8;
    const uint8_t shape = in.byte() % 4;
    const uint8_t short_by = 1 + in.byte() % 64;
    const std::string_view text = in.rest();

    std::vector<char> buffer(text.begin(), text.end());
    int length = static_cast<int>(text.size());
    std::string_view seen = text;  // what the pass is allowed to read
    switch (shape) {
    case 1:
        buffer.push_back('\0');
        buffer.resize(buffer.size() + 64, 'x');
        break;
    case 2:
        length += 100;
        break;
    case 3:
        length = std::max(0, length - short_by);
        seen = text.substr(0, static_cast<size_t>(length));
        break;
    default:
        break;
    }
    size_t lines_in = 0;
    const std::string expected = normalised(seen, &lines_in);

    const int rc = pld::csv_filter_pass(type_filter, group_filter, buffer, &length);
    FUZZ_CHECK(rc == 0);
    FUZZ_CHECK(length >= 0 && static_cast<size_t>(length) < buffer.size());
    FUZZ_CHECK(buffer[static_cast<size_t>(length)] == '\0');
    const std::string_view out(buffer.data(), static_cast<size_t>(length));

    size_t lines_out = 0;
    size_t i = 0;
    while (i < out.size()) {
        const size_t start = i;
        while (i < out.size() && !line_end(out[i])) ++i;
        FUZZ_CHECK(i > start && i - start <= static_cast<size_t>(pld::kCsvLineMax));
        FUZZ_CHECK(out.substr(i, 2) == "\r\n");
        i += 2;
        ++lines_out;
    }
    FUZZ_CHECK(lines_out <= lines_in);
    const bool keep_all = type_filter == 0 || type_filter == 3;
    const bool keep_all_groups = group_filter == 0 || group_filter >= 5;
    if (keep_all && keep_all_groups) FUZZ_CHECK(out == expected);
    return 0;
}
