#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kalax/zx.h"

namespace {

std::vector<std::string> all_strsep(std::string text, const char *delim) {
    std::vector<std::string> out;
    char *p = text.data();
    while (char *field = zx_strsep(&p, delim)) out.emplace_back(field);
    return out;
}

std::vector<std::string> all_strtok(std::string text, const char *delim) {
    std::vector<std::string> out;
    char *save = nullptr;
    for (char *t = zx_strtok_r(text.data(), delim, &save); t != nullptr; t = zx_strtok_r(nullptr, delim, &save))
        out.emplace_back(t);
    return out;
}

TEST(Strsep, AdjacentDelimitersYieldEmptyFields) {
    EXPECT_EQ(all_strsep("a,,b", ","), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(all_strsep("", ","), (std::vector<std::string>{""}));
    EXPECT_EQ(all_strsep(",", ","), (std::vector<std::string>{"", ""}));
    EXPECT_EQ(all_strsep("a;b,c", ";,"), (std::vector<std::string>{"a", "b", "c"}));
    char *null_string = nullptr;
    EXPECT_EQ(zx_strsep(&null_string, ","), nullptr);
}

TEST(StrtokR, RunsOfDelimitersNeverYieldEmptyTokens) {
    EXPECT_EQ(all_strtok(",a,,b,", ","), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(all_strtok("\r\n\r\nx\r\r\ny\n", "\r\n"), (std::vector<std::string>{"x", "y"}));
    EXPECT_TRUE(all_strtok(",,,", ",").empty());
    EXPECT_TRUE(all_strtok("", ",").empty());
}

TEST(StrtokR, SavedPositionIsClearedAtTheEnd) {
    std::string text = "a,b";
    char *save = reinterpret_cast<char *>(&save);  // garbage on entry must not matter
    EXPECT_STREQ(zx_strtok_r(text.data(), ",", &save), "a");
    EXPECT_STREQ(zx_strtok_r(nullptr, ",", &save), "b");
    EXPECT_EQ(save, nullptr);
    EXPECT_EQ(zx_strtok_r(nullptr, ",", &save), nullptr);
    EXPECT_EQ(zx_strtok_r(nullptr, ",", &save), nullptr);
}

TEST(Basename, Table) {
    const std::vector<std::pair<std::string, std::string>> table{
        {"dir/file.xml", "file.xml"},
        {"dir/sub/", "sub"},
        {"/", "/"},
        {"\\", "\\"},
        {"", ""},
        {"file", "file"},
        {"a\\b/c", "b/c"},    // the backslash wins even before a slash
        {"a/b\\c", "c"},
        {"c:\\dir\\", "dir"},  // one trailing separator dropped
        {"dir//", ""},         // only one
        {"x/", "x"},
    };
    for (const auto &[in, want] : table) {
        std::string path = in;
        EXPECT_EQ(zx_basename(path.data()), want) << in;
    }
    EXPECT_EQ(zx_basename(nullptr), nullptr);
}

TEST(Htoi, SkipsOtherCharactersAndWraps) {
    const std::vector<std::pair<const char *, int32_t>> table{
        {"1A", 26},
        {"0x1f", 31},
        {"ff ff", 65535},
        {"", 0},
        {"zz", 0},
        {"7fffffff", 0x7fffffff},
        {"80000000", INT32_MIN},
        {"ffffffff", -1},
        {"1ffffffff", -1},   // the ninth digit wraps away
        {"123456789", 0x23456789},
    };
    for (const auto &[in, want] : table) EXPECT_EQ(zx_htoi(in), want) << in;
    EXPECT_EQ(zx_htoi(nullptr), 0);
}

}  // namespace
