// A log object whose notification outlasts the client's close wait: the object
// must not be gone while that worker can still call it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "kalax/zxapi.h"
#include "sdk/pld/client.h"
#include "support/events.h"
#include "unitsim/unitsim.h"

namespace {

using namespace std::chrono_literals;

std::atomic<bool> entered{false};
std::atomic<bool> left{false};

class Stuck : public zxapi::TKalLogCustom {
public:
    using TKalLogCustom::TKalLogCustom;
    // Notifications of this class run until the object is shut down.
    ~Stuck() override { ShutDown(); }
    void DoConnect(int, void *) override {
        entered = true;
        std::this_thread::sleep_for(3500ms);  // longer than the client's 3 s close wait
        ++calls;                              // the object must still be there
        left = true;
    }
    int calls = 0;
};

TEST(LogObjectSlow, DestructionWaitsForANotificationThatOutlastsTheClose) {
    kalax::sim::UnitConfig config;
    config.auto_log = false;
    kalax::sim::Unit unit(config);
    ASSERT_TRUE(unit.start());
    auto log = std::make_unique<Stuck>(nullptr);
    log->Port = unit.port();
    ASSERT_EQ(log->Open(), 0);
    ASSERT_EQ(log->GetLogFile(), 0);
    ASSERT_TRUE(kalax::test::eventually([] { return entered.load(); }));
    const int module = log->Handle;
    const auto start = std::chrono::steady_clock::now();
    log.reset();
    // The close gave up after its wait; the object went only once the
    // notification had returned.
    EXPECT_TRUE(left.load());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 3000ms);
    // That worker then ends, and its slot is given back.
    EXPECT_TRUE(kalax::test::eventually([&] { return kalax::pld::client().slot_free(module); }));
}

}  // namespace
