// The log-format code with each of its allocations failing in turn: the
// conversion, the CSV filter pass, the overlap search with its last-line
// reader, and the growing download buffer.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "alloc/failing_alloc.h"
#include "kalax/zxpld.h"
#include "sdk/pld/client.h"
#include "sdk/pld/filter.h"
#include "sdk/pld/logformat.h"
#include "sdk/runtime/result_codes.h"

namespace kalax::test {
namespace {

using alloc::torture;

int pld_code() {
    zx_error_struct e{};
    zxpld_error(0, &e);
    return e.code;
}

std::string csv_lines(int n) {
    std::string text;
    for (int i = 0; i < n; ++i) {
        text += "2008/03/15;14:05:0" + std::to_string(i % 10) + ";" + std::to_string(i % 2) + ";" +
                std::to_string(i % 5) + ";1;" + std::to_string(i) + ";-1;\r\n";
    }
    return text;
}

// A log file with a few lines, removed at the end of the test.
class LogFile {
public:
    explicit LogFile(const std::string &text) {
        char name[] = "/tmp/kalax-alloc-XXXXXX";
        const int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        if (fd >= 0) {
            EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
            close(fd);
        }
        name_ = name;
    }
    ~LogFile() { std::remove(name_.c_str()); }
    LogFile(const LogFile &) = delete;
    LogFile &operator=(const LogFile &) = delete;
    const char *name() const { return name_.c_str(); }

private:
    std::string name_;
};

TEST(AllocLog, ConversionNeedsNoMemory) {
    // Two records, the second an alarm of group 3.
    const unsigned char log[] = {0x0c, 0x00, 0x95, 0xd7, 0xdb, 0x47, 0x00, 0x01, 0x05, 0x00, 0x10, 0x00,
                                 0x10, 0x01, 0x95, 0xd7, 0xdb, 0x47, 0x03, 0x02, 0x03, 0x00, 0x83, 0xff,
                                 0x07, 0x00, 0x01, 0x00};
    char text[256];
    int length = 0;
    const long runs = torture(
        [&] {
            length = sizeof text;
            return zxpld_bin2csv(0, log, sizeof log, text, &length);
        },
        [&](int rc, bool failed) {
            EXPECT_FALSE(failed);
            EXPECT_EQ(rc, 0);
        });
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(std::count(text, text + length, '\n'), 2);
}

// The filter pass either gives what it gives with all its memory or fails
// with the text as it was.
TEST(AllocLog, FilterPassFailsWithTheTextUnchangedOrFiltersWhole) {
    // Lines ended by a lone LF grow the text, so the pass must grow the vector.
    std::string source = csv_lines(40);
    for (size_t at = source.find("\r\n"); at != std::string::npos; at = source.find("\r\n", at + 1))
        source.erase(at, 1);
    const std::vector<char> input(source.begin(), source.end());
    std::vector<char> want = input;
    int want_length = static_cast<int>(source.size());
    ASSERT_EQ(pld::csv_filter_pass(0, 0, want, &want_length), 0);
    ASSERT_GT(want_length, static_cast<int>(input.size()));

    std::vector<char> text;
    int length = 0;
    long held = 0;
    const long runs = torture(
        [&] { return pld::csv_filter_pass(0, 0, text, &length); },
        [&](int rc, bool failed) {
            if (failed && rc == -1) {
                EXPECT_EQ(length, static_cast<int>(input.size()));
                EXPECT_TRUE(text == input) << "a failed pass changed the text";
            } else {
                EXPECT_EQ(rc, 0);
                EXPECT_EQ(length, want_length);
                EXPECT_EQ(std::string(text.data(), static_cast<size_t>(length)),
                          std::string(want.data(), static_cast<size_t>(want_length)));
            }
            // The text may keep its grown block; nothing else may stay.
            std::vector<char>().swap(text);
            EXPECT_EQ(alloc::outstanding(), held);
        },
        [&] {
            text = input;
            length = static_cast<int>(input.size());
            held = alloc::outstanding();
        },
        false);
    EXPECT_GT(runs, 2);
}

// Without memory for the last line the search must fail: "nothing overlaps"
// would make the caller append lines the file already holds.
TEST(AllocLog, OverlapSearchFailsWithCode5OrFindsTheLine) {
    const std::string old_lines = csv_lines(6);
    const LogFile file(old_lines);
    const std::string fresh = csv_lines(9);  // the six old lines and three new
    int want = -1;
    ASSERT_EQ(zxpld_duplicate_seek(file.name(), nullptr, fresh.data(), static_cast<int>(fresh.size()), &want), 0);
    ASSERT_EQ(want, static_cast<int>(old_lines.size()));

    int offset = -1;
    const long runs = torture(
        [&] { return zxpld_duplicate_seek(file.name(), nullptr, fresh.data(), static_cast<int>(fresh.size()), &offset); },
        [&](int rc, bool failed) {
            if (failed && rc == -1) {
                EXPECT_EQ(pld_code(), kMEMORY);
                return;
            }
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(offset, want) << "an overlap search that lost memory reported success";
        },
        [&] {
            offset = -1;
            pld::client().rt.set_error(0, 0);
        });
    EXPECT_GT(runs, 2);

    // With the last line given, nothing is read and nothing needs memory.
    const std::string last = old_lines.substr(old_lines.rfind("2008", old_lines.size() - 3));
    const std::string line = last.substr(0, last.size() - 2);
    EXPECT_EQ(torture(
                  [&] {
                      return zxpld_duplicate_seek(nullptr, line.c_str(), fresh.data(),
                                                  static_cast<int>(fresh.size()), &offset);
                  },
                  [&](int rc, bool) {
                      EXPECT_EQ(rc, 0);
                      EXPECT_EQ(offset, want);
                  }),
              1);
}

// The download buffer keeps what it holds when it cannot grow, and the chunk
// that did not fit is refused with code 5.
TEST(AllocLog, DownloadBufferKeepsItsTextWhenItCannotGrow) {
    // Chunks large enough to make the buffer grow four times past its step.
    std::vector<std::string> chunks;
    for (int i = 0; i < 8; ++i) chunks.push_back(std::string(60000, static_cast<char>('a' + i)));
    std::vector<char> buffer;
    size_t taken = 0;
    int kept = 0;
    long held = 0;
    const long runs = torture(
        [&] {
            pld::GrowingBody body(buffer, 3, nullptr, nullptr);
            for (taken = 0; taken < chunks.size(); ++taken) {
                if (const int rc = body.body(chunks[taken].data(), chunks[taken].size())) {
                    kept = body.length();
                    return rc;
                }
            }
            kept = body.length();
            return 0;
        },
        [&](int rc, bool failed) {
            EXPECT_EQ(rc, failed ? kMEMORY : 0);
            // What arrived before a refused chunk is kept whole and terminated.
            EXPECT_EQ(kept, static_cast<int>(taken * 60000));
            const std::string text(buffer.data());
            ASSERT_EQ(text.size(), taken * 60000);
            for (size_t i = 0; i < taken; ++i) EXPECT_EQ(text.substr(i * 60000, 60000), chunks[i]);
            // The buffer may keep its grown block; nothing else may stay.
            std::vector<char>().swap(buffer);
            EXPECT_EQ(alloc::outstanding(), held);
        },
        [&] {
            buffer.assign(1000, '\0');
            held = alloc::outstanding();
        },
        false);
    EXPECT_EQ(runs, 5);
}

}  // namespace
}  // namespace kalax::test
