// The two forms of a unit's data log and the conversions between them.
//
// Binary record (little-endian): length byte (header included), type byte,
// signed 32-bit time (seconds since 1970 UTC), group byte, pair count byte,
// then per pair an unsigned and a signed 16-bit word.
// CSV line: "YYYY/MM/DD;HH:MM:SS;type;group;count;w1;s1;...;" and CR LF, the
// date and time in the host's local time.
#pragma once

#include <cstdint>
#include <ctime>

namespace kalax::pld {

// Buffer the overlap search reads a log file's last line into.
inline constexpr int kLastLineSize = 10240;

// Converts binary records to CSV lines, keeping only the records the filters
// keep. `*text_length` holds the capacity of `text` on entry and the number of
// characters written on return; the text is zero-terminated whenever the
// capacity is above 0 and is cut when it runs full (nothing is ever written
// beyond the capacity). Returns 0 when the input was consumed or the output
// ran full, -1 when the input is malformed (the text up to the fault is kept)
// or a pointer is null (nothing is written). `data` may be null when `length`
// is 0.
int bin2csv(int type_filter, int group_filter, const unsigned char *data, int length, char *text,
            int *text_length);

// The same conversion with another local-time source, so that hosts which
// cannot render some times can be imitated.
using LocalTimeFn = bool (*)(int64_t t, std::tm *out);
int bin2csv_with_clock(LocalTimeFn local_time, int type_filter, int group_filter, const unsigned char *data,
                       int length, char *text, int *text_length);

// Reads the last line of a log file without its line end (its last two
// characters) into `buffer` of `size` bytes. The scan back for the line's start
// looks at the last size - 1 bytes of the file; a line longer than that is
// read from the first byte scanned, so the buffer holds its last size - 3
// characters, and `*cut` (when not null) is set. Returns 0, or -1 when the
// file cannot be opened (`*code` = 6, File open failure; `code` may be null),
// when there is no memory to read it (`*code` = 5), when nothing could be read, or when a pointer is null or `size` is below 2.
int read_last_line(const char *file_name, char *buffer, int size, int *code, bool *cut = nullptr);

// Finds where the new CSV `text` (`length` bytes) stops overlapping a log whose
// last line is `last_line` (or, when that is null, the last line of the file
// `file_name`). `*offset` becomes the position of the first byte after the
// first line equal to that last line, or 0 when there is none. Returns 0, or -1
// on failure. `*code` receives the code the caller keeps on its library-wide
// error record: 0, 73 (both file name and last line null), 5 (no memory),
// 6 (the file could not be opened; the result is still 0), 85 (null `text`
// with a positive length, or null `offset`) or 72 (negative length).
int duplicate_seek(const char *file_name, const char *last_line, const char *text, int length, int *offset,
                   int *code);

}  // namespace kalax::pld
