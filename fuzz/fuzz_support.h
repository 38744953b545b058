// Small helpers shared by the fuzz targets: taking control bytes off the front
// of an input, and stopping with a readable message when a result breaks a
// promise the code makes (libFuzzer then keeps the input as a crash).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace kalax::fuzz {

// Reads control values off the front of the input; once it runs dry every
// value is 0, so short inputs still reach the code with defaults.
class Bytes {
public:
    Bytes(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    uint8_t byte() {
        if (size_ == 0) return 0;
        --size_;
        return *data_++;
    }
    uint16_t u16() {
        const uint16_t lo = byte();
        return static_cast<uint16_t>(lo | (byte() << 8));
    }
    // Up to `n` bytes (fewer when the input ends).
    std::string_view take(size_t n) {
        if (n > size_) n = size_;
        const std::string_view s(reinterpret_cast<const char *>(data_), n);
        data_ += n;
        size_ -= n;
        return s;
    }
    std::string_view rest() { return take(size_); }
    size_t left() const { return size_; }

private:
    const uint8_t *data_;
    size_t size_;
};

[[noreturn]] inline void broken(const char *what, const char *file, int line) {
    std::fprintf(stderr, "%s:%d: broken promise: %s\n", file, line, what);
    std::abort();
}

}  // namespace kalax::fuzz

// Like assert, but never compiled out.
#define FUZZ_CHECK(cond)                                                      \
    do {                                                                      \
        if (!(cond)) ::kalax::fuzz::broken(#cond, __FILE__, __LINE__);        \
    } while (0)
