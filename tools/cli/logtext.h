// A downloaded data log judged before anything is written: whole records only,
// and a body that is not a log (a login page, random bytes) refused.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kalax::cli {

// The complete record lines of a CSV log body, in one text (a log holds
// hundreds of thousands of short lines: one string each would double it).
struct LogLines {
    std::string text;       // the lines the filters keep, in order, each ended by CR LF
    size_t count = 0;       // lines in `text`
    size_t nul_lines = 0;   // lines dropped because they hold a NUL byte
    size_t cut_bytes = 0;   // bytes after the last line end (a cut download)
};

// Whether a line (without line end) is a log record:
// "YYYY/MM/DD;HH:MM:SS;TYPE;GROUP;COUNT;" followed by whole numbers.
bool is_log_record(std::string_view line);
// Whether the type and group filters (KALLOG_*) keep a record line.
bool keep_log_line(std::string_view line, int type_filter, int group_filter);

// Splits `raw` at its line ends (CR LF or LF). Only lines ended by a line end
// in the raw body count; the rest is a cut line (cut_bytes). Throws Failure 11
// naming `context` and the line when a line with no NUL is not a log record.
LogLines split_csv_log(std::string_view raw, int type_filter, int group_filter, const std::string &context);

// The whole binary records at the start of `raw`, up to the first record that
// is cut off or whose length byte does not match its value count.
struct BinaryRecords {
    size_t bytes = 0;        // taken by the whole records (the offset of the first bad one)
    size_t count = 0;        // whole records
    bool malformed = false;  // a bad length byte stopped the scan, not the end of `raw`
};
BinaryRecords scan_binary_records(std::string_view raw);

// Whole binary records at the start of `raw`: the byte count they take. The
// rest is a cut record. Throws Failure 11 for a record whose length byte does
// not match its value count (not a binary log).
size_t whole_binary_records(std::string_view raw, const std::string &context);

}  // namespace kalax::cli
