// The log client's behaviour at the protocol's own timeouts: 10 silent seconds
// end a download (a failure when no reply had begun), and a close waits
// 3000 ms for its worker.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "client_fixture.h"
#include "kalax/zxpld.h"
#include "sdk/runtime/result_codes.h"
#include "unitsim/unitsim.h"

namespace kalax::test {
namespace {

// Ten silent seconds before any byte: no status line came, so nothing was
// downloaded and the request fails (code 71), never an empty success.
TEST_F(PldClient, SilentUnitFailsTheDownloadAsNoReply) {
    sim::Unit unit(quiet_log());
    ASSERT_TRUE(unit.start());
    sim::Fault mute;
    mute.never_answer = true;
    unit.set_fault("/spilog.bin", mute);
    Recorder r;
    const int module = open(unit, r);
    ASSERT_GT(module, 0);
    ASSERT_EQ(zxpld_get_spilog_bin(module), 0);
    ASSERT_TRUE(r.events.wait_for("bin_error", 1, 30000));
    EXPECT_EQ(r.events.count("bin"), 0u);
    EXPECT_EQ(r.completions(), 1u);
    EXPECT_EQ(error_code(module), kHTTP_UNKNOWN);
}

TEST_F(PldClient, SilenceAfterPartOfTheBodyDeliversWhatCame) {
    sim::Unit unit(quiet_log());
    ASSERT_TRUE(unit.start());
    sim::Fault stall;
    const std::string head = "HTTP/1.0 200 OK\r\n\r\n";
    stall.raw_response = head + "2008/03/15;14:05:09;1;3;2;3;-125;7;1;\r\n";
    stall.drip_bytes = static_cast<int>(head.size()) + 10;
    stall.drip_delay_ms = 20000;
    unit.set_fault("/spilog.txt", stall);
    Recorder r;
    const int module = open(unit, r);
    ASSERT_GT(module, 0);
    ASSERT_EQ(zxpld_get_spilog_csv(module), 0);
    ASSERT_TRUE(r.events.wait_for("csv", 1, 30000));
    EXPECT_EQ(r.data, "2008/03/15");
    // The filter pass ends the cut line like any other.
    EXPECT_EQ(r.csv, "2008/03/15\r\n");
    EXPECT_EQ(r.completions(), 1u);
}

// Holds a module's worker inside on_del until released.
struct Blocker {
    std::mutex mu;
    std::condition_variable cv;
    bool entered = false;
    bool released = false;

    void hold() {
        std::unique_lock<std::mutex> lock(mu);
        entered = true;
        cv.notify_all();
        cv.wait(lock, [&] { return released; });
    }
    bool wait_entered() {
        std::unique_lock<std::mutex> lock(mu);
        return cv.wait_for(lock, std::chrono::seconds(15), [&] { return entered; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(mu);
        released = true;
        cv.notify_all();
    }
};

Blocker *blocker = nullptr;

TEST_F(PldClient, SlotOfAWorkerThatOutlivedItsCloseStaysTakenUntilItEnds) {
    sim::Unit unit(quiet_log());
    ASSERT_TRUE(unit.start());
    Blocker b;
    blocker = &b;
    Recorder r;
    zxpld_settings_struct s = recorded_settings("127.0.0.1", unit.port(), &r);
    s.on_del = [](int, void *) { blocker->hold(); };
    // The cursor only comes back to a slot once the table has been filled.
    for (int i = 1; i <= 99; ++i) ASSERT_EQ(zxpld_open(&s), i);
    ASSERT_EQ(zxpld_get_spilog_del(99), 0);
    ASSERT_TRUE(b.wait_entered());

    EXPECT_EQ(zxpld_close(99), -1);
    EXPECT_EQ(error_code(99), kTHREAD_NOT_EXIT);
    EXPECT_EQ(zxpld_get_spilog_csv(99), -1);  // closed, though its worker lives on
    EXPECT_EQ(error_code(0), kID_NOT_FOUND);
    EXPECT_EQ(zxpld_open(&s), -1);  // the cursor stands on 99, still in use
    EXPECT_EQ(error_code(0), kID_IN_USE);

    b.release();
    EXPECT_TRUE(eventually([&] { return zxpld_open(&s) == 99; }));
    ASSERT_EQ(zxpld_get_spilog_delall(99), 0);
    EXPECT_TRUE(r.events.wait_for("delall"));
    blocker = nullptr;
}

}  // namespace
}  // namespace kalax::test
