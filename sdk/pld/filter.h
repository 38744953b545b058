// Record filter of the data log: which records a module's type and group
// filters keep, applied to binary records and to downloaded CSV text.
#pragma once

#include <vector>

namespace kalax::pld {

// Longest CSV line the filter pass keeps; longer lines are cut.
inline constexpr int kCsvLineMax = 10239;

// Both filters must keep the record. Filter values outside their tables keep
// everything (KALLOG_TYPE_* and KALLOG_GROUP_* of kalax/zxpld.h).
bool keep_record(int type_filter, int group_filter, unsigned char type, unsigned char group);

// Replaces the CSV text in `text` (its first `*length` bytes, or up to an
// earlier NUL) by the lines the filters keep, each ended by CR LF, and sets
// `*length` to the new length. The vector is grown when the result needs more
// room (a line ended by a lone CR or LF grows by one byte); it is never shrunk,
// and text[*length] is 0 afterwards. Returns 0, or -1 when memory ran out or
// `length` is null or negative; the text is then unchanged.
int csv_filter_pass(int type_filter, int group_filter, std::vector<char> &text, int *length);

}  // namespace kalax::pld
