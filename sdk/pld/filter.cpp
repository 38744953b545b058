#include "sdk/pld/filter.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>

#include "kalax/zxpld.h"

namespace kalax::pld {

namespace {

bool keep_type(int filter, unsigned char type) {
    switch (filter) {
    case KALLOG_TYPE_NORMAL: return type == 0;
    case KALLOG_TYPE_ALARM: return type == 1;
    default: return true;
    }
}

bool keep_group(int filter, unsigned char group) {
    switch (filter) {
    case KALLOG_GROUP_SENSORS: return group != 3 && group != 4;
    case KALLOG_GROUP_BINARIES: return group != 0 && group != 1 && group != 2;
    case KALLOG_GROUP_INPUTS: return group == 3;
    case KALLOG_GROUP_OUTPUTS: return group == 4;
    default: return true;
    }
}

bool is_line_end(char c) { return c == '\r' || c == '\n'; }

// Low byte of a decimal field read as a C library atoi would read it, except
// that overflow wraps instead of being undefined.
unsigned char decimal_low_byte(const char *p, const char *end) {
    while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    uint32_t value = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) value = value * 10u + static_cast<uint32_t>(*p - '0');
    if (negative) value = 0u - value;
    return static_cast<unsigned char>(value & 0xFFu);
}

// Reads fields 2 and 3 of a line (fields split at runs of ';', so empty fields
// are not counted). Fields the line lacks leave the values of earlier lines.
void read_type_and_group(const char *line, const char *end, unsigned char *type, unsigned char *group) {
    int index = 0;
    const char *p = line;
    while (p < end && index <= 3) {
        while (p < end && *p == ';') ++p;
        if (p == end) break;
        const char *field = p;
        while (p < end && *p != ';') ++p;
        if (index == 2) *type = decimal_low_byte(field, p);
        if (index == 3) *group = decimal_low_byte(field, p);
        ++index;
    }
}

}  // namespace

bool keep_record(int type_filter, int group_filter, unsigned char type, unsigned char group) {
    return keep_type(type_filter, type) && keep_group(group_filter, group);
}

int csv_filter_pass(int type_filter, int group_filter, std::vector<char> &text, int *length) {
    if (length == nullptr || *length < 0) return -1;
    const size_t old_length = std::min(static_cast<size_t>(*length), text.size());
    const char *const begin = text.data();
    const char *end = begin + old_length;
    // Lines are C strings to the splitter: a NUL ends the text.
    if (old_length != 0) {
        if (const void *nul = std::memchr(begin, '\0', old_length); nul != nullptr) end = static_cast<const char *>(nul);
    }

    try {
        std::vector<char> work;
        work.reserve(static_cast<size_t>(end - begin) + 3);
        unsigned char type = 0;
        unsigned char group = 0;
        const char *p = begin;
        while (p < end) {
            while (p < end && is_line_end(*p)) ++p;
            if (p == end) break;
            const char *line = p;
            while (p < end && !is_line_end(*p)) ++p;
            const char *line_end = line + std::min<ptrdiff_t>(p - line, kCsvLineMax);
            read_type_and_group(line, line_end, &type, &group);
            if (keep_record(type_filter, group_filter, type, group)) {
                work.insert(work.end(), line, line_end);
                work.push_back('\r');
                work.push_back('\n');
            }
        }
        // Lines ended by a lone CR or LF grow; a result an int cannot count is
        // as impossible to hand out as one we have no memory for.
        if (work.size() >= static_cast<size_t>(INT_MAX)) return -1;
        const size_t new_length = work.size();
        if (text.size() < new_length + 1) text.resize(new_length + 1);
        if (new_length != 0) std::memcpy(text.data(), work.data(), new_length);
        const size_t clear_end = std::min(text.size(), std::max(old_length, new_length) + 1);
        std::memset(text.data() + new_length, 0, clear_end - new_length);
        *length = static_cast<int>(new_length);
        return 0;
    } catch (const std::bad_alloc &) {
        return -1;
    } catch (const std::length_error &) {
        return -1;
    }
}

}  // namespace kalax::pld
