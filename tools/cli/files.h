// Files the tool reads and writes, and appending only the new lines of a log.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "tools/cli/logtext.h"

namespace kalax::cli {

// Whole file ("-": standard input); Failure 6 (open) or 8 (read), 12 when
// larger than `limit` bytes.
std::string read_file(const std::string &path, size_t limit);
// Replaces a regular file whole or not at all (a new one appears whole), in
// the mode an existing file had; "-" is standard output, and a device or pipe
// is written directly. Failure 6, 7 or 9.
void write_file(const std::string &path, std::string_view data);

// Lines of a CSV log text (CR LF or LF ended; a last line without one counts).
size_t count_lines(std::string_view text);

struct AppendResult {
    size_t downloaded = 0;  // record lines downloaded (after the filters)
    size_t added = 0;       // lines appended to the file
};

// A log file that new records are appended to. Opened and judged before the
// download, so that a file that cannot be written, or that would be damaged,
// is refused before the unit is asked for anything:
// - its last line must be a log record the current --type/--group filters
//   keep (a file written with other filters is refused, not mixed);
// - its line end (CR LF or LF) is kept for the new lines;
// - a last line without line end is ended first when the download holds it,
//   else the file is refused (it may be a fragment).
class AppendTarget {
public:
    AppendTarget(std::string path, int type_filter, int group_filter);
    ~AppendTarget();
    AppendTarget(const AppendTarget &) = delete;
    AppendTarget &operator=(const AppendTarget &) = delete;

    // Appends the lines that follow the file's last line in `log` (all of
    // them when the file is new or empty, or its last line is not among them),
    // with one write and an fsync. A failed write leaves the file as it was.
    AppendResult append(const LogLines &log);

private:
    std::string path_;
    int fd_ = -1;                 // open for appending; -1 for a file still to be made
    std::string last_line_;       // without line end; empty for a new or empty file
    bool ended_ = true;           // the file ends in a line end
    std::string line_end_ = "\r\n";
};

}  // namespace kalax::cli
