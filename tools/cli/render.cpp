#include "tools/cli/render.h"

#include <array>
#include <charconv>
#include <cmath>

#include "kalax/zxxml.h"
#include "tools/cli/failure.h"

namespace kalax::cli {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

void append_utf8(std::string &out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Windows-1252 bytes 0x80-0x9F; 0 marks the five bytes the code page leaves unassigned.
constexpr std::array<uint16_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// Length of the valid UTF-8 sequence at the start of `s` and its code point; 0 when invalid.
size_t decode_utf8(std::string_view s, uint32_t &cp) {
    const auto b0 = static_cast<unsigned char>(s[0]);
    size_t n = 0;
    uint32_t min = 0;
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    if (b0 >= 0xC2 && b0 <= 0xDF) n = 2, cp = b0 & 0x1F, min = 0x80;
    else if (b0 >= 0xE0 && b0 <= 0xEF) n = 3, cp = b0 & 0x0F, min = 0x800;
    else if (b0 >= 0xF0 && b0 <= 0xF4) n = 4, cp = b0 & 0x07, min = 0x10000;
    else return 0;
    if (s.size() < n) return 0;
    for (size_t i = 1; i < n; ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

std::string number(float value) {
    if (!std::isfinite(value)) return "null";
    // The library's mark of a limit the unit does not have.
    if (value == zxapi::kNoValue) return "null";
    char buffer[32];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, r.ptr);
}

// The tool's own JSON name of an item's kind, by the list it belongs to: the
// library's display texts name the same relay "Binary output" in values and
// "Realy output" in setup, a script must see one name.
struct KindName {
    uint8_t type;
    const char *name;
};
constexpr KindName kKindNames[] = {
    {zxapi::TYPE_BINARY_INPUT, "input"},          {zxapi::TYPE_BINARY_INPUT_COUNTER, "input"},
    {zxapi::TYPE_ANALOG_SENSOR_INPUT, "sensor"},  {zxapi::TYPE_ANALOG_SENSOR_OUTPUT, "sensor"},
    {zxapi::TYPE_RELAY_OUTPUT, "output"},         {zxapi::TYPE_RTS_OUTPUT, "output"},
    {zxapi::TYPE_DTR_OUTPUT, "output"},           {zxapi::TYPE_BINARY_OUTPUT, "output"},
};

const char *kind_name(uint8_t type) {
    for (const KindName &k : kKindNames)
        if (k.type == type) return k.name;
    return "unknown";
}

// ---- the table's columns ------------------------------------------------------------

struct Column {
    const char *title;
    bool right;  // numbers line up on the right
    std::string (*cell)(const Item &);
};

const Column kColumns[] = {
    {"KIND", false, [](const Item &i) { return display_to_utf8(i.text.SensType); }},
    {"ID", true, [](const Item &i) { return display_to_utf8(i.text.Id); }},
    {"NAME", false, [](const Item &i) { return clean_utf8(i.number.Name); }},
    {"VALUE", true, [](const Item &i) { return display_to_utf8(i.text.Value); }},
    {"UNITS", false, [](const Item &i) { return display_to_utf8(i.text.Units); }},
    {"MIN", true, [](const Item &i) { return display_to_utf8(i.text.Min); }},
    {"MAX", true, [](const Item &i) { return display_to_utf8(i.text.Max); }},
    {"ALARM", false, [](const Item &i) { return display_to_utf8(i.text.Alarm); }},
    {"STATE", false, [](const Item &i) { return display_to_utf8(i.text.State); }},
};
constexpr size_t kColumnCount = std::size(kColumns);

void print_row(FILE *out, const std::array<std::string, kColumnCount> &cells,
               const std::array<size_t, kColumnCount> &widths) {
    std::string line;
    for (size_t c = 0; c < kColumnCount; ++c) {
        const std::string pad(widths[c] - display_width(cells[c]), ' ');
        if (c > 0) line += "  ";
        if (kColumns[c].right) line += pad + cells[c];
        else line += cells[c] + (c + 1 < kColumnCount ? pad : "");
    }
    std::fprintf(out, "%s\n", line.c_str());
}

std::string unit_line(const zxapi::TXmlSensorEnum &unit, size_t items) {
    zxapi::TXmlSensorStr text;
    text.FromEnum(unit);
    std::string line = clean_utf8(unit.DevName);
    if (line.empty()) line = "(no name)";
    line += ", " + display_to_utf8(text.Family);
    if (!unit.MAC.empty()) line += ", MAC " + clean_utf8(unit.MAC);
    line += ", " + clean_utf8(unit.IP) + ":" + std::to_string(unit.Port);
    line += ", " + std::to_string(items) + (items == 1 ? " item" : " items");
    return line;
}

}  // namespace

std::string display_to_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (const char ch : text) {
        const auto b = static_cast<unsigned char>(ch);
        if (b < 0x80) out += ch;
        else if (b >= 0xA0) append_utf8(out, b);
        else if (kCp1252High[b - 0x80] != 0) append_utf8(out, kCp1252High[b - 0x80]);
        else out += kReplacement;
    }
    return out;
}

std::string clean_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        uint32_t cp = 0;
        const size_t n = decode_utf8(text, cp);
        if (n == 0) {
            out += kReplacement;
            text.remove_prefix(1);
            continue;
        }
        // C0 and C1 controls and DEL could move the cursor or start escape sequences.
        if (cp >= 0x20 && cp != 0x7F && !(cp >= 0x80 && cp < 0xA0)) out.append(text.substr(0, n));
        text.remove_prefix(n);
    }
    return out;
}

namespace {

struct Range {
    char32_t first, last;
};

// Marks that join the character before them: no column of their own.
constexpr Range kZeroWidth[] = {{0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A},
                                {0x064B, 0x065F}, {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E},
                                {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F}, {0x20D0, 0x20FF},
                                {0x302A, 0x302D}, {0x3099, 0x309A}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
                                {0xFEFF, 0xFEFF}, {0xE0100, 0xE01EF}};
// East Asian wide and fullwidth characters, and emoji: two columns on a terminal.
constexpr Range kDoubleWidth[] = {{0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},  {0x23E9, 0x23EC},
                                  {0x25FD, 0x25FE},   {0x2614, 0x2615},   {0x2E80, 0x303E},  {0x3041, 0x33FF},
                                  {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},  {0xA960, 0xA97F},
                                  {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},  {0xFE30, 0xFE6F},
                                  {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF},
                                  {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD}};

template <size_t N>
bool within(char32_t c, const Range (&ranges)[N]) {
    for (const Range &r : ranges)
        if (c >= r.first && c <= r.last) return true;
    return false;
}

}  // namespace

size_t display_width(std::string_view utf8) {
    size_t columns = 0;
    for (size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        char32_t c = length == 1 ? lead : lead & (0xFFu >> (length + 1));
        for (size_t k = 1; k < length && i + k < utf8.size(); ++k)
            c = (c << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3Fu);
        i += length;
        if (within(c, kZeroWidth)) continue;
        columns += within(c, kDoubleWidth) ? 2 : 1;
    }
    return columns;
}

std::string json_string(std::string_view utf8) {
    std::string out = "\"";
    for (const char ch : utf8) {
        const auto b = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (b < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", b);
            out += escaped;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

ItemList collect_items(int module, bool setup, const std::string &context) {
    auto failed = [&] {
        zx_error_struct e{};
        zxxml_error(module, &e);
        if (e.code == 0) e.code = 10;  // nothing stored: the record is simply absent
        fail(e, context);
    };
    const int count = zxapi::CountXmlItems(module, setup);
    if (count < 0) failed();
    ItemList list;
    list.items.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        Item item;
        if (zxapi::GetXmlItem(module, setup, i, item.number) != 0) failed();
        item.text.FromEnum(item.number);
        list.items.push_back(std::move(item));
    }
    // A position past the end still fills the unit-wide fields.
    (void)zxapi::GetXmlItem(module, setup, count, list.unit);
    return list;
}

void print_table(FILE *out, const ItemList &list) {
    std::fprintf(out, "%s\n", unit_line(list.unit, list.items.size()).c_str());
    std::vector<std::array<std::string, kColumnCount>> rows;
    std::array<std::string, kColumnCount> head;
    std::array<size_t, kColumnCount> widths{};
    for (size_t c = 0; c < kColumnCount; ++c) {
        head[c] = kColumns[c].title;
        widths[c] = display_width(head[c]);
    }
    for (const Item &item : list.items) {
        auto &row = rows.emplace_back();
        for (size_t c = 0; c < kColumnCount; ++c) {
            row[c] = kColumns[c].cell(item);
            widths[c] = std::max(widths[c], display_width(row[c]));
        }
    }
    print_row(out, head, widths);
    for (const auto &row : rows) print_row(out, row, widths);
}

void print_json(FILE *out, const ItemList &list) {
    const auto &u = list.unit;
    zxapi::TXmlSensorStr unit_text;
    unit_text.FromEnum(u);
    std::fprintf(out, "{\"device\": {\"name\": %s, \"family\": %s, \"family_code\": %d, \"mac\": %s, "
                      "\"address\": %s, \"port\": %d},\n\"items\": [",
                 json_string(clean_utf8(u.DevName)).c_str(), json_string(display_to_utf8(unit_text.Family)).c_str(),
                 u.Family, json_string(clean_utf8(u.MAC)).c_str(), json_string(clean_utf8(u.IP)).c_str(), u.Port);
    const char *separator = "\n";
    for (const Item &item : list.items) {
        const auto &n = item.number;
        const auto &t = item.text;
        auto text = [](const std::string &s) { return json_string(display_to_utf8(s)); };
        std::string o = "{\"kind\": " + json_string(kind_name(n.SensType)) + ", \"kind_text\": " + text(t.SensType);
        o += ", \"type\": " + std::to_string(n.SensType);
        o += ", \"id\": " + std::to_string(n.Id) + ", \"name\": " + json_string(clean_utf8(n.Name));
        o += ", \"value\": " + number(n.Value) + ", \"value_text\": " + text(t.Value);
        o += ", \"units\": " + text(t.Units) + ", \"units_code\": " + std::to_string(n.Units);
        o += ", \"min\": " + number(n.Min) + ", \"min_text\": " + text(t.Min);
        o += ", \"max\": " + number(n.Max) + ", \"max_text\": " + text(t.Max);
        o += ", \"hyst\": " + number(n.Hyst) + ", \"calib\": " + number(n.Calib);
        o += ", \"alarm\": " + std::to_string(n.Alarm) + ", \"alarm_text\": " + text(t.Alarm);
        o += ", \"state\": " + std::to_string(n.State) + ", \"state_text\": " + text(t.State);
        o += ", \"mode\": " + std::to_string(n.Mode) + ", \"mode_text\": " + text(t.Mode);
        o += ", \"counter\": " + std::to_string(n.Counter) + ", \"time\": " + std::to_string(n.Time) + "}";
        std::fprintf(out, "%s%s", separator, o.c_str());
        separator = ",\n";
    }
    std::fprintf(out, "\n]}\n");
}

}  // namespace kalax::cli
