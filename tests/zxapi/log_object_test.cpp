// The log object against the simulated unit: the status machine, the events
// of every request in their order, copies that outlive the worker's buffer,
// and nothing delivered after a close or to a destroyed object.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kalax/zxapi.h"
#include "kalax/zxpld.h"
#include "log_fixture.h"
#include "unitsim/unitsim.h"
#include "zxapi/family.h"
#include "zxapi/owner_queue.h"

namespace {

using kalax::test::attach;
using kalax::test::LogEvents;
using kalax::test::pump_for;
using kalax::test::pump_until;
using namespace zxapi;
namespace sim = kalax::sim;

sim::UnitConfig quiet_log() {
    sim::UnitConfig c;
    c.auto_log = false;
    return c;
}

std::vector<sim::LogRecord> mixed_records() {
    std::vector<sim::LogRecord> r;
    r.push_back({0, 1205589909, 0, {{215, 231}, {216, -40}}});
    r.push_back({1, 1205589969, 1, {{217, 999}}});
    r.push_back({0, 1205590029, 3, {{1, 1}, {2, 0}}});
    r.push_back({1, 1205590089, 4, {{151, 1}}});
    r.push_back({1, 1205590149, 2, {}});
    return r;
}

std::vector<sim::LogRecord> kept(const std::vector<sim::LogRecord> &all, bool (*keep)(const sim::LogRecord &)) {
    std::vector<sim::LogRecord> out;
    for (const auto &r : all)
        if (keep(r)) out.push_back(r);
    return out;
}

std::size_t queued() {
    auto *q = detail::OwnerQueue::ThisThreadIfAny();
    return q ? q->Pending() : 0;
}

class LogObject : public ::testing::Test {
protected:
    void SetUp() override {
        kalax::test::use_utc();
        ASSERT_TRUE(unit.start());
        for (const auto &r : mixed_records()) ASSERT_TRUE(unit.append_log(r));
    }
    void TearDown() override {
        log.reset();
        EXPECT_EQ(detail::Family::Logs().Count(), 0);
    }
    TKalLog &make(int csv = 1) {
        log = std::make_unique<TKalLog>(nullptr);
        attach(*log, ev);
        log->Port = unit.port();
        log->Csv = csv;
        return *log;
    }
    // Opens and forgets the OnOpen, so that a test sees its request's events only.
    void open_clean(TKalLog &l) {
        ASSERT_EQ(l.Open(), 0);
        ASSERT_EQ(ev.joined(), "open ");
        ev.names.clear();
    }
    bool finished() const { return ev.downloads + ev.errors + ev.count_prefix("delete:") > finished_before; }

    sim::Unit unit{quiet_log()};
    std::unique_ptr<TKalLog> log;
    LogEvents ev;
    int finished_before = 0;
};

TEST_F(LogObject, OpenAndCloseFollowTheStatusMachine) {
    TKalLog &l = make();
    EXPECT_EQ(l.Close(), -2);
    EXPECT_EQ(l.GetLogFile(), -2);
    EXPECT_EQ(l.Open(), 0);
    EXPECT_EQ(l.Status.load(), KALLOG_STATUS_OPENED);
    EXPECT_GT(l.Handle, 0);
    EXPECT_EQ(l.Open(), -2);
    EXPECT_EQ(l.Close(), 0);
    EXPECT_EQ(l.Status.load(), KALLOG_STATUS_CLOSED);
    EXPECT_EQ(l.Handle, -1);
    EXPECT_EQ(l.Close(), -2);
    EXPECT_EQ(ev.joined(), "open close ");

    l.IP = "127.000.000.0001";  // 16 characters
    EXPECT_EQ(l.Open(), -1);
    EXPECT_EQ(l.Status.load(), KALLOG_STATUS_CLOSED);
    EXPECT_EQ(ev.names.back(), "error:0:13");
    TSdkError e;
    l.GetLastError(e, 0);  // no module: the library-wide record
    EXPECT_EQ(e.SdkCode, 13);
    EXPECT_EQ(e.SdkDesc, "IP not valid");

    EXPECT_EQ(l.SetHostIP("localhost"), 0);
    EXPECT_EQ(l.IP, "127.0.0.1");
    l.IP = "10.1.2.3";
    EXPECT_EQ(l.SetHostIP(""), -1);
    EXPECT_EQ(l.IP, "10.1.2.3");
}

TEST_F(LogObject, CsvDownloadRaisesStartConnectReadsAndTheFilteredText) {
    TKalLog &l = make(1);
    l.RecType = KALLOG_TYPE_ALARM;
    open_clean(l);
    ASSERT_EQ(l.GetLogFile(), 0);
    EXPECT_EQ(ev.names.at(0), "start:2");
    ASSERT_TRUE(pump_until([&] { return finished(); })) << ev.joined();
    EXPECT_EQ(ev.names.at(1), "connect:2");
    EXPECT_EQ(ev.names.back(), "download");
    EXPECT_EQ(ev.count("read") + 3, static_cast<int>(ev.names.size()));
    EXPECT_GE(ev.count("read"), 1);
    for (int csv : ev.read_csv) EXPECT_EQ(csv, 1);
    // The chunks are copies of what came: the whole reply body, unfiltered.
    EXPECT_EQ(ev.read, sim::format_log_csv(mixed_records()));
    EXPECT_EQ(ev.download_csv, 1);
    EXPECT_EQ(ev.download, sim::format_log_csv(kept(mixed_records(), [](const sim::LogRecord &r) {
                  return r.type == 1;
              })));
    EXPECT_EQ(l.Status.load(), KALLOG_STATUS_OPENED);
    const KalLogDownload d = l.LastDownload();
    EXPECT_EQ(d.Csv, 1);
    EXPECT_EQ(std::string(d.Data, d.Size), ev.download);
}

TEST_F(LogObject, ReadChunksAreCopiesThatOutliveTheWorkersBuffer) {
    // Enough that the worker's buffer grows (and moves) during the download.
    std::vector<sim::LogRecord> all = mixed_records();
    for (int i = 0; i < 6000; ++i) {
        sim::LogRecord r = mixed_records()[i % 5];
        r.time += 60 * (i + 5);
        ASSERT_TRUE(unit.append_log(r));
        all.push_back(r);
    }
    const std::string text = sim::format_log_csv(all);
    ASSERT_GT(text.size(), 200000u);
    TKalLog &l = make(1);
    ASSERT_EQ(l.Open(), 0);
    ASSERT_EQ(l.GetLogFile(), 0);
    // Delivered only once the worker is done with the whole download.
    ASSERT_TRUE(kalax::test::eventually([&] { return l.Status.load() == KALLOG_STATUS_OPENED; }));
    ASSERT_TRUE(pump_until([&] { return finished(); }));
    EXPECT_EQ(ev.read, text);
    EXPECT_GE(ev.count("read"), static_cast<int>(text.size() / KALLOG_READ_CHUNK_MAX));
    EXPECT_EQ(ev.download, text);
}

TEST_F(LogObject, UnreachableUnitGivesConnectErrorWithCode28) {
    TKalLog &l = make(1);
    l.Port = sim::refused_port();
    ASSERT_EQ(l.Open(), 0);
    // A refusal comes at once, at times before the starting call has
    // returned: each time the status must be back at opened and the next
    // request accepted. (Many rounds, so that the worker wins the race often.)
    for (int i = 0; i < 3000; ++i) {
        ev.names.clear();
        finished_before = ev.downloads + ev.errors;
        ASSERT_EQ(l.GetLogFile(), 0) << "round " << i;
        ASSERT_TRUE(pump_until([&] { return finished(); }));
        EXPECT_EQ(ev.joined(), "start:2 error:7:28 ");
        EXPECT_EQ(l.Status.load(), KALLOG_STATUS_OPENED);
    }
    ev.names.clear();
    EXPECT_EQ(l.Delete(), 0);
    EXPECT_EQ(ev.joined(), "start:4 ");
    EXPECT_TRUE(pump_until([&] { return ev.names.size() == 2; }));
    EXPECT_EQ(ev.names.back(), "error:7:28");
}

TEST_F(LogObject, UnauthorizedGivesConnectReadAndTheRequestsError48) {
    unit.stop();
    sim::UnitConfig config = quiet_log();
    config.user = "admin";
    config.password = "secret";
    sim::Unit guarded(config);
    ASSERT_TRUE(guarded.start());
    TKalLog &l = make(1);
    l.Port = guarded.port();
    open_clean(l);
    ASSERT_EQ(l.GetLogFile(), 0);
    ASSERT_TRUE(pump_until([&] { return finished(); }));
    // A head that came in one piece fails before any chunk counts as read.
    EXPECT_EQ(ev.joined(), "start:2 connect:2 error:2:48 ");
    EXPECT_EQ(l.Status.load(), KALLOG_STATUS_OPENED);
    // Even empty credentials are sent (the Base64 of the lone colon).
    ASSERT_TRUE(guarded.wait_for_requests(1, 5000));
    EXPECT_NE(guarded.requests().at(0).find("Authorization: Basic Og==\r\n"), std::string::npos);

    // With the right ones the next open downloads.
    ASSERT_EQ(l.Close(), 0);
    l.Username = "admin";
    l.Password = "secret";
    ASSERT_EQ(l.Open(), 0);
    finished_before = ev.downloads + ev.errors;
    ASSERT_EQ(l.GetLogFile(), 0);
    ASSERT_TRUE(pump_until([&] { return finished(); }));
    EXPECT_EQ(ev.names.back(), "download");

    // A head that comes in pieces is read chunk by chunk before it fails.
    sim::Fault dripped = sim::Fault::with_status(401);
    dripped.drip_bytes = 6;
    dripped.drip_delay_ms = 5;
    guarded.set_fault("/spilog.txt", dripped);
    ev.names.clear();
    finished_before = ev.downloads + ev.errors;
    ASSERT_EQ(l.GetLogFile(), 0);
    ASSERT_TRUE(pump_until([&] { return finished(); }));
    ASSERT_GE(ev.names.size(), 4u) << ev.joined();
    EXPECT_EQ(ev.names[0], "start:2");
    EXPECT_EQ(ev.names[1], "connect:2");
    EXPECT_EQ(ev.names[2], "read");
    EXPECT_EQ(ev.names.back(), "error:2:48");
    EXPECT_EQ(ev.count("read") + 3, static_cast<int>(ev.names.size()));
}

TEST_F(LogObject, DeleteAndDeleteAllReportWhichTheyWere) {
    TKalLog &l = make(0);
    open_clean(l);
    ASSERT_EQ(l.Delete(), 0);
    ASSERT_TRUE(pump_until([&] { return finished(); }));
    EXPECT_EQ(ev.names.front(), "start:4");
    EXPECT_EQ(ev.names.back(), "delete:4");
    finished_before = 1;
    ASSERT_EQ(l.DeleteAll(), 0);
    ASSERT_TRUE(pump_until([&] { return finished(); }));
    EXPECT_EQ(ev.names.back(), "delete:5");
    EXPECT_EQ(ev.count("start:5"), 1);
    EXPECT_EQ(l.Status.load(), KALLOG_STATUS_OPENED);
    EXPECT_TRUE(unit.log().empty());
}

TEST_F(LogObject, NoSecondRequestWhileOneIsInProgress) {
    sim::Fault slow;
    slow.silence_ms = 400;
    unit.set_fault("/spilog.del", slow);
    TKalLog &l = make(1);
    ASSERT_EQ(l.Open(), 0);
    ASSERT_EQ(l.Delete(), 0);
    EXPECT_EQ(l.Status.load(), KALLOG_STATUS_DELETE);
    const std::size_t before = ev.names.size();
    EXPECT_EQ(l.GetLogFile(), -2);
    EXPECT_EQ(l.DeleteAll(), -2);
    EXPECT_EQ(l.Open(), -2);
    EXPECT_EQ(ev.names.size(), before);  // refusals raise nothing
    ASSERT_TRUE(pump_until([&] { return finished(); }));
    EXPECT_EQ(ev.names.back(), "delete:4");
}

TEST_F(LogObject, ARequestTheClientRefusesSetsTheStatusBackAndRaisesItsError) {
    TKalLog &l = make(0);
    ASSERT_EQ(l.Open(), 0);
    // The module goes behind the object's back: the client refuses the request.
    ASSERT_EQ(zxpld_close(l.Handle), 0);
    EXPECT_EQ(l.GetLogFile(), -1);
    EXPECT_EQ(l.Status.load(), KALLOG_STATUS_OPENED);
    EXPECT_EQ(ev.names.back(), "error:3:16");
    EXPECT_EQ(l.DeleteAll(), -1);
    EXPECT_EQ(ev.names.back(), "error:6:16");
    EXPECT_EQ(l.Status.load(), KALLOG_STATUS_OPENED);
}

TEST_F(LogObject, DownloadDataStaysIntactAfterTheNextRequestAndAfterClose) {
    TKalLog &l = make(1);
    ASSERT_EQ(l.Open(), 0);
    ASSERT_EQ(l.GetLogFile(), 0);
    ASSERT_TRUE(pump_until([&] { return ev.downloads == 1; }));
    const char *saved = ev.download_data;
    const std::string text = ev.download;
    ASSERT_FALSE(text.empty());

    // The next download (binary, larger) ends at the worker; its event is not
    // yet delivered: the saved text must not have changed.
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(unit.append_log(mixed_records()[i % 5]));
    l.Csv = 0;
    ASSERT_EQ(l.GetLogFile(), 0);
    ASSERT_TRUE(kalax::test::eventually([&] { return l.Status.load() == KALLOG_STATUS_OPENED; }));
    EXPECT_EQ(std::string(saved, text.size()), text);

    // Close drops the undelivered download; what was delivered is kept.
    ASSERT_EQ(l.Close(), 0);
    pump_for(100);
    EXPECT_EQ(ev.downloads, 1);
    EXPECT_EQ(std::string(saved, text.size()), text);
    EXPECT_EQ(l.LastDownload().Data, saved);

    // The next delivered download replaces it.
    ASSERT_EQ(l.Open(), 0);
    ASSERT_EQ(l.GetLogFile(), 0);
    ASSERT_TRUE(pump_until([&] { return ev.downloads == 2; }));
    EXPECT_EQ(ev.download_csv, 0);
    EXPECT_EQ(ev.download, unit.log().empty() ? std::string() : sim::encode_log_bin(unit.log()));
    EXPECT_EQ(l.LastDownload().Size, ev.download.size());
}

TEST_F(LogObject, NothingFollowsOnCloseAlsoWhenTheDownloadWasAlreadyQueued) {
    TKalLog &l = make(1);
    open_clean(l);
    ASSERT_EQ(l.GetLogFile(), 0);
    // Finished at the worker, its events queued and not delivered.
    ASSERT_TRUE(kalax::test::eventually([&] { return l.Status.load() == KALLOG_STATUS_OPENED; }));
    EXPECT_GT(queued(), 0u);
    ASSERT_EQ(l.Close(), 0);
    EXPECT_EQ(queued(), 0u);
    pump_for(200);
    EXPECT_EQ(ev.joined(), "start:2 close ");
    EXPECT_EQ(l.Status.load(), KALLOG_STATUS_CLOSED);
}

TEST_F(LogObject, CloseDuringADownloadAbandonsIt) {
    sim::Fault drip;
    drip.drip_bytes = 16;
    drip.drip_delay_ms = 100;
    unit.set_fault("/spilog.txt", drip);
    TKalLog &l = make(1);
    ASSERT_EQ(l.Open(), 0);
    ASSERT_EQ(l.GetLogFile(), 0);
    ASSERT_TRUE(pump_until([&] { return ev.count("read") >= 2; }));
    EXPECT_EQ(l.Status.load(), KALLOG_STATUS_GET_CSV);
    EXPECT_EQ(l.Close(), 0);
    EXPECT_EQ(l.Status.load(), KALLOG_STATUS_CLOSED);
    const std::size_t at_close = ev.names.size();
    EXPECT_EQ(ev.names.back(), "close");
    pump_for(500);
    EXPECT_EQ(ev.names.size(), at_close) << ev.joined();
    EXPECT_EQ(ev.downloads, 0);
}

TEST_F(LogObject, EmptyLogDownloadsAsAnEmptyText) {
    unit.clear_log();
    TKalLog &l = make(1);
    ASSERT_EQ(l.Open(), 0);
    for (int csv : {1, 0}) {
        l.Csv = csv;
        finished_before = ev.downloads;
        ASSERT_EQ(l.GetLogFile(), 0);
        ASSERT_TRUE(pump_until([&] { return finished(); }));
        EXPECT_EQ(ev.names.back(), "download");
        EXPECT_EQ(ev.download_size, 0u);
        ASSERT_NE(ev.download_data, nullptr);
        EXPECT_EQ(ev.download_data[0], '\0');
        EXPECT_EQ(ev.download_csv, csv);

        kalax::test::TempDir dir;
        const std::string file = dir.file("empty.csv");
        std::size_t offset = 99;
        EXPECT_EQ(l.WriteToFile(file.c_str(), l.LastDownload(), offset), 0);
        EXPECT_EQ(offset, 0u);
        const char *text = nullptr;
        EXPECT_EQ(l.ConvertBin2Csv(text, l.LastDownload()), 0);
        EXPECT_STREQ(text, "");
    }
    EXPECT_EQ(ev.errors, 0);
}

TEST_F(LogObject, BinaryDownloadIsWrittenWithTheTypeAndGroupFilters) {
    TKalLog &l = make(0);
    l.RecType = KALLOG_TYPE_ALARM;
    l.RecGroup = KALLOG_GROUP_SENSORS;
    ASSERT_EQ(l.Open(), 0);
    ASSERT_EQ(l.GetLogFile(), 0);
    ASSERT_TRUE(pump_until([&] { return finished(); }));
    ASSERT_EQ(ev.names.back(), "download");
    EXPECT_EQ(ev.download, sim::encode_log_bin(mixed_records()));  // the body is never filtered

    kalax::test::TempDir dir;
    const std::string file = dir.file("alarms.csv");
    std::size_t offset = 99;
    EXPECT_EQ(l.WriteToFile(file.c_str(), l.LastDownload(), offset), 0);
    EXPECT_EQ(offset, 0u);
    const std::string expected = sim::format_log_csv(
        kept(mixed_records(), [](const sim::LogRecord &r) { return r.type == 1 && r.group <= 2; }));
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(kalax::test::read_file(file), expected);
    const char *text = nullptr;
    EXPECT_EQ(l.ConvertBin2Csv(text, l.LastDownload()), static_cast<int>(expected.size()));
    EXPECT_EQ(std::string(text), expected);
}

TEST_F(LogObject, DestroyedMidDownloadReceivesNothingAndLeavesTheClient) {
    sim::Fault drip;
    drip.drip_bytes = 8;
    drip.drip_delay_ms = 20;
    unit.set_fault("/spilog.bin", drip);
    for (int round = 0; round < 3; ++round) {
        TKalLog &l = make(0);
        ASSERT_EQ(l.Open(), 0);
        ASSERT_EQ(l.GetLogFile(), 0);
        // The worker is posting reads that are not delivered yet.
        ASSERT_TRUE(kalax::test::eventually([] { return queued() >= 2; }));
        const std::size_t seen = ev.names.size();
        log.reset();
        EXPECT_EQ(queued(), 0u);
        pump_for(100);
        EXPECT_EQ(ev.names.size(), seen);
    }
    // A made object may also go in one of its own handlers.
    TKalLog &l = make(0);
    ASSERT_EQ(l.Open(), 0);
    bool gone = false;
    l.OnConnect.Set([&](TKalLogStatusEventArgs &) {
        gone = true;
        log.reset();  // this handler goes with it: nothing after this line
    });
    ASSERT_EQ(l.GetLogFile(), 0);
    ASSERT_TRUE(pump_until([&] { return gone; }));
    pump_for(100);
    EXPECT_EQ(ev.downloads, 0);
}

TEST_F(LogObject, TheEventlessObjectReturnsToOpenedAfterEachRequest) {
    TKalLogCustom l(nullptr);
    l.Port = unit.port();
    ASSERT_EQ(l.Open(), 0);
    for (auto start : {&TKalLogCustom::GetLogFile, &TKalLogCustom::Delete, &TKalLogCustom::DeleteAll}) {
        ASSERT_EQ((l.*start)(), 0);
        EXPECT_TRUE(kalax::test::eventually([&] { return l.Status.load() == KALLOG_STATUS_OPENED; }));
    }
    l.Port = sim::refused_port();  // taken at the next open only
    ASSERT_EQ(l.GetLogFile(), 0);
    EXPECT_TRUE(kalax::test::eventually([&] { return l.Status.load() == KALLOG_STATUS_OPENED; }));
    EXPECT_EQ(unit.request_count(), 4u);
    EXPECT_EQ(queued(), 0u);  // it posts nothing
}

TEST_F(LogObject, TwoObjectsShareTheClientAndTheLastOneEndsIt) {
    {
        TKalLog a(nullptr), b(nullptr);
        EXPECT_EQ(detail::Family::Logs().Count(), 2);
        a.Port = b.Port = unit.port();
        ASSERT_EQ(a.Open(), 0);
        ASSERT_EQ(b.Open(), 0);
        EXPECT_NE(a.Handle, b.Handle);
    }
    EXPECT_EQ(detail::Family::Logs().Count(), 0);
    // The client was ended: nothing is left open.
    zx_error_struct e{};
    EXPECT_EQ(zxpld_get_spilog_csv(1), -1);
    zxpld_error(0, &e);
    EXPECT_EQ(e.code, 16);
}

}  // namespace
