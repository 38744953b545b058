#include "tools/cli/logtext.h"

#include <cstring>
#include <vector>

#include "kalax/zxapi.h"
#include "tools/cli/failure.h"

namespace kalax::cli {

namespace {

bool digits(std::string_view s, size_t n) {
    if (s.size() != n) return false;
    for (const char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

bool whole_number(std::string_view s) {
    if (!s.empty() && s[0] == '-') s.remove_prefix(1);
    if (s.empty() || s.size() > 11) return false;
    for (const char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// Fields split at ';'; a trailing ';' ends the last field rather than opening an empty one.
std::vector<std::string_view> fields_of(std::string_view line) {
    std::vector<std::string_view> fields;
    while (!line.empty()) {
        const size_t semi = line.find(';');
        fields.push_back(line.substr(0, semi));
        if (semi == std::string_view::npos) break;
        line.remove_prefix(semi + 1);
    }
    return fields;
}

unsigned char small_field(std::string_view s) {
    int v = 0;
    for (const char c : s)
        if (c >= '0' && c <= '9') v = (v * 10 + (c - '0')) & 0xFFFF;
    return static_cast<unsigned char>(v & 0xFF);
}

// Binary record: length byte, type, time (4 bytes), group, value count, then
// four bytes per value.
constexpr size_t kBinaryHead = 8;

// A line as it may appear in a message: printable ASCII, at most 40 characters.
std::string quoted(std::string_view line) {
    std::string out;
    for (const char c : line.substr(0, 40)) out += (c >= 0x20 && c < 0x7F) ? c : '?';
    if (line.size() > 40) out += "...";
    return "'" + out + "'";
}

}  // namespace

bool is_log_record(std::string_view line) {
    const std::vector<std::string_view> f = fields_of(line);
    if (f.size() < 5) return false;
    const std::string_view date = f[0], time = f[1];
    if (date.size() != 10 || date[4] != '/' || date[7] != '/' || !digits(date.substr(0, 4), 4) ||
        !digits(date.substr(5, 2), 2) || !digits(date.substr(8, 2), 2))
        return false;
    if (time.size() != 8 || time[2] != ':' || time[5] != ':' || !digits(time.substr(0, 2), 2) ||
        !digits(time.substr(3, 2), 2) || !digits(time.substr(6, 2), 2))
        return false;
    for (size_t i = 2; i < f.size(); ++i)
        if (!whole_number(f[i])) return false;
    return true;
}

bool keep_log_line(std::string_view line, int type_filter, int group_filter) {
    const std::vector<std::string_view> f = fields_of(line);
    if (f.size() < 4) return false;
    return zxapi::KeepLogRecord(type_filter, group_filter, small_field(f[2]), small_field(f[3]));
}

LogLines split_csv_log(std::string_view raw, int type_filter, int group_filter, const std::string &context) {
    LogLines out;
    size_t number = 0;
    while (!raw.empty()) {
        const size_t lf = raw.find('\n');
        if (lf == std::string_view::npos) {
            out.cut_bytes = raw.size();
            break;
        }
        std::string_view line = raw.substr(0, lf);
        raw.remove_prefix(lf + 1);
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        if (line.find('\0') != std::string_view::npos) {
            ++out.nul_lines;
            continue;
        }
        if (!is_log_record(line))
            fail(11, context + ": not a data log (line " + std::to_string(number) + ": " + quoted(line) + ")");
        if (keep_log_line(line, type_filter, group_filter)) {
            out.text.append(line);
            out.text.append("\r\n");
            ++out.count;
        }
    }
    return out;
}

BinaryRecords scan_binary_records(std::string_view raw) {
    BinaryRecords r;
    while (raw.size() - r.bytes >= kBinaryHead) {
        const auto length = static_cast<unsigned char>(raw[r.bytes]);
        const auto values = static_cast<unsigned char>(raw[r.bytes + 7]);
        if (length != kBinaryHead + 4u * values) {
            r.malformed = true;
            break;
        }
        if (raw.size() - r.bytes < length) break;
        r.bytes += length;
        ++r.count;
    }
    return r;
}

size_t whole_binary_records(std::string_view raw, const std::string &context) {
    const BinaryRecords r = scan_binary_records(raw);
    if (r.malformed)
        fail(11, context + ": not a binary data log (bad record at byte " + std::to_string(r.bytes) + ")");
    return r.bytes;
}

}  // namespace kalax::cli
