// The log object's line and record readers: where lines end, what a record
// line yields, and that no output is written past the room it was given.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kalax/zxapi.h"
#include "log_fixture.h"

namespace {

using zxapi::TKalLogCustom;

TEST(LogNextLine, ReturnsLinesAndLineEndsButNeverAnUnendedLastLine) {
    const std::string text = "a\r\nb";
    const char *cursor = text.data();
    EXPECT_EQ(TKalLogCustom::NextLine(cursor, text.data(), text.size()), 1);
    EXPECT_EQ(cursor, text.data() + 1);
    EXPECT_EQ(TKalLogCustom::NextLine(cursor, text.data(), text.size()), 0);  // the CR
    EXPECT_EQ(TKalLogCustom::NextLine(cursor, text.data(), text.size()), 0);  // the LF
    EXPECT_EQ(cursor, text.data() + 3);
    EXPECT_EQ(TKalLogCustom::NextLine(cursor, text.data(), text.size()), -6);
    EXPECT_EQ(cursor, text.data() + 3);
    // The length bounds the search, not a terminator: "x\n" cut before its LF.
    const char cut[] = {'x', '\n'};
    const char *at = cut;
    EXPECT_EQ(TKalLogCustom::NextLine(at, cut, 1), -6);
    const char *outside = cut + 2;
    EXPECT_EQ(TKalLogCustom::NextLine(outside, cut, 2), -6);
    const char *none = nullptr;
    EXPECT_EQ(TKalLogCustom::NextLine(none, cut, 2), -6);
}

struct Parsed {
    // Guards on both sides of the outputs catch any write past them.
    char date_guard_before[4] = {'G', 'G', 'G', 'G'};
    char date[zxapi::KALLOG_DATE_SIZE];
    char date_guard[4] = {'G', 'G', 'G', 'G'};
    char time[zxapi::KALLOG_TIME_SIZE];
    char time_guard[4] = {'G', 'G', 'G', 'G'};
    std::uint8_t type = 99;
    std::uint8_t group = 99;
    std::int32_t values[8] = {};
    int rc = -99;

    Parsed(const std::string &line, int capacity) {
        std::memset(date, 'X', sizeof date);
        std::memset(time, 'X', sizeof time);
        rc = TKalLogCustom::ParseRecordLine(line.data(), line.size(), capacity, date, sizeof date, time, sizeof time,
                                            type, group, values);
    }
    bool guards_intact() const {
        for (int i = 0; i < 4; ++i)
            if (date_guard_before[i] != 'G' || date_guard[i] != 'G' || time_guard[i] != 'G') return false;
        return true;
    }
};

TEST(LogParseRecordLine, TheExampleLineGivesItsPartsUpToTheCapacity) {
    const std::string line = "2008/03/15;14:05:09;1;3;2;3;-125;7;1;\r\n";
    Parsed all(line, 8);
    EXPECT_EQ(all.rc, 4);
    EXPECT_STREQ(all.date, "2008/03/15");
    EXPECT_STREQ(all.time, "14:05:09");
    EXPECT_EQ(all.type, zxapi::KALLOG_REC_TYPE_ALARM);
    EXPECT_EQ(all.group, zxapi::KALLOG_REC_GROUP_INPUT);
    EXPECT_EQ(all.values[0], 3);
    EXPECT_EQ(all.values[1], -125);
    EXPECT_EQ(all.values[2], 7);
    EXPECT_EQ(all.values[3], 1);

    Parsed two(line, 2);
    EXPECT_EQ(two.rc, 2);
    EXPECT_EQ(two.values[0], 3);
    EXPECT_EQ(two.values[1], -125);
    EXPECT_EQ(two.values[2], 0);

    Parsed output("2008/03/15;14:05:09;0;4;1; +42;\r\n", 8);
    EXPECT_EQ(output.rc, 1);
    EXPECT_EQ(output.type, zxapi::KALLOG_REC_TYPE_NORMAL);
    EXPECT_EQ(output.group, zxapi::KALLOG_REC_GROUP_OUTPUT);
    EXPECT_EQ(output.values[0], 42);
}

TEST(LogParseRecordLine, ShortAndOddLinesTakeOnlyWhatTheyHave) {
    Parsed none("no separators at all", 8);
    EXPECT_EQ(none.rc, 0);
    EXPECT_STREQ(none.date, "");
    EXPECT_STREQ(none.time, "");

    Parsed date_only("2008/03/15;14:05:09", 8);
    EXPECT_EQ(date_only.rc, 0);
    EXPECT_STREQ(date_only.date, "2008/03/15");
    EXPECT_STREQ(date_only.time, "");

    // Empty fields count; a value without digits is 0; numbers beyond 32 bits stop at the limit.
    Parsed odd("d;t;;;;x;-;99999999999;-99999999999;tail", 8);
    EXPECT_EQ(odd.rc, 4);
    EXPECT_EQ(odd.values[0], 0);
    EXPECT_EQ(odd.values[1], 0);
    EXPECT_EQ(odd.values[2], INT32_MAX);
    EXPECT_EQ(odd.values[3], INT32_MIN);
}

TEST(LogParseRecordLine, OverlongDateAndTimeAreCutToTheirRoom) {
    const std::string date(500, '7');
    const std::string time(300, '8');
    Parsed p(date + ";" + time + ";1;0;1;5;", 8);
    EXPECT_TRUE(p.guards_intact());
    EXPECT_EQ(std::string(p.date), date.substr(0, zxapi::KALLOG_DATE_SIZE - 1));
    EXPECT_EQ(std::string(p.time), time.substr(0, zxapi::KALLOG_TIME_SIZE - 1));
    EXPECT_EQ(p.rc, 1);

    // A NUL ends the line as the terminator of a copy would; room 0 writes nothing.
    const char raw[] = "2008/03/15;14:0\0005:09;1;3;2;3;";
    const std::string with_nul(raw, sizeof raw - 1);
    char small[1] = {'X'};
    std::uint8_t type = 0, group = 0;
    std::int32_t v[4];
    EXPECT_EQ(TKalLogCustom::ParseRecordLine(with_nul.data(), with_nul.size(), 4, small, 0, small, 0, type, group, v),
              0);
    EXPECT_EQ(small[0], 'X');
}

}  // namespace
