#include "sdk/runtime/b64.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

namespace {

using kalax::B64Status;
using kalax::b64_encode;
using kalax::b64_encode_lines;

std::string encode(const std::string &in, size_t line_length = 0) {
    const size_t size = b64_encode_lines(in.data(), in.size(), nullptr, 0, line_length, nullptr);
    std::string out(size, '\0');
    B64Status status = B64Status::DestinationTooSmall;
    const size_t n = b64_encode_lines(in.data(), in.size(), out.data(), out.size(), line_length, &status);
    EXPECT_EQ(n, size);
    EXPECT_EQ(status, B64Status::Ok);
    return out;
}

TEST(B64, Rfc4648Vectors) {
    const std::array<std::pair<const char *, const char *>, 8> table{{
        {"", ""},
        {"a", "YQ=="},
        {"ab", "YWI="},
        {"abc", "YWJj"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {":", "Og=="},
    }};
    for (const auto &[in, want] : table) EXPECT_EQ(encode(in), want) << in;
}

TEST(B64, AllByteValuesUseWholeAlphabet) {
    const unsigned char in[3] = {0xFB, 0xEF, 0xBE};  // 111110 111110 111110 111110
    char out[4];
    ASSERT_EQ(b64_encode(in, 3, out, sizeof out), 4u);
    EXPECT_EQ(std::string(out, 4), "++++");
    const unsigned char ones[3] = {0xFF, 0xFF, 0xFF};
    ASSERT_EQ(b64_encode(ones, 3, out, sizeof out), 4u);
    EXPECT_EQ(std::string(out, 4), "////");
}

TEST(B64, SizeQueryAndTooSmallDestination) {
    EXPECT_EQ(b64_encode("abcd", 4, nullptr, 0), 8u);
    EXPECT_EQ(b64_encode("", 0, nullptr, 0), 0u);

    char out[8];
    std::memset(out, '#', sizeof out);
    B64Status status = B64Status::Ok;
    EXPECT_EQ(b64_encode_lines("abcd", 4, out, 7, 0, &status), 0u);
    EXPECT_EQ(status, B64Status::DestinationTooSmall);
    for (char c : out) EXPECT_EQ(c, '#');

    // No terminator is written past the encoding.
    EXPECT_EQ(b64_encode_lines("abcd", 4, out, 8, 0, &status), 8u);
    EXPECT_EQ(status, B64Status::Ok);
}

TEST(B64, LineBreaksOnlyBetweenLines) {
    // 12 bytes -> 16 characters: with lines of 8, one break, none at the end.
    EXPECT_EQ(encode("abcdefghijkl", 8), "YWJjZGVm\r\nZ2hpamts");
    EXPECT_EQ(b64_encode_lines("abcdefghijkl", 12, nullptr, 0, 8, nullptr), 18u);
    // 13 bytes -> 20 characters: two breaks.
    EXPECT_EQ(encode("abcdefghijklm", 8), "YWJjZGVm\r\nZ2hpamts\r\nbQ==");
    // A line length that is not a multiple of 4 still matches the announced size.
    EXPECT_EQ(encode("abcdef", 3), "YWJ\r\njZG\r\nVm");
}

}  // namespace
