#include "sdk/pld/filter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kalax/zxpld.h"

namespace {

using kalax::pld::csv_filter_pass;
using kalax::pld::keep_record;

TEST(KeepRecord, TypeFilter) {
    EXPECT_TRUE(keep_record(KALLOG_TYPE_ALL, KALLOG_GROUP_ALL, 0, 0));
    EXPECT_TRUE(keep_record(KALLOG_TYPE_ALL, KALLOG_GROUP_ALL, 1, 0));
    EXPECT_TRUE(keep_record(KALLOG_TYPE_NORMAL, KALLOG_GROUP_ALL, 0, 0));
    EXPECT_FALSE(keep_record(KALLOG_TYPE_NORMAL, KALLOG_GROUP_ALL, 1, 0));
    EXPECT_FALSE(keep_record(KALLOG_TYPE_ALARM, KALLOG_GROUP_ALL, 0, 0));
    EXPECT_TRUE(keep_record(KALLOG_TYPE_ALARM, KALLOG_GROUP_ALL, 1, 0));
    EXPECT_FALSE(keep_record(KALLOG_TYPE_ALARM, KALLOG_GROUP_ALL, 2, 0));
    // Values outside the table filter nothing.
    for (int filter : {-1, 3, 7, 1000})
        for (int type = 0; type < 256; ++type)
            EXPECT_TRUE(keep_record(filter, KALLOG_GROUP_ALL, static_cast<unsigned char>(type), 0));
}

TEST(KeepRecord, GroupFilterTable) {
    // Kept groups 0..5 per filter; group 5 stands for bytes no unit sends.
    struct Row {
        int filter;
        const char *kept;  // '1' at index g when group g is kept
    };
    const Row table[] = {
        {KALLOG_GROUP_ALL, "111111"},
        {KALLOG_GROUP_SENSORS, "111001"},
        {KALLOG_GROUP_BINARIES, "000111"},
        {KALLOG_GROUP_INPUTS, "000100"},
        {KALLOG_GROUP_OUTPUTS, "000010"},
        {7, "111111"},
        {-1, "111111"},
    };
    for (const Row &row : table) {
        for (int group = 0; group < 6; ++group) {
            EXPECT_EQ(keep_record(KALLOG_TYPE_ALL, row.filter, 0, static_cast<unsigned char>(group)),
                      row.kept[group] == '1')
                << "filter " << row.filter << " group " << group;
        }
    }
    // Both filters must keep.
    EXPECT_FALSE(keep_record(KALLOG_TYPE_ALARM, KALLOG_GROUP_OUTPUTS, 1, 3));
    EXPECT_FALSE(keep_record(KALLOG_TYPE_ALARM, KALLOG_GROUP_OUTPUTS, 0, 4));
    EXPECT_TRUE(keep_record(KALLOG_TYPE_ALARM, KALLOG_GROUP_OUTPUTS, 1, 4));
}

// Runs the pass on `in` held in a vector of exactly its size plus the terminator.
std::string pass(int type_filter, int group_filter, const std::string &in, int *result = nullptr) {
    std::vector<char> text(in.begin(), in.end());
    text.push_back('\0');
    int length = static_cast<int>(in.size());
    const int r = csv_filter_pass(type_filter, group_filter, text, &length);
    if (result != nullptr) *result = r;
    EXPECT_EQ(r, 0);
    EXPECT_GE(text.size(), static_cast<size_t>(length) + 1);
    EXPECT_EQ(text[static_cast<size_t>(length)], '\0');
    return std::string(text.data(), static_cast<size_t>(length));
}

TEST(CsvFilterPass, OutputsFilterAndLoneLineEnds) {
    const std::string in =
        "2008/03/15;14:05:09;0;3;1;5;6;\r\n"
        "x;y;0;4;\n"
        "2008/03/15;14:05:10;1;4;0;\r"
        "2008/03/15;14:05:11;1;2;0;\r\n";
    EXPECT_EQ(pass(KALLOG_TYPE_ALL, KALLOG_GROUP_OUTPUTS, in), "x;y;0;4;\r\n2008/03/15;14:05:10;1;4;0;\r\n");
}

TEST(CsvFilterPass, NoFilterNormalisesLinesAndDropsEmptyOnes) {
    EXPECT_EQ(pass(0, 0, "\r\n\r\na;b;0;0;\r\n\n\n\rc;d;1;1;"), "a;b;0;0;\r\nc;d;1;1;\r\n");
    EXPECT_EQ(pass(0, 0, ""), "");
    EXPECT_EQ(pass(0, 0, "\r\n\r\n\n"), "");
    EXPECT_EQ(pass(KALLOG_TYPE_ALARM, 7, "a;b;1;9;\r\nc;d;0;9;\r\n"), "a;b;1;9;\r\n");
}

TEST(CsvFilterPass, LoneLineEndsGrowTheBuffer) {
    // Every line one byte longer: the vector must grow, not be overrun.
    std::string in;
    std::string want;
    for (int i = 0; i < 1000; ++i) {
        in += "d;t;0;4;\n";
        want += "d;t;0;4;\r\n";
    }
    EXPECT_EQ(pass(0, KALLOG_GROUP_OUTPUTS, in), want);
    EXPECT_EQ(pass(0, 0, "a\nb\rc"), "a\r\nb\r\nc\r\n");
}

TEST(CsvFilterPass, FieldsSplitAtRunsOfSemicolons) {
    // ";;" counts as one separator: type 0 is field 2, group 4 field 3.
    EXPECT_EQ(pass(0, KALLOG_GROUP_OUTPUTS, ";d;;t;;0;;4;\r\n"), ";d;;t;;0;;4;\r\n");
    EXPECT_EQ(pass(KALLOG_TYPE_ALARM, 0, "d;;t;;0;;4;\r\n"), "");
}

TEST(CsvFilterPass, ShortLinesKeepTheLastValues) {
    const std::string in =
        "d;t;1;4;\r\n"   // alarm, outputs
        "only;two\r\n"   // judged as type 1 group 4
        "d;t;0\r\n"      // type 0, group still 4
        "d;t;1;3;\r\n"
        "x\r\n";         // type 1 group 3
    EXPECT_EQ(pass(KALLOG_TYPE_ALARM, KALLOG_GROUP_OUTPUTS, in), "d;t;1;4;\r\nonly;two\r\n");
    EXPECT_EQ(pass(KALLOG_TYPE_NORMAL, KALLOG_GROUP_OUTPUTS, in), "d;t;0\r\n");
    EXPECT_EQ(pass(KALLOG_TYPE_ALL, KALLOG_GROUP_INPUTS, in), "d;t;1;3;\r\nx\r\n");
    // Before any line has the fields, type and group are 0.
    EXPECT_EQ(pass(KALLOG_TYPE_NORMAL, KALLOG_GROUP_SENSORS, "a;b\r\n"), "a;b\r\n");
}

TEST(CsvFilterPass, NumbersCompareByLowByte) {
    EXPECT_EQ(pass(0, KALLOG_GROUP_OUTPUTS, "d;t;0;260;\r\nd;t;0;4x;\r\nd;t;0;x4;\r\n"),
              "d;t;0;260;\r\nd;t;0;4x;\r\n");
    EXPECT_EQ(pass(KALLOG_TYPE_ALARM, 0, "d;t;257;0;\r\nd;t;-255;0;\r\nd;t;99999999999999;0;\r\n"),
              "d;t;257;0;\r\nd;t;-255;0;\r\n");
}

TEST(CsvFilterPass, LongLinesAreCut) {
    const std::string head = "d;t;0;4;";
    const std::string line = head + std::string(kalax::pld::kCsvLineMax + 100 - head.size(), 'v');
    const std::string out = pass(0, KALLOG_GROUP_OUTPUTS, line + "\r\nd;t;0;3;\r\n" + line);
    const std::string cut = line.substr(0, kalax::pld::kCsvLineMax);
    EXPECT_EQ(out, cut + "\r\n" + cut + "\r\n");
    // Exactly at the limit nothing is lost.
    const std::string exact = line.substr(0, kalax::pld::kCsvLineMax);
    EXPECT_EQ(pass(0, 0, exact), exact + "\r\n");
}

TEST(CsvFilterPass, TextEndsAtLengthOrNul) {
    std::vector<char> text{'a', ';', 'b', '\n', 'c', '\0', 'd', '\n', 'e', '\n', 'f', '\0'};
    int length = 10;  // stops before "f"; the NUL stops earlier still
    ASSERT_EQ(csv_filter_pass(0, 0, text, &length), 0);
    EXPECT_EQ(std::string(text.data(), static_cast<size_t>(length)), "a;b\r\nc\r\n");
    // Bytes of the old text after the new end are cleared.
    for (size_t i = static_cast<size_t>(length); i < 11; ++i) EXPECT_EQ(text[i], '\0') << i;
    EXPECT_EQ(text[11], '\0');

    // A length beyond the vector reads only the vector.
    std::vector<char> small{'a', '\n'};
    length = 1000;
    ASSERT_EQ(csv_filter_pass(0, 0, small, &length), 0);
    EXPECT_EQ(std::string(small.data(), static_cast<size_t>(length)), "a\r\n");

    // An empty vector is an empty text.
    std::vector<char> none;
    length = 0;
    ASSERT_EQ(csv_filter_pass(0, 0, none, &length), 0);
    EXPECT_EQ(length, 0);
    ASSERT_EQ(none.size(), 1u);
}

TEST(CsvFilterPass, BadLengthLeavesTextAlone) {
    std::vector<char> text{'a', '\n', '\0'};
    EXPECT_EQ(csv_filter_pass(0, 0, text, nullptr), -1);
    int length = -1;
    EXPECT_EQ(csv_filter_pass(0, 0, text, &length), -1);
    EXPECT_EQ(length, -1);
    EXPECT_EQ(std::string(text.data()), "a\n");
}

}  // namespace
