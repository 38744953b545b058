#include "ax/codepage.h"

#include <array>
#include <cstdint>

namespace kalax::ax {
namespace {

// 0x80-0x9F; every other byte is the character of the same number.
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

int encode_one(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return c;
    for (size_t i = 0; i < kHigh.size(); ++i)
        if (kHigh[i] == c) return static_cast<int>(0x80 + i);
    return -1;
}

}  // namespace

std::u16string cp1252_decode(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    for (char ch : bytes) {
        const auto b = static_cast<uint8_t>(ch);
        out.push_back(b >= 0x80 && b < 0xA0 ? kHigh[b - 0x80] : static_cast<char16_t>(b));
    }
    return out;
}

bool cp1252_encode(std::u16string_view text, std::string &out) {
    out.clear();
    out.reserve(text.size());
    for (char16_t c : text) {
        const int b = encode_one(c);
        if (b < 0) return false;
        out.push_back(static_cast<char>(b));
    }
    return true;
}

}  // namespace kalax::ax
