#include "zxapi/device_text.h"

#include <charconv>
#include <cmath>

namespace zxapi::detail {

bool AppendTenths(std::string &out, float value) {
    const double v = value;
    if (!std::isfinite(v)) return false;
    // The largest float has 39 integral digits.
    char buffer[64];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::fixed, 1);
    if (r.ec != std::errc()) return false;
    out.append(buffer, r.ptr);
    return true;
}

void AppendDecimal(std::string &out, std::uint32_t value) {
    char buffer[16];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, r.ptr);
}

std::string IndexPrefix(bool present, std::uint32_t index) {
    std::string prefix;
    if (!present) return prefix;
    prefix = "<Idx>";
    AppendDecimal(prefix, index);
    prefix += "</Idx>";
    return prefix;
}

bool IsSendableName(std::string_view name) {
    std::size_t i = 0;
    while (i < name.size()) {
        const auto b = static_cast<unsigned char>(name[i]);
        std::uint32_t cp;
        std::size_t len;
        if (b < 0x80) {
            cp = b;
            len = 1;
        } else if (b >= 0xC2 && b <= 0xDF) {
            cp = b & 0x1Fu;
            len = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            cp = b & 0x0Fu;
            len = 3;
        } else if (b >= 0xF0 && b <= 0xF4) {
            cp = b & 0x07u;
            len = 4;
        } else {
            return false;  // continuation byte first, C0/C1 lead, or beyond U+10FFFF
        }
        if (name.size() - i < len) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto c = static_cast<unsigned char>(name[i + k]);
            if ((c & 0xC0u) != 0x80u) return false;
            cp = (cp << 6) | (c & 0x3Fu);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return false;
        if (cp >= 0xD800 && cp <= 0xDFFF) return false;
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return false;
        i += len;
    }
    return true;
}

void AppendEscaped(std::string &out, std::string_view text) {
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c;
        }
    }
}

std::string EntryRequest(std::string_view element, std::string_view prefix, std::uint32_t id,
                         std::string_view fields) {
    std::string text;
    text.reserve(64 + 2 * element.size() + prefix.size() + fields.size());
    text += "<Root><";
    text += element;
    text += "><Entry>";
    text += prefix;
    text += "<ID>";
    AppendDecimal(text, id);
    text += "</ID>";
    text += fields;
    text += "</Entry></";
    text += element;
    text += "></Root>";
    return text;
}

}  // namespace zxapi::detail
