// Files the tool reads and writes, and appending only the new lines of a log.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kalax::cli {

// Whole file; Failure 6 (open) or 8 (read), 12 when larger than `limit` bytes.
std::string read_file(const std::string &path, size_t limit);
// Creates or truncates; Failure 6, 7 or 9.
void write_file(const std::string &path, std::string_view data);

// Lines of a CSV log text (CR LF or LF ended; a last line without one counts).
size_t count_lines(std::string_view text);

struct AppendResult {
    size_t downloaded = 0;  // lines in the text
    size_t added = 0;       // lines appended to the file
};
// Appends the lines of `csv` that follow the file's last line (all of them when
// the file is missing, empty, or its last line is not in `csv`).
AppendResult append_new_lines(const std::string &path, const std::string &csv);

}  // namespace kalax::cli
