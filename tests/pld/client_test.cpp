// The log client against the simulated unit: module table and cursor, request
// texts, downloads in both forms with every filter, failures and closing.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "client_fixture.h"
#include "kalax/zxpld.h"
#include "sdk/pld/client.h"
#include "sdk/runtime/result_codes.h"
#include "unitsim/unitsim.h"

namespace kalax::test {
namespace {

// Every type and group a unit logs, a few pairs each, at increasing times.
std::vector<sim::LogRecord> mixed_records() {
    std::vector<sim::LogRecord> records;
    int32_t t = 1205589909;
    for (int round = 0; round < 2; ++round)
        for (uint8_t type = 0; type < 2; ++type)
            for (uint8_t group = 0; group < 5; ++group) {
                sim::LogRecord r;
                r.type = type;
                r.group = group;
                r.time = t;
                t += 61;
                for (int p = 0; p <= group % 3; ++p)
                    r.pairs.emplace_back(static_cast<uint16_t>(p + 1), static_cast<int16_t>(-125 + 40 * p + round));
                records.push_back(r);
            }
    return records;
}

// The filter values as a log object offers them, written out independently.
bool kept(int type_filter, int group_filter, const sim::LogRecord &r) {
    const bool type_ok = type_filter == KALLOG_TYPE_NORMAL  ? r.type == 0
                         : type_filter == KALLOG_TYPE_ALARM ? r.type == 1
                                                            : true;
    bool group_ok = true;
    switch (group_filter) {
    case KALLOG_GROUP_SENSORS: group_ok = r.group != 3 && r.group != 4; break;
    case KALLOG_GROUP_BINARIES: group_ok = r.group == 3 || r.group == 4; break;
    case KALLOG_GROUP_INPUTS: group_ok = r.group == 3; break;
    case KALLOG_GROUP_OUTPUTS: group_ok = r.group == 4; break;
    default: break;
    }
    return type_ok && group_ok;
}

std::vector<sim::LogRecord> filtered(const std::vector<sim::LogRecord> &all, int type_filter, int group_filter) {
    std::vector<sim::LogRecord> out;
    for (const auto &r : all)
        if (kept(type_filter, group_filter, r)) out.push_back(r);
    return out;
}

struct Filters {
    int type, group;
};

// Every value of both tables, and one beyond each (which filters nothing).
std::vector<Filters> every_filter() {
    std::vector<Filters> all;
    for (int type : {0, 1, 2, 7})
        for (int group : {0, 1, 2, 3, 4, 9}) all.push_back({type, group});
    return all;
}

// ---- settings, init and the module table ---------------------------------------

TEST(PldSettings, ClearGivesPort80AndNothingElse) {
    zxpld_settings_struct s;
    std::memset(&s, 0x5a, sizeof s);
    ASSERT_EQ(zxpld_clr_settings_struct(&s), 0);
    EXPECT_EQ(s.port, 80);
    EXPECT_EQ(s.address, nullptr);
    EXPECT_EQ(s.type_filter, 0);
    EXPECT_EQ(s.group_filter, 0);
    EXPECT_EQ(s.user, nullptr);
    EXPECT_EQ(s.password, nullptr);
    EXPECT_EQ(s.user_data, nullptr);
    EXPECT_EQ(s.on_connect, nullptr);
    EXPECT_EQ(s.on_data, nullptr);
    EXPECT_EQ(s.on_delall_error, nullptr);
    EXPECT_EQ(zxpld_clr_settings_struct(nullptr), -1);
    EXPECT_EQ(error_code(0), kNULL_POINTER);
}

TEST(PldLifecycle, NestedInitNeedsAsManyUninits) {
    ASSERT_EQ(zxpld_init(), 0);
    EXPECT_EQ(zxpld_init(), -1);
    EXPECT_EQ(error_code(0), kMODULE_IN_USE);
    EXPECT_EQ(zxpld_init(), -1);
    EXPECT_EQ(zxpld_uninit(), -1);
    EXPECT_EQ(error_code(0), kMODULE_IN_USE);
    EXPECT_EQ(zxpld_uninit(), -1);
    // Still initialised: a module opens.
    Recorder r;
    zxpld_settings_struct s = recorded_settings("127.0.0.1", sim::refused_port(), &r);
    EXPECT_EQ(zxpld_open(&s), 1);
    EXPECT_EQ(zxpld_uninit(), 0);  // closes module 1
    EXPECT_EQ(zxpld_uninit(), 0);  // not initialised: nothing to do
    EXPECT_EQ(zxpld_get_spilog_csv(1), -1);
    EXPECT_EQ(zxpld_open(&s), -1);
    EXPECT_EQ(error_code(0), kTHREAD_NOT_RUN);
}

TEST(PldLifecycle, CountRefToZeroLetsTheNextUninitRelease) {
    ASSERT_EQ(zxpld_init(), 0);
    EXPECT_EQ(zxpld_init(), -1);
    EXPECT_EQ(zxpld_init(), -1);
    zxpld_count_ref2zero();
    EXPECT_EQ(zxpld_uninit(), 0);
    ASSERT_EQ(zxpld_init(), 0);  // released: a fresh start
    EXPECT_EQ(zxpld_uninit(), 0);
}

TEST_F(PldClient, AddressOf15CharactersOpensAnd16Fail) {
    Recorder r;
    zxpld_settings_struct s = recorded_settings("192.168.100.200", 80, &r);
    ASSERT_EQ(std::strlen(s.address), 15u);
    EXPECT_EQ(zxpld_open(&s), 1);
    s.address = "192.168.100.2001";
    EXPECT_EQ(zxpld_open(&s), -1);
    EXPECT_EQ(error_code(0), kIP_NOT_VALID);
    s.address = nullptr;
    EXPECT_EQ(zxpld_open(&s), -1);
    EXPECT_EQ(error_code(0), kIP_NOT_VALID);
    EXPECT_EQ(zxpld_open(nullptr), -1);
    EXPECT_EQ(error_code(0), kNULL_POINTER);
    // Failed opens take no slot.
    s.address = "10.0.0.1";
    EXPECT_EQ(zxpld_open(&s), 2);
}

TEST_F(PldClient, ANewModuleDoesNotInheritTheFailureOfTheSlotsLastOne) {
    Recorder r;
    zxpld_settings_struct s = recorded_settings("127.0.0.1", sim::refused_port(), &r);
    const int m = zxpld_open(&s);
    ASSERT_EQ(m, 1);
    ASSERT_EQ(zxpld_get_spilog_del(m), 0);
    ASSERT_TRUE(r.events.wait_for("connect_error", 1));
    EXPECT_EQ(error_code(m), kSOCKET_CONNECT);
    ASSERT_EQ(zxpld_close(m), 0);
    zxpld_count_ref2zero();
    ASSERT_EQ(zxpld_uninit(), 0);
    ASSERT_EQ(zxpld_init(), 0);
    ASSERT_EQ(zxpld_open(&s), m);  // the same slot again
    EXPECT_EQ(error_code(m), kOK);
}

TEST_F(PldClient, ModulesAreNumberedFromOneAndSlotZeroIsNeverOpened) {
    Recorder r;
    zxpld_settings_struct s = recorded_settings("127.0.0.1", sim::refused_port(), &r);
    EXPECT_EQ(zxpld_open(&s), 1);
    EXPECT_EQ(zxpld_open(&s), 2);
    EXPECT_EQ(zxpld_close(1), 0);
    EXPECT_EQ(zxpld_open(&s), 3);  // the cursor moves on; a closed slot waits its turn
    EXPECT_EQ(zxpld_close(0), -1);
    EXPECT_EQ(error_code(0), kID_NOT_FOUND);
}

TEST_F(PldClient, CursorWrapsToTheLowestFreeSlot) {
    Recorder r;
    zxpld_settings_struct s = recorded_settings("127.0.0.1", sim::refused_port(), &r);
    for (int i = 1; i <= 98; ++i) ASSERT_EQ(zxpld_open(&s), i);
    ASSERT_EQ(zxpld_close(2), 0);
    EXPECT_EQ(zxpld_open(&s), 99);
    EXPECT_EQ(zxpld_open(&s), 2);
    EXPECT_EQ(zxpld_open(&s), -1);
    EXPECT_EQ(error_code(0), kID_IN_USE);
}

TEST_F(PldClient, FullTableKeepsTheCursorOnTheLastSlot) {
    sim::Unit unit(quiet_log());
    ASSERT_TRUE(unit.start());
    Recorder r;
    for (int i = 1; i <= 99; ++i) ASSERT_EQ(open(unit, r), i);

    // The 99th module has a working worker.
    ASSERT_EQ(zxpld_get_spilog_del(99), 0);
    ASSERT_TRUE(r.events.wait_for("del"));
    EXPECT_EQ(error_code(0), kID_LIMIT);  // its worker found no slot for the next open

    EXPECT_EQ(open(unit, r), -1);
    EXPECT_EQ(error_code(0), kID_IN_USE);
    ASSERT_EQ(zxpld_close(5), 0);
    EXPECT_EQ(open(unit, r), -1);  // the cursor still stands on 99
    EXPECT_EQ(error_code(0), kID_IN_USE);
    ASSERT_EQ(zxpld_close(99), 0);
    EXPECT_EQ(open(unit, r), 99);
    EXPECT_EQ(open(unit, r), 5);
    EXPECT_EQ(r.completions(), 1u);
}

TEST_F(PldClient, NumbersThatNameNoModuleGiveCode16) {
    Recorder r;
    zxpld_settings_struct s = recorded_settings("127.0.0.1", sim::refused_port(), &r);
    ASSERT_EQ(zxpld_open(&s), 1);
    using Request = int (*)(int);
    for (Request request : {zxpld_get_spilog_csv, zxpld_get_spilog_bin, zxpld_get_spilog_del,
                            zxpld_get_spilog_delall, zxpld_close}) {
        for (int module : {-1, 0, 2, 99, 100, 1 << 20}) {
            zxpld_open(nullptr);  // leaves another code on slot 0
            EXPECT_EQ(request(module), -1) << module;
            EXPECT_EQ(error_code(0), kID_NOT_FOUND) << module;
        }
    }
    zx_error_struct e{};
    for (int module : {-1, 100, -100000}) {
        EXPECT_EQ(zxpld_error(module, &e), -1);
        EXPECT_EQ(zxpld_error_print(module), -1);
        char text[16];
        int length = sizeof text;
        EXPECT_EQ(zxpld_bin2csv(module, nullptr, 0, text, &length), -1);
        EXPECT_EQ(error_code(0), kID_NOT_FOUND);
    }
    EXPECT_EQ(zxpld_error(0, nullptr), -1);
    // Slot 0 and unopened slots can be read.
    EXPECT_EQ(zxpld_error(0, &e), 0);
    EXPECT_EQ(zxpld_error(42, &e), 0);
    EXPECT_EQ(e.code, 0);
    EXPECT_EQ(r.completions(), 0u);
}

TEST_F(PldClient, ErrorPrintWritesTextCodeSystemTextAndNumber) {
    EXPECT_EQ(zxpld_close(7), -1);
    zx_error_struct e{};
    ASSERT_EQ(zxpld_error(0, &e), 0);
    char expected[300];
    std::snprintf(expected, sizeof expected, "ID not found (16): %s (%i)\n", e.sys_text, e.sys_code);
    ::testing::internal::CaptureStdout();
    const int n = zxpld_error_print(0);
    const std::string line = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(line, expected);
    EXPECT_EQ(n, static_cast<int>(line.size()));
}

// ---- request texts -----------------------------------------------------------

struct Credentials {
    const char *user, *password;
    const char *header;  // expected Authorization line, "" for none
};

TEST_F(PldClient, RequestTextsAreByteExact) {
    const Credentials cases[] = {
        {nullptr, nullptr, ""},
        {"admin", "secret", "Authorization: Basic YWRtaW46c2VjcmV0\r\n"},
        {"", nullptr, "Authorization: Basic Og==\r\n"},  // an empty text still asks for credentials
        {nullptr, "", "Authorization: Basic Og==\r\n"},
        {nullptr, "pw", "Authorization: Basic OnB3\r\n"},
    };
    const char *paths[] = {"/spilog.txt", "/spilog.bin", "/spilog.del", "/spilog.delall"};
    using Request = int (*)(int);
    const Request requests[] = {zxpld_get_spilog_csv, zxpld_get_spilog_bin, zxpld_get_spilog_del,
                                zxpld_get_spilog_delall};
    const char *done[] = {"csv", "bin", "del", "delall"};
    for (const Credentials &c : cases) {
        sim::UnitConfig config = quiet_log();
        config.user = c.user ? c.user : "";
        config.password = c.password ? c.password : "";
        sim::Unit unit(config);
        ASSERT_TRUE(unit.start());
        Recorder r;
        const int module = open(unit, r, c.user, c.password);
        ASSERT_GT(module, 0);
        for (int k = 0; k < 4; ++k) {
            ASSERT_EQ(requests[k](module), 0);
            ASSERT_TRUE(r.events.wait_for(done[k])) << done[k];
        }
        ASSERT_TRUE(unit.wait_for_requests(4, 15000));
        const std::vector<std::string> seen = unit.requests();
        ASSERT_EQ(seen.size(), 4u);
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(seen[k], std::string("GET ") + paths[k] + " HTTP/1.0\r\n" + c.header + "\r\n");
        EXPECT_EQ(r.completions(), 4u);
        EXPECT_EQ(r.events.count("connect"), 4u);
        EXPECT_EQ(zxpld_close(module), 0);
    }
}

TEST_F(PldClient, CredentialsAreKeptUpTo127Characters) {
    const std::string long_user(200, 'u');
    for (const size_t unit_user : {size_t{127}, size_t{128}}) {
        sim::UnitConfig config = quiet_log();
        config.user = std::string(unit_user, 'u');
        config.password = "p";
        sim::Unit unit(config);
        ASSERT_TRUE(unit.start());
        Recorder r;
        const int module = open(unit, r, long_user.c_str(), "p");
        ASSERT_GT(module, 0);
        ASSERT_EQ(zxpld_get_spilog_del(module), 0);
        if (unit_user == 127) {
            EXPECT_TRUE(r.events.wait_for("del"));
        } else {
            ASSERT_TRUE(r.events.wait_for("del_error"));
            EXPECT_EQ(r.error_codes(), std::vector<int>{kHTTP_401});
        }
        EXPECT_EQ(r.completions(), 1u);
        EXPECT_EQ(zxpld_close(module), 0);
    }
}

// ---- downloads ---------------------------------------------------------------

TEST_F(PldClient, CsvDownloadIsFilteredByTheModuleFilters) {
    sim::Unit unit(quiet_log());
    ASSERT_TRUE(unit.start());
    const auto records = mixed_records();
    for (const auto &rec : records) ASSERT_TRUE(unit.append_log(rec));
    const std::string served = sim::format_log_csv(records);
    for (const Filters f : every_filter()) {
        SCOPED_TRACE(::testing::Message() << "type " << f.type << " group " << f.group);
        Recorder r;
        const int module = open(unit, r, nullptr, nullptr, f.type, f.group);
        ASSERT_GT(module, 0);
        ASSERT_EQ(zxpld_get_spilog_csv(module), 0);
        ASSERT_TRUE(r.events.wait_for("csv"));
        EXPECT_EQ(r.csv, sim::format_log_csv(filtered(records, f.type, f.group)));
        EXPECT_EQ(r.data, served);  // chunks come unfiltered, as received
        EXPECT_FALSE(r.unterminated);
        EXPECT_EQ(r.completions(), 1u);
        EXPECT_EQ(r.events.count("connect"), 1u);
        ASSERT_EQ(zxpld_close(module), 0);
    }
}

TEST_F(PldClient, BinaryDownloadIsDeliveredWholeAndConvertsWithTheModuleFilters) {
    sim::Unit unit(quiet_log());
    ASSERT_TRUE(unit.start());
    const auto records = mixed_records();
    for (const auto &rec : records) ASSERT_TRUE(unit.append_log(rec));
    const std::string bytes = sim::encode_log_bin(records);
    for (const Filters f : every_filter()) {
        SCOPED_TRACE(::testing::Message() << "type " << f.type << " group " << f.group);
        Recorder r;
        const int module = open(unit, r, nullptr, nullptr, f.type, f.group);
        ASSERT_GT(module, 0);
        ASSERT_EQ(zxpld_get_spilog_bin(module), 0);
        ASSERT_TRUE(r.events.wait_for("bin"));
        ASSERT_EQ(r.bin, bytes);
        EXPECT_EQ(r.completions(), 1u);

        std::vector<char> text(bytes.size() * 4 + 1);
        int length = static_cast<int>(text.size());
        ASSERT_EQ(zxpld_bin2csv(module, reinterpret_cast<const unsigned char *>(r.bin.data()),
                                static_cast<int>(r.bin.size()), text.data(), &length),
                  0);
        EXPECT_EQ(std::string(text.data(), static_cast<size_t>(length)),
                  sim::format_log_csv(filtered(records, f.type, f.group)));
        ASSERT_EQ(zxpld_close(module), 0);
        // A closed slot keeps no filters.
        length = static_cast<int>(text.size());
        ASSERT_EQ(zxpld_bin2csv(module, reinterpret_cast<const unsigned char *>(bytes.data()),
                                static_cast<int>(bytes.size()), text.data(), &length),
                  0);
        EXPECT_EQ(std::string(text.data(), static_cast<size_t>(length)), sim::format_log_csv(records));
    }
}

TEST_F(PldClient, LargeLogGrowsTheBufferAndASmallerOneReusesIt) {
    sim::UnitConfig config = quiet_log();
    config.log_capacity = 4000;
    sim::Unit unit(config);
    ASSERT_TRUE(unit.start());
    std::vector<sim::LogRecord> records;
    for (int i = 0; i < 1600; ++i) {
        sim::LogRecord rec;
        rec.type = static_cast<uint8_t>(i % 2);
        rec.group = static_cast<uint8_t>(i % 5);
        rec.time = 1205589909 + 60 * i;
        for (int p = 0; p < 61; ++p)
            rec.pairs.emplace_back(static_cast<uint16_t>(p), static_cast<int16_t>(i * 7 - p * 1000));
        records.push_back(rec);
        ASSERT_TRUE(unit.append_log(rec));
    }
    const std::string bytes = sim::encode_log_bin(records);
    const std::string text = sim::format_log_csv(records);
    ASSERT_GT(bytes.size(), 350u * 1024);

    Recorder r;
    const int module = open(unit, r);
    ASSERT_GT(module, 0);
    ASSERT_EQ(zxpld_get_spilog_bin(module), 0);
    ASSERT_TRUE(r.events.wait_for("bin"));
    EXPECT_TRUE(r.bin == bytes) << r.bin.size() << " bytes instead of " << bytes.size();
    EXPECT_GE(r.data_calls, static_cast<int>(bytes.size() / 1024));

    ASSERT_EQ(zxpld_get_spilog_csv(module), 0);
    ASSERT_TRUE(r.events.wait_for("csv"));
    EXPECT_TRUE(r.csv == text) << r.csv.size() << " bytes instead of " << text.size();

    // A short log after the long ones: nothing of them may show through.
    const std::string small = "2008/03/15;14:05:09;1;3;2;3;-125;7;1;\r\n";
    unit.set_log_raw_txt(small);
    ASSERT_EQ(zxpld_get_spilog_csv(module), 0);
    ASSERT_TRUE(r.events.wait_for("csv", 2));
    EXPECT_EQ(r.csv, small);
    EXPECT_FALSE(r.unterminated);
    EXPECT_EQ(r.completions(), 3u);
}

TEST_F(PldClient, EveryReceivedChunkReachesOnDataAlsoWithoutBody) {
    sim::Unit unit(quiet_log());
    ASSERT_TRUE(unit.start());
    const std::string head = "HTTP/1.0 200 OK\r\nX-Log: 1\r\n\r\n";
    // One binary record and some more: zero bytes must pass unharmed.
    static constexpr char kBody[] = "\x10\x01\x95\xd7\xdb\x47\x03\x02\x03\x00\x83\xff\x07\x00\x01\x00" "tail";
    const std::string body(kBody, sizeof kBody - 1);
    sim::Fault drip;
    drip.raw_response = head + body;
    // The first piece holds only head bytes; the pause keeps it a read of its own.
    drip.drip_bytes = 20;
    drip.drip_delay_ms = 300;
    unit.set_fault("/spilog.bin", drip);
    Recorder r;
    const int module = open(unit, r);
    ASSERT_GT(module, 0);
    ASSERT_EQ(zxpld_get_spilog_bin(module), 0);
    ASSERT_TRUE(r.events.wait_for("bin"));
    EXPECT_EQ(r.bin, body);
    EXPECT_EQ(r.data, body);
    EXPECT_GE(r.empty_data_calls, 1);
    EXPECT_GE(r.data_calls, 2);
    EXPECT_FALSE(r.unterminated);
    EXPECT_EQ(r.completions(), 1u);
}

TEST_F(PldClient, FilterWithoutMemoryDeliversTheTextUnfilteredWithCode5) {
    sim::Unit unit(quiet_log());
    ASSERT_TRUE(unit.start());
    const auto records = mixed_records();
    for (const auto &rec : records) ASSERT_TRUE(unit.append_log(rec));
    pld::Client &c = pld::client();
    const pld::FilterPass real = c.filter_pass;
    c.filter_pass = [](int, int, std::vector<char> &, int *) { return -1; };
    Recorder r;
    const int module = open(unit, r, nullptr, nullptr, KALLOG_TYPE_ALARM, KALLOG_GROUP_OUTPUTS);
    ASSERT_GT(module, 0);
    ASSERT_EQ(zxpld_get_spilog_csv(module), 0);
    const bool arrived = r.events.wait_for("csv");
    c.filter_pass = real;
    ASSERT_TRUE(arrived);
    EXPECT_EQ(r.csv, sim::format_log_csv(records));
    EXPECT_EQ(error_code(module), kMEMORY);
    EXPECT_EQ(r.completions(), 1u);
}

TEST_F(PldClient, DeleteRequestsReachTheUnit) {
    sim::Unit unit(quiet_log());
    ASSERT_TRUE(unit.start());
    const auto records = mixed_records();
    for (const auto &rec : records) ASSERT_TRUE(unit.append_log(rec));
    Recorder r;
    const int module = open(unit, r);
    ASSERT_GT(module, 0);
    ASSERT_EQ(zxpld_get_spilog_csv(module), 0);
    ASSERT_TRUE(r.events.wait_for("csv"));
    sim::LogRecord late;
    late.type = 1;
    late.group = 4;
    late.time = 1300000000;
    late.pairs = {{1, 1}};
    ASSERT_TRUE(unit.append_log(late));
    ASSERT_EQ(zxpld_get_spilog_del(module), 0);
    ASSERT_TRUE(r.events.wait_for("del"));
    EXPECT_EQ(unit.log(), std::vector<sim::LogRecord>{late});  // what was served is gone
    ASSERT_EQ(zxpld_get_spilog_delall(module), 0);
    ASSERT_TRUE(r.events.wait_for("delall"));
    EXPECT_TRUE(unit.log().empty());
    EXPECT_EQ(r.completions(), 3u);
}

// ---- failures ----------------------------------------------------------------

TEST_F(PldClient, UnauthorizedGivesCode48ToTheKindsErrorCallback) {
    sim::UnitConfig config = quiet_log();
    config.user = "admin";
    config.password = "secret";
    sim::Unit unit(config);
    ASSERT_TRUE(unit.start());
    Recorder r;
    const int module = open(unit, r, "admin", "wrong");
    ASSERT_GT(module, 0);
    using Request = int (*)(int);
    const Request requests[] = {zxpld_get_spilog_csv, zxpld_get_spilog_bin, zxpld_get_spilog_del,
                                zxpld_get_spilog_delall};
    const char *errors[] = {"csv_error", "bin_error", "del_error", "delall_error"};
    for (int k = 0; k < 4; ++k) {
        ASSERT_EQ(requests[k](module), 0);
        ASSERT_TRUE(r.events.wait_for(errors[k])) << errors[k];
        EXPECT_EQ(error_code(module), kHTTP_401);
    }
    EXPECT_EQ(r.error_codes(), std::vector<int>(4, kHTTP_401));
    EXPECT_EQ(r.completions(), 4u);
    EXPECT_EQ(r.events.count("connect"), 4u);
    EXPECT_EQ(r.data, "");  // nothing of the refusal reaches on_data as body
    EXPECT_EQ(unit.log_served(), 0u);
}

TEST_F(PldClient, ServerErrorStatusesMapToTheirCodes) {
    sim::Unit unit(quiet_log());
    ASSERT_TRUE(unit.start());
    Recorder r;
    const int module = open(unit, r);
    ASSERT_GT(module, 0);
    const std::pair<int, int> statuses[] = {{400, kHTTP_400}, {404, kHTTP_404}, {417, kHTTP_417},
                                            {500, kHTTP_500}, {505, kHTTP_505}};
    size_t n = 0;
    for (const auto &[status, code] : statuses) {
        sim::Fault fault;
        fault.status = status;
        unit.set_fault("/spilog.bin", fault);
        ASSERT_EQ(zxpld_get_spilog_bin(module), 0);
        ASSERT_TRUE(r.events.wait_for("bin_error", ++n));
        EXPECT_EQ(r.error_codes().back(), code) << status;
    }
    // A status outside the failures delivers its body.
    sim::Fault moved;
    moved.status = 302;
    moved.body = "moved";
    unit.set_fault("/spilog.bin", moved);
    ASSERT_EQ(zxpld_get_spilog_bin(module), 0);
    ASSERT_TRUE(r.events.wait_for("bin"));
    EXPECT_EQ(r.bin, "moved");
    EXPECT_EQ(r.completions(), n + 1);
}

TEST_F(PldClient, RefusedConnectionReportsOnlyTheConnectErrorAndTheModuleGoesOn) {
    sim::Unit unit(quiet_log());
    ASSERT_TRUE(unit.start());
    const int port = unit.port();
    Recorder r;
    const int module = open(unit, r);
    ASSERT_GT(module, 0);
    unit.stop();
    ASSERT_EQ(zxpld_get_spilog_csv(module), 0);
    ASSERT_TRUE(r.events.wait_for("connect_error"));
    EXPECT_EQ(r.error_codes(), std::vector<int>{kSOCKET_CONNECT});
    EXPECT_EQ(error_code(module), kSOCKET_CONNECT);

    if (!unit.start(port)) GTEST_SKIP() << "port " << port << " was taken meanwhile";
    const std::string line = "2008/03/15;14:05:09;1;3;2;3;-125;7;1;\r\n";
    unit.set_log_raw_txt(line);
    ASSERT_EQ(zxpld_get_spilog_csv(module), 0);
    ASSERT_TRUE(r.events.wait_for("csv"));
    EXPECT_EQ(r.csv, line);
    // The worker serves one request at a time: by the second completion the
    // first one's callbacks are all in.
    EXPECT_EQ(r.events.all(), (std::vector<std::string>{"connect_error", "connect", "csv"}));
}

// A success head that never ends brought no log: it is no reply, not an
// empty download.
TEST_F(PldClient, CutHeadFailsTheRequestAsNoReply) {
    sim::Unit unit(quiet_log());
    ASSERT_TRUE(unit.start());
    sim::Fault cut;
    cut.close_before_header = true;
    unit.set_fault("/spilog.txt", cut);
    Recorder r;
    const int module = open(unit, r);
    ASSERT_GT(module, 0);
    ASSERT_EQ(zxpld_get_spilog_csv(module), 0);
    ASSERT_TRUE(r.events.wait_for("csv_error"));
    EXPECT_EQ(r.error_codes(), std::vector<int>{71});
    EXPECT_EQ(r.events.count("csv"), 0u);
    EXPECT_EQ(r.completions(), 1u);
}

// ---- closing -----------------------------------------------------------------

TEST_F(PldClient, CloseDuringASlowDownloadAbandonsItWithoutCallback) {
    sim::Unit unit(quiet_log());
    ASSERT_TRUE(unit.start());
    for (const auto &rec : mixed_records()) ASSERT_TRUE(unit.append_log(rec));
    sim::Fault drip;
    drip.drip_bytes = 16;
    drip.drip_delay_ms = 300;
    unit.set_fault("/spilog.txt", drip);
    Recorder r;
    const int module = open(unit, r);
    ASSERT_GT(module, 0);
    ASSERT_EQ(zxpld_get_spilog_csv(module), 0);
    ASSERT_TRUE(r.events.wait_for("connect"));
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(r.mu);
        return !r.data.empty();
    }));
    // 0 means the worker ended inside the close's wait; it stops within a slice.
    EXPECT_EQ(zxpld_close(module), 0);
    EXPECT_EQ(r.completions(), 0u);
    EXPECT_EQ(zxpld_get_spilog_csv(module), -1);
    EXPECT_EQ(error_code(0), kID_NOT_FOUND);
}

TEST_F(PldClient, CloseWhileTheUnitSaysNothingAbandonsTheRequest) {
    sim::Unit unit(quiet_log());
    ASSERT_TRUE(unit.start());
    sim::Fault mute;
    mute.never_answer = true;
    unit.set_fault("/spilog.bin", mute);
    Recorder r;
    const int module = open(unit, r);
    ASSERT_GT(module, 0);
    ASSERT_EQ(zxpld_get_spilog_bin(module), 0);
    ASSERT_TRUE(unit.wait_for_requests(1, 15000));
    EXPECT_EQ(zxpld_close(module), 0);
    EXPECT_EQ(r.completions(), 0u);
    EXPECT_EQ(r.data_calls, 0);
}

TEST_F(PldClient, CloseFromTheModulesOwnCallbackFailsWith39AndTheModuleGoesOn) {
    sim::Unit unit(quiet_log());
    ASSERT_TRUE(unit.start());
    Recorder r;
    std::vector<int> results;
    r.in_csv = [&](int module) {
        results.push_back(zxpld_close(module));
        results.push_back(error_code(module));
    };
    const int module = open(unit, r);
    ASSERT_GT(module, 0);
    ASSERT_EQ(zxpld_get_spilog_csv(module), 0);
    ASSERT_TRUE(r.events.wait_for("csv"));
    EXPECT_EQ(results, (std::vector<int>{-1, kTHREAD_NOT_EXIT}));
    r.in_csv = nullptr;
    ASSERT_EQ(zxpld_get_spilog_del(module), 0);
    ASSERT_TRUE(r.events.wait_for("del"));
    EXPECT_EQ(zxpld_close(module), 0);
    EXPECT_EQ(r.completions(), 2u);
}

// ---- the download buffer -----------------------------------------------------

struct Chunks {
    std::vector<int> counts;
    std::string bytes;
};

void count_chunk(int, void *u, const char *data, int count) {
    auto &c = *static_cast<Chunks *>(u);
    c.counts.push_back(count);
    c.bytes.append(data, static_cast<size_t>(count));
}

TEST(PldDownloadBuffer, GrowsByTheLargerOfTheNewTotalAndTheStep) {
    std::vector<char> buffer(pld::kDownloadInitial);
    Chunks chunks;
    pld::GrowingBody body(buffer, 3, &chunks, count_chunk);
    const std::string piece(1000, 'x');
    EXPECT_EQ(body.body(nullptr, 0), 0);  // the head's chunk
    for (int i = 0; i < 102; ++i) ASSERT_EQ(body.body(piece.data(), piece.size()), 0);
    EXPECT_EQ(buffer.size(), pld::kDownloadInitial);  // 102000 + terminator still fit
    ASSERT_EQ(body.body(piece.data(), 399), 0);
    EXPECT_EQ(buffer.size(), pld::kDownloadInitial);  // 102399 + terminator: exactly full
    ASSERT_EQ(body.body(piece.data(), 1), 0);
    // 102400 + terminator: grown by the new total (102400, the step).
    EXPECT_EQ(buffer.size(), 2 * pld::kDownloadInitial);
    EXPECT_EQ(body.length(), 102400);
    EXPECT_EQ(buffer[102400], '\0');

    // A chunk that more than doubles the text grows by the new total.
    const std::string big(300000, 'y');
    ASSERT_EQ(body.body(big.data(), big.size()), 0);
    EXPECT_EQ(buffer.size(), 2 * pld::kDownloadInitial + 402400);
    EXPECT_EQ(buffer[402400], '\0');
    EXPECT_EQ(chunks.bytes.size(), 402400u);
    EXPECT_EQ(chunks.counts.front(), 0);
    EXPECT_EQ(chunks.counts.size(), 1u + 102 + 1 + 1 + 1);
}

TEST(PldDownloadBuffer, GrowingPastTheLimitFailsWithCode5) {
    std::vector<char> buffer(16);
    Chunks chunks;
    pld::GrowingBody body(buffer, 3, &chunks, count_chunk, 24);
    ASSERT_EQ(body.body("0123456789", 10), 0);
    EXPECT_EQ(buffer.size(), 16u);
    ASSERT_EQ(body.body("0123456789abc", 13), 0);
    EXPECT_EQ(buffer.size(), 24u);  // the step is cut at the limit
    EXPECT_EQ(body.body("!", 1), kMEMORY);
    EXPECT_EQ(body.length(), 23);
    EXPECT_EQ(std::string(buffer.data()), "01234567890123456789abc");
    EXPECT_EQ(chunks.counts, (std::vector<int>{10, 13}));
}

}  // namespace
}  // namespace kalax::test
