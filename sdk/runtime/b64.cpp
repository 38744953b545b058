#include "sdk/runtime/b64.h"

#include <cstdint>

namespace kalax {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';

// Writes characters and breaks lines between them. Breaking per character
// rather than per 4-character group keeps the output exactly as long as the
// size computed up front, whatever line length a caller picks.
class LineWriter {
public:
    LineWriter(char *out, size_t line_length) : out_(out), line_length_(line_length) {}

    void put(char c) {
        if (line_length_ != 0 && column_ == line_length_) {
            *out_++ = '\r';
            *out_++ = '\n';
            column_ = 0;
        }
        *out_++ = c;
        ++column_;
    }

private:
    char *out_;
    size_t line_length_;
    size_t column_ = 0;
};

// Size of the encoding, line breaks included; false when it does not fit a size_t.
bool needed_size(size_t length, size_t line_length, size_t *size) {
    const size_t groups = length / 3 + (length % 3 != 0 ? 1 : 0);
    if (groups > SIZE_MAX / 4) return false;
    size_t chars = groups * 4;
    if (line_length != 0 && chars != 0) {
        const size_t lines = chars / line_length + (chars % line_length != 0 ? 1 : 0);
        const size_t breaks = lines - 1;
        if (breaks > (SIZE_MAX - chars) / 2) return false;
        chars += breaks * 2;
    }
    *size = chars;
    return true;
}

}  // namespace

size_t b64_encode_lines(const void *source, size_t length, char *destination, size_t capacity,
                        size_t line_length, B64Status *status) {
    if (status != nullptr) *status = B64Status::Ok;
    size_t size = 0;
    if (!needed_size(length, line_length, &size)) {
        if (status != nullptr) *status = B64Status::DestinationTooSmall;
        return 0;
    }
    if (destination == nullptr) return size;
    if (capacity < size) {
        if (status != nullptr) *status = B64Status::DestinationTooSmall;
        return 0;
    }
    if (length != 0 && source == nullptr) return 0;

    const auto *in = static_cast<const unsigned char *>(source);
    LineWriter out(destination, line_length);
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
        out.put(kAlphabet[(v >> 18) & 0x3F]);
        out.put(kAlphabet[(v >> 12) & 0x3F]);
        out.put(kAlphabet[(v >> 6) & 0x3F]);
        out.put(kAlphabet[v & 0x3F]);
    }
    const size_t rest = length - i;
    if (rest != 0) {
        uint32_t v = uint32_t{in[i]} << 16;
        if (rest == 2) v |= uint32_t{in[i + 1]} << 8;
        out.put(kAlphabet[(v >> 18) & 0x3F]);
        out.put(kAlphabet[(v >> 12) & 0x3F]);
        out.put(rest == 2 ? kAlphabet[(v >> 6) & 0x3F] : kPad);
        out.put(kPad);
    }
    return size;
}

}  // namespace kalax
