// [out] values a member may leave unwritten (an item getter that fails, a log
// line without values): a variable the caller passed by reference keeps what it
// held. The member writes into a temporary that starts as a bit pattern no
// member writes, and the variable receives the temporary only once the pattern
// is gone. Only for values of a fixed size, never VARIANTs or records.
#pragma once

#include <cstring>

#include "kalax/ax.h"

namespace kalax::ax {

inline constexpr unsigned char kUnwrittenByte = 0xA5;

inline void mark_unwritten(VARIANT &v) { std::memset(&v.llVal, kUnwrittenByte, sizeof v.llVal); }

inline bool was_written(const VARIANT &v) {
    unsigned char pattern[sizeof v.llVal];
    std::memset(pattern, kUnwrittenByte, sizeof pattern);
    return std::memcmp(&v.llVal, pattern, sizeof pattern) != 0;
}

}  // namespace kalax::ax
