// Base64 (RFC 4648 section 4 alphabet, "=" padding) for HTTP Basic credentials.
#pragma once

#include <cstddef>

namespace kalax {

enum class B64Status { Ok, DestinationTooSmall };

// Encodes `length` bytes. With `destination` null: returns the size needed.
// Otherwise writes the characters (no terminator) and returns their number, or
// 0 with `status` set when the destination is too small (nothing is written).
// `line_length` 0 means no line breaks; otherwise a multiple of 4, CR LF after
// every line_length characters.
size_t b64_encode_lines(const void *source, size_t length, char *destination, size_t capacity,
                        size_t line_length, B64Status *status);

inline size_t b64_encode(const void *source, size_t length, char *destination, size_t capacity) {
    B64Status status = B64Status::Ok;
    return b64_encode_lines(source, length, destination, capacity, 0, &status);
}

}  // namespace kalax
