// The log object's file and conversion work: appending only what a log file
// lacks, loading CSV and binary files, converting downloads, and the results
// for what is missing, malformed, empty or too large.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "kalax/zxapi.h"
#include "kalax/zxpld.h"
#include "log_fixture.h"
#include "unitsim/unitsim.h"

namespace {

using kalax::test::example_line;
using kalax::test::example_record;
using kalax::test::LogEvents;
using kalax::test::read_file;
using kalax::test::TempDir;
using kalax::test::write_file;
using zxapi::KalLogDownload;
using zxapi::TKalLog;

KalLogDownload csv_download(const std::string &text) {
    KalLogDownload d;
    d.Csv = 1;
    d.Data = text.data();
    d.Size = text.size();
    return d;
}

KalLogDownload bin_download(const std::string &bytes) {
    KalLogDownload d;
    d.Csv = 0;
    d.Data = bytes.data();
    d.Size = bytes.size();
    return d;
}

int slot0_code() {
    zx_error_struct e{};
    zxpld_error(0, &e);
    return e.code;
}

class LogFiles : public ::testing::Test {
protected:
    void SetUp() override { kalax::test::use_utc(); }
    TempDir dir;
};

TEST_F(LogFiles, WriteToFileAppendsOnlyTheLinesTheFileLacks) {
    TKalLog log(nullptr);
    const std::string text = "a\r\nb\r\nc\r\n";
    std::size_t offset = 99;

    const std::string ends_b = dir.file("ends_b.csv");
    write_file(ends_b, "x\r\na\r\nb\r\n");
    EXPECT_EQ(log.WriteToFile(ends_b.c_str(), csv_download(text), offset), 0);
    EXPECT_EQ(offset, 6u);
    EXPECT_EQ(read_file(ends_b), "x\r\na\r\nb\r\nc\r\n");

    const std::string ends_c = dir.file("ends_c.csv");
    write_file(ends_c, "a\r\nb\r\nc\r\n");
    EXPECT_EQ(log.WriteToFile(ends_c.c_str(), csv_download(text), offset), 0);
    EXPECT_EQ(offset, 9u);
    EXPECT_EQ(read_file(ends_c), "a\r\nb\r\nc\r\n");

    // A missing file is made with the whole text; a UTF-8 name is taken as it is.
    const std::string missing = dir.file("Protokoll S\xC3\xBC" "d.csv");
    EXPECT_EQ(log.WriteToFile(missing.c_str(), csv_download(text), offset), 0);
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(read_file(missing), text);
}

TEST_F(LogFiles, WriteToFileOfABinaryDownloadWritesItsCsvLines) {
    TKalLog log(nullptr);
    const std::string file = dir.file("bin.csv");
    std::size_t offset = 99;
    EXPECT_EQ(log.WriteToFile(file.c_str(), bin_download(example_record()), offset), 0);
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(read_file(file), example_line());
    // Written again, nothing is new.
    EXPECT_EQ(log.WriteToFile(file.c_str(), bin_download(example_record()), offset), 0);
    EXPECT_EQ(offset, std::string(example_line()).size());
    EXPECT_EQ(read_file(file), example_line());
}

TEST_F(LogFiles, WriteToFileOverlapSearchFailureReportsTheLibraryWideRecord) {
    TKalLog log(nullptr);
    LogEvents ev;
    kalax::test::attach(log, ev);
    log.Port = kalax::sim::refused_port();  // an old failure in the module's record
    ASSERT_EQ(log.Open(), 0);
    ASSERT_EQ(log.GetLogFile(), 0);
    ASSERT_TRUE(kalax::test::pump_until([&] { return ev.errors == 1; }));
    EXPECT_EQ(ev.sdk_code, 28);

    // No file name and no last line: the search itself fails (73, in slot 0).
    std::size_t offset = 0;
    EXPECT_EQ(log.WriteToFile(nullptr, csv_download("a\r\n"), offset), -1);
    ASSERT_EQ(ev.errors, 2);
    EXPECT_EQ(ev.kind, zxapi::KALLOG_ERROR_WRITE_TO_FILE);
    EXPECT_EQ(ev.sdk_code, 73);
}

TEST_F(LogFiles, WriteToFileRefusesWhatIsNoRegularFileAndWhatDoesNotFit) {
    TKalLog log(nullptr);
    LogEvents ev;
    kalax::test::attach(log, ev);
    std::size_t offset = 0;
    // A folder, a FIFO without a reader (never waited on), a file in a missing folder.
    EXPECT_EQ(log.WriteToFile(dir.path().c_str(), csv_download("a\r\n"), offset), -4);
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(log.WriteToFile(fifo.c_str(), csv_download("a\r\n"), offset), -4);
    const std::string nowhere = dir.path() + "/no/such/folder.csv";
    EXPECT_EQ(log.WriteToFile(nowhere.c_str(), csv_download("a\r\n"), offset), -4);

    // Sizes beyond what a text length can say: -3, and nothing is read.
    const char byte = 'a';
    KalLogDownload huge;
    huge.Csv = 1;
    huge.Data = &byte;
    huge.Size = static_cast<std::size_t>(INT_MAX) + 1;
    EXPECT_EQ(log.WriteToFile(dir.file("huge.csv").c_str(), huge, offset), -3);
    huge.Csv = 0;
    huge.Size = static_cast<std::size_t>(INT_MAX) / 4 + 1;  // its CSV text would not fit
    const char *text = nullptr;
    EXPECT_EQ(log.ConvertBin2Csv(text, huge), -3);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(ev.errors, 0);  // only -1 raises OnError
}

TEST_F(LogFiles, ConvertBin2CsvGivesTheTextOrLeavesThePointer) {
    TKalLog log(nullptr);
    LogEvents ev;
    kalax::test::attach(log, ev);
    const char *text = nullptr;
    EXPECT_EQ(log.ConvertBin2Csv(text, bin_download(example_record())), 39);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, example_line());

    const char *kept = text;
    EXPECT_EQ(log.ConvertBin2Csv(text, bin_download(std::string(5, '\x10'))), -1);
    EXPECT_EQ(text, kept);
    EXPECT_STREQ(kept, example_line());  // a failed conversion leaves the last text alone
    ASSERT_EQ(ev.errors, 1);
    EXPECT_EQ(ev.kind, zxapi::KALLOG_ERROR_CONV_BIN2CSV);
    EXPECT_EQ(ev.sdk_code, 11);
    EXPECT_EQ(slot0_code(), 11);

    // An empty download is an empty text.
    EXPECT_EQ(log.ConvertBin2Csv(text, KalLogDownload{}), 0);
    EXPECT_STREQ(text, "");
}

TEST_F(LogFiles, TheLongestLinesOfShortRecordsAreNeverCut) {
    TKalLog log(nullptr);
    // Count 0 with three-digit type and group: 32 characters from 8 bytes.
    const unsigned char r[] = {8, 255, 0x95, 0xd7, 0xdb, 0x47, 255, 0};
    const std::string one(reinterpret_cast<const char *>(r), sizeof r);
    const std::string line = "2008/03/15;14:05:09;255;255;0;\r\n";
    const char *text = nullptr;
    EXPECT_EQ(log.ConvertBin2Csv(text, bin_download(one)), 32);
    EXPECT_STREQ(text, line.c_str());
    std::string many;
    std::string lines;
    for (int i = 0; i < 100; ++i) {
        many += one;
        lines += line;
    }
    EXPECT_EQ(log.ConvertBin2Csv(text, bin_download(many)), static_cast<int>(lines.size()));
    EXPECT_EQ(std::string(text), lines);
    const std::string file = dir.file("short.bin");
    write_file(file, many);
    EXPECT_EQ(log.LoadFromBinFile(file.c_str(), text), static_cast<int>(lines.size()));
    EXPECT_EQ(std::string(text), lines);
}

TEST_F(LogFiles, LoadersReadWholeFilesAndReportWhatFails) {
    TKalLog log(nullptr);
    const char *text = nullptr;
    const std::string missing = dir.path() + "/missing.csv";
    EXPECT_EQ(log.LoadFromCsvFile(missing.c_str(), text), -4);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(log.LoadFromBinFile(missing.c_str(), text), -4);
    EXPECT_EQ(log.LoadFromCsvFile(dir.path().c_str(), text), -4);  // a folder

    const std::string csv = dir.file("log.csv");
    const std::string content = std::string("a;b;\r\n") + std::string("\0x;\r\n", 5);
    write_file(csv, content);
    EXPECT_EQ(log.LoadFromCsvFile(csv.c_str(), text), static_cast<int>(content.size()));
    EXPECT_EQ(std::string(text, content.size()), content);  // the bytes as they are, NUL and all
    EXPECT_EQ(text[content.size()], '\0');

    const std::string bin = dir.file("log.bin");
    write_file(bin, example_record());
    EXPECT_EQ(log.LoadFromBinFile(bin.c_str(), text), 39);
    EXPECT_STREQ(text, example_line());

    const std::string bad = dir.file("bad.bin");
    write_file(bad, std::string(5, '\x10'));
    EXPECT_EQ(log.LoadFromBinFile(bad.c_str(), text), -1);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(slot0_code(), 11);
}

TEST_F(LogFiles, EmptyFilesAndDownloadsAreEmptyTexts) {
    TKalLog log(nullptr);
    const std::string empty = dir.file("empty");
    write_file(empty, "");
    const char *text = nullptr;
    EXPECT_EQ(log.LoadFromCsvFile(empty.c_str(), text), 0);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(log.LoadFromBinFile(empty.c_str(), text), 0);
    EXPECT_STREQ(text, "");

    std::size_t offset = 99;
    const std::string out = dir.file("out.csv");
    EXPECT_EQ(log.WriteToFile(out.c_str(), KalLogDownload{}, offset), 0);
    EXPECT_EQ(offset, 0u);
    KalLogDownload empty_csv;
    empty_csv.Csv = 1;
    EXPECT_EQ(log.WriteToFile(out.c_str(), empty_csv, offset), 0);
    EXPECT_EQ(offset, 0u);
}

}  // namespace
