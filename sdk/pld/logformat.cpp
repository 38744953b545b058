#include "sdk/pld/logformat.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <vector>

#include "sdk/pld/filter.h"
#include "sdk/runtime/platform.h"
#include "sdk/runtime/result_codes.h"

namespace kalax::pld {

namespace {

// ---- number formatting ---------------------------------------------------------
// The conversion runs over logs of many megabytes; printf per field would be
// most of its cost.

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline char *put_pair(char *p, unsigned v) {  // v < 100, always two digits
    std::memcpy(p, kDigitPairs + 2 * v, 2);
    return p + 2;
}

char *put_unsigned(char *p, uint64_t v) {
    if (v < 10) {
        *p = static_cast<char>('0' + v);
        return p + 1;
    }
    if (v < 100) return put_pair(p, static_cast<unsigned>(v));
    if (v < 1000) {
        *p++ = static_cast<char>('0' + v / 100);
        return put_pair(p, static_cast<unsigned>(v % 100));
    }
    if (v < 10000) {
        p = put_pair(p, static_cast<unsigned>(v / 100));
        return put_pair(p, static_cast<unsigned>(v % 100));
    }
    char digits[20];
    int n = 0;
    while (v != 0) {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    }
    while (n > 0) *p++ = digits[--n];
    return p;
}

char *put_signed(char *p, int64_t v) {
    if (v < 0) {
        *p++ = '-';
        return put_unsigned(p, 0u - static_cast<uint64_t>(v));
    }
    return put_unsigned(p, static_cast<uint64_t>(v));
}

// Like "%0*d": at least `width` digits for values that are not negative.
char *put_padded(char *p, int64_t v, int width) {
    if (v >= 0) {
        uint64_t scale = 1;
        for (int i = 1; i < width; ++i) scale *= 10;
        for (; static_cast<uint64_t>(v) < scale && scale > 1; scale /= 10) *p++ = '0';
    }
    return put_signed(p, v);
}

// ---- calendar ---------------------------------------------------------------------

int64_t floor_div(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
}

// Days since 1970-01-01 of a proleptic Gregorian date (m 1-12, d 1-31).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = floor_div(y, 400);
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int64_t *y, unsigned *m, unsigned *d) {
    z += 719468;
    const int64_t era = floor_div(z, 146097);
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2 ? 1 : 0);
}

bool plain_fields(const std::tm &tm) {
    return tm.tm_mon >= 0 && tm.tm_mon <= 11 && tm.tm_mday >= 1 && tm.tm_mday <= 31 && tm.tm_hour >= 0 &&
           tm.tm_hour <= 23 && tm.tm_min >= 0 && tm.tm_min <= 59 && tm.tm_sec >= 0 && tm.tm_sec <= 59;
}

// Local time minus UTC at `t`, in seconds.
int64_t utc_offset(const std::tm &tm, int64_t t) {
    const int64_t days = days_from_civil(int64_t{tm.tm_year} + 1900, static_cast<unsigned>(tm.tm_mon + 1),
                                         static_cast<unsigned>(tm.tm_mday));
    return days * 86400 + tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec - t;
}

// ---- date and time of a record -------------------------------------------------------

// "%Y/%m/%d;%H:%M:%S" is never longer than this, whatever the host's conversion returns.
constexpr size_t kDateTimeMax = 80;

// Renders record times in local time. Asking the host for every record would
// dominate the conversion, so the UTC offset is taken once per UTC hour: when
// the host reports the same offset at the hour's first and last second (and
// no leap second), every time of that hour is that offset away from UTC.
// Hours holding a time-zone change are converted record by record.
class LocalTimeText {
public:
    explicit LocalTimeText(LocalTimeFn local_time) : local_time_(local_time) {}

    char *write(char *p, int32_t time) {
        const int64_t t = time;
        const int64_t hour = floor_div(t, 3600) * 3600;
        if (hour != hour_) load_hour(hour);
        if (!uniform_) return write_direct(p, t);

        const int64_t local = t + offset_;
        const int64_t day = floor_div(local, 86400);
        if (day != day_) load_day(day);
        std::memcpy(p, date_, sizeof date_);
        p += sizeof date_;
        *p++ = ';';
        const auto second_of_day = static_cast<unsigned>(local - day * 86400);
        p = put_pair(p, second_of_day / 3600);
        *p++ = ':';
        p = put_pair(p, second_of_day / 60 % 60);
        *p++ = ':';
        return put_pair(p, second_of_day % 60);
    }

private:
    void load_hour(int64_t hour) {
        hour_ = hour;
        uniform_ = false;
        std::tm first{};
        std::tm last{};
        if (!local_time_(hour, &first) || !local_time_(hour + 3599, &last)) return;
        if (!plain_fields(first) || !plain_fields(last)) return;
        const int64_t offset = utc_offset(first, hour);
        if (utc_offset(last, hour + 3599) != offset) return;
        // Real zones stay within a day of UTC; anything else is left to the host.
        if (offset < -86400 || offset > 86400) return;
        uniform_ = true;
        offset_ = offset;
    }

    void load_day(int64_t day) {
        day_ = day;
        int64_t y = 0;
        unsigned m = 0;
        unsigned d = 0;
        civil_from_days(day, &y, &m, &d);
        // Record times are 32-bit, so the year always has four digits.
        char *p = date_;
        p = put_pair(p, static_cast<unsigned>(y / 100 % 100));
        p = put_pair(p, static_cast<unsigned>(y % 100));
        *p++ = '/';
        p = put_pair(p, m);
        *p++ = '/';
        put_pair(p, d);
    }

    char *write_direct(char *p, int64_t t) const {
        std::tm tm{};
        if (!local_time_(t, &tm)) {
            // A time the host cannot render still gets a line of the usual shape.
            static constexpr char kUnknown[] = "0000/00/00;00:00:00";
            std::memcpy(p, kUnknown, sizeof kUnknown - 1);
            return p + sizeof kUnknown - 1;
        }
        p = put_padded(p, int64_t{tm.tm_year} + 1900, 4);
        *p++ = '/';
        p = put_padded(p, int64_t{tm.tm_mon} + 1, 2);
        *p++ = '/';
        p = put_padded(p, tm.tm_mday, 2);
        *p++ = ';';
        p = put_padded(p, tm.tm_hour, 2);
        *p++ = ':';
        p = put_padded(p, tm.tm_min, 2);
        *p++ = ':';
        return put_padded(p, tm.tm_sec, 2);
    }

    static constexpr int64_t kNone = INT64_MIN;
    LocalTimeFn local_time_;
    int64_t hour_ = kNone;
    bool uniform_ = false;
    int64_t offset_ = 0;
    int64_t day_ = kNone;
    char date_[10] = {};
};

// ---- records -------------------------------------------------------------------------

constexpr size_t kHeaderSize = 8;
constexpr size_t kPairSize = 4;
// "w;s;" of one pair at its longest: "65535;-32768;".
constexpr size_t kPairTextMax = 13;
// Date and time, ";type;group;count;" and CR LF at their longest.
constexpr size_t kLineFixedMax = kDateTimeMax + 12 + 2;

constexpr size_t line_max(size_t pairs) { return kLineFixedMax + pairs * kPairTextMax; }

inline unsigned read_u16(const unsigned char *p) { return p[0] | (unsigned{p[1]} << 8); }

inline int32_t read_i32(const unsigned char *p) {
    const uint32_t u = p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
    return static_cast<int32_t>(u);
}

// Writes the line of the record at `r` with its first `pairs` pairs; the line
// end only when `complete`. At most line_max(pairs) characters.
char *format_record(char *p, const unsigned char *r, size_t pairs, bool complete, LocalTimeText &clock) {
    p = clock.write(p, read_i32(r + 2));
    *p++ = ';';
    p = put_unsigned(p, r[1]);
    *p++ = ';';
    p = put_unsigned(p, r[6]);
    *p++ = ';';
    p = put_unsigned(p, r[7]);
    *p++ = ';';
    const unsigned char *pair = r + kHeaderSize;
    for (size_t i = 0; i < pairs; ++i, pair += kPairSize) {
        p = put_unsigned(p, read_u16(pair));
        *p++ = ';';
        p = put_signed(p, static_cast<int16_t>(read_u16(pair + 2)));
        *p++ = ';';
    }
    if (complete) {
        *p++ = '\r';
        *p++ = '\n';
    }
    return p;
}

// ---- files ---------------------------------------------------------------------------------

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool is_line_end(char c) { return c == '\r' || c == '\n'; }

}  // namespace

int bin2csv(int type_filter, int group_filter, const unsigned char *data, int length, char *text,
            int *text_length) {
    return bin2csv_with_clock(platform::local_time, type_filter, group_filter, data, length, text, text_length);
}

int bin2csv_with_clock(LocalTimeFn local_time, int type_filter, int group_filter, const unsigned char *data,
                       int length, char *text, int *text_length) {
    if (text_length == nullptr) return -1;
    const int capacity = *text_length;
    *text_length = 0;
    if (local_time == nullptr || text == nullptr || (data == nullptr && length != 0)) return -1;

    // Characters that fit before the terminating zero; the output is full when
    // they are all used.
    const int64_t limit = int64_t{capacity} - 1;
    int64_t pos = 0;
    auto finish = [&](int result) {
        if (capacity > 0) text[pos] = '\0';
        *text_length = static_cast<int>(pos);
        return result;
    };
    if (length < 0) return finish(-1);

    LocalTimeText clock(local_time);
    std::array<char, line_max(255)> scratch;
    const auto size = static_cast<size_t>(length);
    size_t offset = 0;
    while (offset < size) {
        if (size - offset < kHeaderSize) return finish(-1);
        const unsigned char *r = data + offset;
        if (!keep_record(type_filter, group_filter, r[1], r[6])) {
            // A length of 0 would read the same record forever.
            if (r[0] == 0) return finish(-1);
            offset += r[0];
            continue;
        }
        const size_t count = r[7];
        const size_t present = std::min(count, (size - offset - kHeaderSize) / kPairSize);
        const bool cut_short = present < count;

        if (static_cast<int64_t>(line_max(present)) < limit - pos) {
            // Room for the longest possible line: write in place.
            char *end = format_record(text + pos, r, present, !cut_short, clock);
            pos = end - text;
            if (cut_short) return finish(-1);
        } else {
            // The line may run the output full: build it aside, keep what fits.
            char *end = format_record(scratch.data(), r, present, !cut_short, clock);
            const int64_t line_length = end - scratch.data();
            const int64_t room = std::max<int64_t>(limit - pos, 0);
            const int64_t kept = std::min(line_length, room);
            std::memcpy(text + pos, scratch.data(), static_cast<size_t>(kept));
            pos += kept;
            if (pos >= limit) return finish(0);
            if (cut_short) return finish(-1);
        }
        offset += kHeaderSize + count * kPairSize;
    }
    return finish(0);
}

int read_last_line(const char *file_name, char *buffer, int size, int *code, bool *cut) {
    if (code != nullptr) *code = 0;
    if (cut != nullptr) *cut = false;
    if (file_name == nullptr || buffer == nullptr || size < 2) return -1;
    File file(std::fopen(file_name, "rb"));
    if (!file) {
        if (code != nullptr) *code = kFILE_OPEN;
        return -1;
    }
    if (std::fseek(file.get(), 0, SEEK_END) != 0) return -1;
    const long file_size = std::ftell(file.get());
    if (file_size < 0) return -1;

    // The scan back looks at no more than size - 1 bytes, and the line it
    // finds lies within them. One byte more, when the file has it, tells
    // whether a line that fills the whole scan begins there or earlier.
    const long scan = std::min<long>(file_size, size - 1);
    const long tail_size = std::min<long>(file_size, scan + 1);
    std::vector<char> tail;
    try {
        tail.resize(static_cast<size_t>(tail_size));
    } catch (const std::bad_alloc &) {
        if (code != nullptr) *code = kMEMORY;
        return -1;
    }
    if (tail_size > 0) {
        if (std::fseek(file.get(), file_size - tail_size, SEEK_SET) != 0) return -1;
        if (std::fread(tail.data(), 1, tail.size(), file.get()) != tail.size()) return -1;
    }

    // Scan back from the last byte; a line end in the last two bytes belongs to
    // the last line itself. The line starts after the stop byte, or at the
    // first byte scanned when the scan got there without stopping.
    const long first = tail_size - scan;  // 1 when the byte before the scan was read
    long start = first;
    bool stopped = false;
    for (long back = 1; back <= scan; ++back) {
        const long at = tail_size - back;
        const auto c = static_cast<unsigned char>(tail[static_cast<size_t>(at)]);
        if ((back >= 3 && is_line_end(static_cast<char>(c))) || c == 0xFF) {
            start = at + 1;
            stopped = true;
            break;
        }
    }
    if (!stopped && first == 1 && cut != nullptr) {
        const auto before = static_cast<unsigned char>(tail[0]);
        *cut = !is_line_end(static_cast<char>(before)) && before != 0xFF;
    }
    if (start >= tail_size) return -1;  // nothing left to read

    // One line as a C stream would read it: up to and including a LF, at most
    // size - 1 characters, a NUL ending the text early.
    size_t n = 0;
    const size_t max = static_cast<size_t>(size - 1);
    for (long i = start; i < tail_size && n < max; ++i) {
        const char c = tail[static_cast<size_t>(i)];
        buffer[n++] = c;
        if (c == '\n') break;
    }
    buffer[n] = '\0';
    const size_t line_length = std::strlen(buffer);
    buffer[line_length >= 2 ? line_length - 2 : 0] = '\0';
    return 0;
}

int duplicate_seek(const char *file_name, const char *last_line, const char *text, int length, int *offset,
                   int *code) {
    int ignored = 0;
    int &result_code = code != nullptr ? *code : ignored;
    result_code = 0;
    if (offset == nullptr) {
        result_code = kNULL_POINTER;
        return -1;
    }
    *offset = 0;
    if (file_name == nullptr && last_line == nullptr) {
        result_code = kUNKNOWN_VALUE;
        return -1;
    }
    if (length < 0) {
        result_code = kNUMBER_RANGE;
        return -1;
    }
    if (text == nullptr && length > 0) {
        result_code = kNULL_POINTER;
        return -1;
    }

    std::vector<char> read_line;
    bool cut = false;  // only the end of the file's last line was read
    if (last_line == nullptr) {
        try {
            read_line.resize(kLastLineSize);
        } catch (const std::bad_alloc &) {
            result_code = kMEMORY;
            return -1;
        }
        // An unreadable file only means nothing overlaps; a line that could
        // not be read for want of memory may well overlap.
        if (read_last_line(file_name, read_line.data(), kLastLineSize, &result_code, &cut) != 0)
            return result_code == kMEMORY ? -1 : 0;
        last_line = read_line.data();
    }
    if (*last_line == '\0') return 0;
    const size_t wanted = std::strlen(last_line);

    // Lines split at runs of CR and LF; a NUL ends the text.
    const char *p = text;
    const char *end = text + length;
    if (length > 0) {
        if (const void *nul = std::memchr(text, '\0', static_cast<size_t>(length)); nul != nullptr)
            end = static_cast<const char *>(nul);
    }
    int64_t sum = 0;
    while (p < end) {
        while (p < end && is_line_end(*p)) ++p;
        if (p == end) break;
        const char *line = p;
        while (p < end && !is_line_end(*p)) ++p;
        const auto line_length = static_cast<size_t>(p - line);
        // Every line is counted with a two-byte line end, as CR LF lines have.
        sum += static_cast<int64_t>(line_length) + 2;
        // A last line longer than the reader holds is known by its end.
        const bool same = cut ? line_length >= wanted && std::memcmp(p - wanted, last_line, wanted) == 0
                              : line_length == wanted && std::memcmp(line, last_line, wanted) == 0;
        if (same) {
            *offset = static_cast<int>(std::min<int64_t>(sum, length));
            return 0;
        }
    }
    return 0;
}

}  // namespace kalax::pld
