// The line and record readers of the log objects: texts go by their length,
// and every output is bounded by the room the caller gives.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include "kalax/zxapi.h"

namespace zxapi {

namespace {

bool is_line_end(char c) noexcept { return c == '\r' || c == '\n'; }

// Copies [from, to) into `out` of `size` bytes, cut to size - 1 and terminated.
void put_text(char *out, std::size_t size, const char *from, const char *to) noexcept {
    if (!out || size == 0) return;
    const std::size_t n = std::min(static_cast<std::size_t>(to - from), size - 1);
    if (n) std::memcpy(out, from, n);
    out[n] = '\0';
}

// Leading blanks, an optional sign, digits; no digits gives 0. Values beyond
// 32 bits stop at the nearest limit.
std::int32_t read_number(const char *p, const char *end) noexcept {
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\v' || *p == '\f' || *p == '\r' || *p == '\n')) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    std::int64_t v = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        v = v * 10 + (*p - '0');
        if (v > std::int64_t{INT32_MAX} + 1) v = std::int64_t{INT32_MAX} + 1;
    }
    if (negative) v = -v;
    if (v > INT32_MAX) v = INT32_MAX;
    return static_cast<std::int32_t>(v);
}

bool field_is(const char *from, const char *to, const char *text) noexcept {
    const std::size_t n = std::strlen(text);
    return static_cast<std::size_t>(to - from) == n && std::memcmp(from, text, n) == 0;
}

}  // namespace

int TKalLogCustom::NextLine(const char *&ACursor, const char *AText, std::size_t ALength) {
    if (!AText || !ACursor || ACursor < AText || ACursor >= AText + ALength) return -6;
    const char *end = AText + ALength;
    const char *p = ACursor;
    while (p < end && !is_line_end(*p)) ++p;
    if (p == end) return -6;
    if (p == ACursor) {
        ++ACursor;
        return 0;
    }
    const std::size_t length = static_cast<std::size_t>(p - ACursor);
    if (length > static_cast<std::size_t>(INT_MAX)) return -3;
    ACursor = p;
    return static_cast<int>(length);
}

int TKalLogCustom::ParseRecordLine(const char *ALine, std::size_t ALength, int ACapacity, char *ADate,
                                   std::size_t ADateSize, char *ATime, std::size_t ATimeSize, std::uint8_t &AType,
                                   std::uint8_t &AGroup, std::int32_t *AValues) {
    put_text(ADate, ADateSize, "", "");
    put_text(ATime, ATimeSize, "", "");
    AType = KALLOG_REC_TYPE_NORMAL;
    AGroup = KALLOG_REC_GROUP_SENSOR;
    if (!ALine) return 0;
    // The line ends at its length or at a NUL, whichever comes first.
    const char *end = ALine + ALength;
    if (const void *nul = std::memchr(ALine, '\0', ALength)) end = static_cast<const char *>(nul);

    auto next_semicolon = [end](const char *from) -> const char * {
        const void *at = std::memchr(from, ';', static_cast<std::size_t>(end - from));
        return static_cast<const char *>(at);
    };
    const char *semi = next_semicolon(ALine);
    if (!semi) return 0;
    put_text(ADate, ADateSize, ALine, semi);
    const char *p = semi + 1;
    semi = next_semicolon(p);
    if (!semi) return 0;
    put_text(ATime, ATimeSize, p, semi);
    p = semi + 1;

    const int capacity = AValues ? ACapacity : 0;
    int stored = 0;
    for (int field = 0; stored < capacity; ++field) {
        semi = next_semicolon(p);
        if (!semi) break;
        if (field == 0) {
            AType = field_is(p, semi, "1") ? KALLOG_REC_TYPE_ALARM : KALLOG_REC_TYPE_NORMAL;
        } else if (field == 1) {
            AGroup = field_is(p, semi, "3")   ? KALLOG_REC_GROUP_INPUT
                     : field_is(p, semi, "4") ? KALLOG_REC_GROUP_OUTPUT
                                              : KALLOG_REC_GROUP_SENSOR;
        } else if (field >= 3) {
            AValues[stored++] = read_number(p, semi);
        }
        p = semi + 1;
    }
    return stored;
}

}  // namespace zxapi
