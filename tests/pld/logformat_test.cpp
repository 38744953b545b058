#include "sdk/pld/logformat.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kalax/zxpld.h"

namespace {

using kalax::pld::bin2csv;
using kalax::pld::bin2csv_with_clock;
using kalax::pld::duplicate_seek;
using kalax::pld::read_last_line;

using Bytes = std::vector<unsigned char>;

void set_tz(const char *tz) {
    setenv("TZ", tz, 1);
    tzset();
}

struct Pair {
    uint16_t word;
    int16_t value;
};

// One record; `length_byte` < 0 means the well-formed 8 + 4 * count.
Bytes record(unsigned type, int32_t time, unsigned group, const std::vector<Pair> &pairs, int length_byte = -1) {
    Bytes r;
    r.push_back(static_cast<unsigned char>(length_byte < 0 ? 8 + 4 * pairs.size() : length_byte));
    r.push_back(static_cast<unsigned char>(type));
    const auto t = static_cast<uint32_t>(time);
    for (int i = 0; i < 4; ++i) r.push_back(static_cast<unsigned char>(t >> (8 * i)));
    r.push_back(static_cast<unsigned char>(group));
    r.push_back(static_cast<unsigned char>(pairs.size()));
    for (const Pair &p : pairs) {
        const auto v = static_cast<uint16_t>(p.value);
        r.push_back(static_cast<unsigned char>(p.word));
        r.push_back(static_cast<unsigned char>(p.word >> 8));
        r.push_back(static_cast<unsigned char>(v));
        r.push_back(static_cast<unsigned char>(v >> 8));
    }
    return r;
}

Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Converted {
    int result;
    std::string text;
};

// Converts into a buffer of `capacity` bytes framed by guard bytes, and checks
// that nothing outside the capacity was touched.
Converted convert(const Bytes &in, int capacity = 1 << 16, int type_filter = 0, int group_filter = 0) {
    constexpr size_t kGuard = 64;
    const size_t room = capacity > 0 ? static_cast<size_t>(capacity) : 0;
    std::vector<char> buffer(room + 2 * kGuard, '#');
    char *text = buffer.data() + kGuard;
    int length = capacity;
    const int result = bin2csv(type_filter, group_filter, in.data(), static_cast<int>(in.size()), text, &length);
    for (size_t i = 0; i < kGuard; ++i) {
        EXPECT_EQ(buffer[i], '#');
        EXPECT_EQ(buffer[kGuard + room + i], '#');
    }
    EXPECT_GE(length, 0);
    if (capacity > 0) {
        EXPECT_LT(length, capacity);
        EXPECT_EQ(text[length], '\0');
    } else {
        EXPECT_EQ(length, 0);
    }
    return {result, std::string(text, static_cast<size_t>(length))};
}

// The record of the format's description and its line in UTC.
const Bytes kExample{0x10, 0x01, 0x95, 0xd7, 0xdb, 0x47, 0x03, 0x02, 0x03, 0x00, 0x83, 0xff, 0x07, 0x00, 0x01, 0x00};
const std::string kExampleLine = "2008/03/15;14:05:09;1;3;2;3;-125;7;1;\r\n";

class Bin2Csv : public ::testing::Test {
protected:
    void SetUp() override { set_tz("UTC"); }
};

TEST_F(Bin2Csv, ExampleRecord) {
    EXPECT_EQ(record(1, 1205589909, 3, {{3, -125}, {7, 1}}), kExample);
    const Converted c = convert(kExample);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.text, kExampleLine);
}

TEST_F(Bin2Csv, OtherZoneChangesOnlyDateAndTime) {
    set_tz("<-0930>9:30");
    const Converted c = convert(kExample);
    EXPECT_EQ(c.text, "2008/03/15;04:35:09;1;3;2;3;-125;7;1;\r\n");
}

TEST_F(Bin2Csv, NumberExtremes) {
    const Converted c = convert(record(255, 0, 255, {{65535, -32768}, {0, 32767}, {10000, -1}, {9999, 0}}));
    EXPECT_EQ(c.text, "1970/01/01;00:00:00;255;255;4;65535;-32768;0;32767;10000;-1;9999;0;\r\n");
    EXPECT_EQ(convert(record(0, 86399, 0, {})).text, "1970/01/01;23:59:59;0;0;0;\r\n");
}

TEST_F(Bin2Csv, WholeThirtyTwoBitRangeRenders) {
    EXPECT_EQ(convert(record(0, INT32_MIN, 0, {})).text, "1901/12/13;20:45:52;0;0;0;\r\n");
    EXPECT_EQ(convert(record(0, INT32_MAX, 0, {})).text, "2038/01/19;03:14:07;0;0;0;\r\n");
    EXPECT_EQ(convert(record(0, -1, 0, {})).text, "1969/12/31;23:59:59;0;0;0;\r\n");
    EXPECT_EQ(convert(record(0, 951782400, 0, {})).text, "2000/02/29;00:00:00;0;0;0;\r\n");
}

TEST_F(Bin2Csv, TimeTheHostCannotRenderGetsZeroFields) {
    // Refuses times before 1970 only.
    const kalax::pld::LocalTimeFn picky = [](int64_t t, std::tm *out) {
        if (t < 0) return false;
        const time_t value = static_cast<time_t>(t);
        return gmtime_r(&value, out) != nullptr;
    };
    const Bytes in = record(0, -5, 1, {{1, 2}}) + record(1, 5, 2, {});
    std::vector<char> text(256);
    int length = static_cast<int>(text.size());
    ASSERT_EQ(bin2csv_with_clock(picky, 0, 0, in.data(), static_cast<int>(in.size()), text.data(), &length), 0);
    EXPECT_EQ(std::string(text.data(), static_cast<size_t>(length)),
              "0000/00/00;00:00:00;0;1;1;1;2;\r\n1970/01/01;00:00:05;1;2;0;\r\n");
}

TEST_F(Bin2Csv, EmptyAndShortInput) {
    EXPECT_EQ(convert({}).result, 0);
    EXPECT_EQ(convert({}).text, "");
    const Converted five = convert({1, 2, 3, 4, 5});
    EXPECT_EQ(five.result, -1);
    EXPECT_EQ(five.text, "");
    // A good record followed by a cut header keeps the good line.
    const Converted tail = convert(kExample + Bytes{8, 0, 0});
    EXPECT_EQ(tail.result, -1);
    EXPECT_EQ(tail.text, kExampleLine);
}

TEST_F(Bin2Csv, TruncatedPairKeepsWhatWasWritten) {
    Bytes in = record(0, 60, 2, {{1, -1}, {2, -2}, {3, -3}});
    in.resize(in.size() - 2);  // count 3, two pairs and half of the third
    const Converted c = convert(in);
    EXPECT_EQ(c.result, -1);
    EXPECT_EQ(c.text, "1970/01/01;00:01:00;0;2;3;1;-1;2;-2;");
}

TEST_F(Bin2Csv, KeptRecordsAdvanceByTheirCountNotTheLengthByte) {
    const Bytes in = record(0, 1, 0, {{1, 1}}, 200) + record(0, 2, 0, {});
    const Converted c = convert(in);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.text, "1970/01/01;00:00:01;0;0;1;1;1;\r\n1970/01/01;00:00:02;0;0;0;\r\n");
}

TEST_F(Bin2Csv, DroppedRecordsAreSkippedByTheirLengthByte) {
    // The normal records claim 4 bytes more than their pairs; only the
    // length byte finds the next record.
    const Bytes junk{0xEE, 0xEE, 0xEE, 0xEE};
    const Bytes in = record(0, 10, 0, {{1, 1}}, 16) + junk + record(1, 20, 3, {{2, 2}}) +
                     record(0, 30, 0, {}, 12) + junk;
    const Converted c = convert(in, 1 << 16, KALLOG_TYPE_ALARM, KALLOG_GROUP_ALL);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.text, "1970/01/01;00:00:20;1;3;1;2;2;\r\n");
}

TEST_F(Bin2Csv, DroppedRecordOfLengthZeroIsMalformed) {
    const Converted first = convert(record(0, 1, 0, {}, 0), 1 << 16, KALLOG_TYPE_ALARM);
    EXPECT_EQ(first.result, -1);
    EXPECT_EQ(first.text, "");
    const Converted later = convert(kExample + record(0, 1, 0, {}, 0), 1 << 16, KALLOG_TYPE_ALARM);
    EXPECT_EQ(later.result, -1);
    EXPECT_EQ(later.text, kExampleLine);
    // Kept, a length byte of 0 does no harm.
    EXPECT_EQ(convert(record(1, 1, 0, {}, 0)).result, 0);
}

TEST_F(Bin2Csv, DroppedRecordOfLengthThreeMovesThreeBytes) {
    const Bytes alarm = record(1, 3600, 4, {});
    Bytes in{3, 0, 0xAA};  // a dropped header whose last five bytes are the next record's
    in.insert(in.end(), alarm.begin(), alarm.end());
    const Converted c = convert(in, 1 << 16, KALLOG_TYPE_ALARM);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.text, "1970/01/01;01:00:00;1;4;0;\r\n");
}

TEST_F(Bin2Csv, GroupFilterHalf) {
    Bytes in;
    std::string want;
    for (int i = 0; i < 6; ++i) {
        in = in + record(0, i, i % 2 == 0 ? 0 : 3, {{1, 2}});
        if (i % 2 == 0) want += "1970/01/01;00:00:0" + std::to_string(i) + ";0;0;1;1;2;\r\n";
    }
    EXPECT_EQ(convert(in, 1 << 16, KALLOG_TYPE_ALL, KALLOG_GROUP_SENSORS).text, want);
}

TEST_F(Bin2Csv, FullOutputIsCutAtEveryCapacity) {
    const Bytes in = kExample + record(0, 1, 4, {{5, -5}}) + kExample;
    const Converted whole = convert(in);
    ASSERT_EQ(whole.result, 0);
    const int size = static_cast<int>(whole.text.size());
    for (int capacity = -3; capacity <= size + 2; ++capacity) {
        const Converted c = convert(in, capacity);
        const size_t kept = capacity <= 1 ? 0 : std::min(capacity - 1, size);
        EXPECT_EQ(c.result, 0) << capacity;
        EXPECT_EQ(c.text, whole.text.substr(0, kept)) << capacity;
    }
}

TEST_F(Bin2Csv, FullOutputWinsOverALaterFault) {
    Bytes in = record(0, 0, 0, {{1, 1}, {2, 2}, {3, 3}});
    in.resize(in.size() - 1);
    const std::string head = "1970/01/01;00:00:00;0;0;3;1;1;2;2;";
    // Room for the text up to the fault and more: the fault is reported.
    EXPECT_EQ(convert(in, static_cast<int>(head.size()) + 2).result, -1);
    // The output runs full exactly at the fault, or before it: reported as full.
    const Converted exact = convert(in, static_cast<int>(head.size()) + 1);
    EXPECT_EQ(exact.result, 0);
    EXPECT_EQ(exact.text, head);
    EXPECT_EQ(convert(in, 10).result, 0);
}

TEST_F(Bin2Csv, BadArgumentsWriteNothing) {
    char text[8] = "#######";
    int length = 8;
    EXPECT_EQ(bin2csv(0, 0, kExample.data(), static_cast<int>(kExample.size()), nullptr, &length), -1);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(bin2csv(0, 0, kExample.data(), static_cast<int>(kExample.size()), text, nullptr), -1);
    length = 8;
    EXPECT_EQ(bin2csv(0, 0, nullptr, 16, text, &length), -1);
    EXPECT_EQ(std::string(text), "#######");
    EXPECT_EQ(length, 0);
    length = 8;
    EXPECT_EQ(bin2csv(0, 0, nullptr, 0, text, &length), 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(text[0], '\0');
    length = 8;
    EXPECT_EQ(bin2csv(0, 0, kExample.data(), -16, text, &length), -1);
    EXPECT_EQ(length, 0);
}

// The offset cache must agree with the host's own conversion across changes
// of the zone's offset, records out of order included.
TEST_F(Bin2Csv, AgreesWithHostAcrossOffsetChanges) {
    const char *zones[] = {"CET-1CEST,M3.5.0,M10.5.0/3", "<-0044>0:44:30", "<+0545>-5:45",
                           "AAA3BBB,M3.2.0/-1:30:10,M11.1.0/25:00:05"};
    // 2021-03-28 00:00 UTC, 2021-10-31 00:00 UTC, 2021-03-14 00:00 UTC, 2021-11-07 00:00 UTC.
    const int32_t starts[] = {1616889600, 1635638400, 1615680000, 1636243200};
    for (const char *zone : zones) {
        set_tz(zone);
        Bytes in;
        std::string want;
        for (int32_t start : starts) {
            for (int i = 0; i < 2000; ++i) {
                // Forward in 7 s steps, with every third record jumping back or ahead.
                const int32_t t = start + i * 7 + (i % 3 == 0 ? -3700 : 0) + (i % 5 == 0 ? 86400 : 0);
                const Bytes r = record(0, t, 0, {});
                in.insert(in.end(), r.begin(), r.end());  // appended in place: 8000 records
                const time_t value = t;
                std::tm tm{};
                ASSERT_NE(localtime_r(&value, &tm), nullptr);
                char line[64];
                std::strftime(line, sizeof line, "%Y/%m/%d;%H:%M:%S;0;0;0;\r\n", &tm);
                want += line;
            }
        }
        const Converted c = convert(in, 1 << 22);
        EXPECT_EQ(c.result, 0);
        EXPECT_EQ(c.text, want) << zone;
    }
}

// ---- files ---------------------------------------------------------------------------

class LogFiles : public ::testing::Test {
protected:
    std::string write(const std::string &content) {
        const std::string name = ::testing::TempDir() + "pld_log_" + std::to_string(counter_++) + "_" +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".csv";
        std::ofstream(name, std::ios::binary) << content;
        names_.push_back(name);
        return name;
    }
    void TearDown() override {
        for (const std::string &name : names_) std::remove(name.c_str());
    }

    std::string last_line(const std::string &content, int size = kalax::pld::kLastLineSize, int *result = nullptr) {
        std::vector<char> buffer(static_cast<size_t>(size) + 16, '#');
        int code = -1;
        const int r = read_last_line(write(content).c_str(), buffer.data(), size, &code);
        EXPECT_EQ(code, 0);
        for (size_t i = static_cast<size_t>(size); i < buffer.size(); ++i) EXPECT_EQ(buffer[i], '#');
        if (result != nullptr) *result = r;
        return r == 0 ? std::string(buffer.data()) : std::string("<fail>");
    }

private:
    int counter_ = 0;
    std::vector<std::string> names_;
};

TEST_F(LogFiles, LastLine) {
    EXPECT_EQ(last_line("L1\r\n"), "L1");
    EXPECT_EQ(last_line("a;1;\r\nb;2;\r\nc;3;\r\n"), "c;3;");
    EXPECT_EQ(last_line("a;1;\r\nbcd"), "b");   // no final line end: two characters lost
    EXPECT_EQ(last_line("a\r\nb"), "");
    EXPECT_EQ(last_line("x\xffyz\r\n"), "yz");   // 0xFF stops the scan
    EXPECT_EQ(last_line("abc"), "a");           // the scan reached the file's start
    EXPECT_EQ(last_line("\r\n"), "");
    EXPECT_EQ(last_line(""), "<fail>");
    EXPECT_EQ(last_line("ab\xff"), "<fail>");   // nothing after the stop byte
}

TEST_F(LogFiles, LastLineStaysInsideTheBuffer) {
    // 7 bytes of scan: "c\r\n" plus the four before; a line longer than the
    // scan is read from the first byte scanned.
    EXPECT_EQ(last_line("0123456789abc\r\n", 8), "89abc");
    // A file exactly as long as the scan: the scan reaches its first byte.
    EXPECT_EQ(last_line("0123456", 8), "01234");
    EXPECT_EQ(last_line("01234567", 8), "12345");
    // A scan of one byte reads that byte, the line end, and drops it.
    EXPECT_EQ(last_line("ab\r\n", 2), "");
    EXPECT_EQ(last_line("ab", 3), "");
    int result = 0;
    last_line("ab\r\n", 1, &result);
    EXPECT_EQ(result, -1);
}

// The last line as the overlap search reads it (10240-byte buffer): whole up
// to 10,237 characters, and its last 10,237 characters beyond, marked cut.
TEST_F(LogFiles, LastLineAtAndBeyondTheBufferLimit) {
    for (size_t length : {10236u, 10237u, 10238u, 10239u, 30000u}) {
        std::string line(length, 'x');
        for (size_t i = 0; i < length; ++i) line[i] = static_cast<char>('a' + i % 26);
        const std::string file = write("2008/03/15;14:05:09;1;3;0;\r\n" + line + "\r\n");
        std::vector<char> buffer(kalax::pld::kLastLineSize);
        bool cut = true;
        ASSERT_EQ(read_last_line(file.c_str(), buffer.data(), kalax::pld::kLastLineSize, nullptr, &cut), 0);
        const std::string got(buffer.data());
        if (length <= 10237) {
            EXPECT_EQ(got, line) << length;
            EXPECT_FALSE(cut) << length;
        } else {
            EXPECT_EQ(got, line.substr(length - 10237)) << length;
            EXPECT_TRUE(cut) << length;
        }
    }
}

// The append flow: download, find where the new text stops overlapping the
// file, append the rest. Every round adds exactly the new lines, also when the
// file's last line reaches or passes what the last-line reader holds (the CSV
// filter keeps lines of up to 10,239 characters).
TEST_F(LogFiles, AppendingNeverDoublesTheLog) {
    for (size_t length : {20u, 10236u, 10237u, 10238u, 10239u, 12000u}) {
        auto line = [&](int n) {
            std::string l = "2008/03/15;14:05:0" + std::to_string(n) + ";0;3;";
            l.resize(length, static_cast<char>('0' + n));
            return l + "\r\n";
        };
        const std::string file = write("");
        std::string expected;
        std::string unit_log;
        for (int round = 0; round < 4; ++round) {
            unit_log += line(round);  // the unit serves its whole log every time
            int offset = -1;
            ASSERT_EQ(zxpld_duplicate_seek(file.c_str(), nullptr, unit_log.c_str(), static_cast<int>(unit_log.size()),
                                           &offset),
                      0);
            std::ofstream(file, std::ios::binary | std::ios::app) << unit_log.substr(static_cast<size_t>(offset));
            expected += line(round);
        }
        std::ifstream in(file, std::ios::binary);
        const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(content.size(), expected.size()) << "line length " << length;
        EXPECT_TRUE(content == expected) << "line length " << length;
    }
}

TEST_F(LogFiles, MissingFile) {
    char buffer[16];
    int code = 0;
    EXPECT_EQ(read_last_line("/nonexistent/dir/log.csv", buffer, sizeof buffer, &code), -1);
    EXPECT_EQ(code, 6);
    EXPECT_EQ(read_last_line("/nonexistent/dir/log.csv", buffer, sizeof buffer, nullptr), -1);

    int offset = 99;
    EXPECT_EQ(duplicate_seek("/nonexistent/dir/log.csv", nullptr, "a\r\n", 3, &offset, &code), 0);
    EXPECT_EQ(offset, 0);
    EXPECT_EQ(code, 6);
}

TEST_F(LogFiles, DuplicateSeek) {
    const std::string text = "a\r\nb\r\nc\r\n";
    struct Row {
        const char *last;
        int offset;
    };
    const Row table[] = {{"a", 3}, {"b", 6}, {"c", 9}, {"x", 0}, {"", 0}, {"b\r\n", 0}};
    for (const Row &row : table) {
        int offset = -1;
        int code = -1;
        EXPECT_EQ(duplicate_seek(nullptr, row.last, text.c_str(), static_cast<int>(text.size()), &offset, &code), 0);
        EXPECT_EQ(offset, row.offset) << row.last;
        EXPECT_EQ(code, 0);
        // The same through a log file ending in that line.
        if (*row.last != '\0' && row.last[1] == '\0') {
            offset = -1;
            const std::string file = write(std::string("z\r\n") + row.last + "\r\n");
            EXPECT_EQ(duplicate_seek(file.c_str(), nullptr, text.c_str(), static_cast<int>(text.size()), &offset,
                                     &code),
                      0);
            EXPECT_EQ(offset, row.offset) << row.last;
        }
    }
}

TEST_F(LogFiles, DuplicateSeekCountsTwoLineEndBytesAndCaps) {
    int offset = -1;
    // Only the first match counts.
    EXPECT_EQ(duplicate_seek(nullptr, "b", "b\r\nx\r\nb\r\n", 9, &offset, nullptr), 0);
    EXPECT_EQ(offset, 3);
    // Empty lines vanish; a lone LF still counts as two bytes.
    EXPECT_EQ(duplicate_seek(nullptr, "b", "\r\n\r\na\nb\nc\n", 10, &offset, nullptr), 0);
    EXPECT_EQ(offset, 6);
    // A match on an unterminated last line is capped at the text's length.
    EXPECT_EQ(duplicate_seek(nullptr, "b", "a\r\nb", 4, &offset, nullptr), 0);
    EXPECT_EQ(offset, 4);
    // The length bounds the search.
    EXPECT_EQ(duplicate_seek(nullptr, "c", "a\r\nb\r\nc\r\n", 6, &offset, nullptr), 0);
    EXPECT_EQ(offset, 0);
    // A file whose last line is empty overlaps nothing.
    const std::string file = write("a\r\n\r\n");
    EXPECT_EQ(duplicate_seek(file.c_str(), nullptr, "a\r\n", 3, &offset, nullptr), 0);
    EXPECT_EQ(offset, 0);
}

TEST_F(LogFiles, DuplicateSeekBadArguments) {
    int offset = 5;
    int code = 0;
    EXPECT_EQ(duplicate_seek(nullptr, nullptr, "a\r\n", 3, &offset, &code), -1);
    EXPECT_EQ(code, 73);
    EXPECT_EQ(offset, 0);
    EXPECT_EQ(duplicate_seek(nullptr, "a", "a\r\n", 3, nullptr, &code), -1);
    EXPECT_EQ(code, 85);
    EXPECT_EQ(duplicate_seek(nullptr, "a", nullptr, 3, &offset, &code), -1);
    EXPECT_EQ(code, 85);
    EXPECT_EQ(duplicate_seek(nullptr, "a", "a\r\n", -3, &offset, &code), -1);
    EXPECT_EQ(code, 72);
    EXPECT_EQ(duplicate_seek(nullptr, "a", nullptr, 0, &offset, &code), 0);
    EXPECT_EQ(offset, 0);
}

}  // namespace
