// A close that times out: the module's worker is still inside a notification
// when the client gives up waiting for it (code 39). The object stays usable,
// and its destruction waits for that notification instead of freeing the
// object under it; nothing reaches the handlers afterwards.
#include <thread>

#include "kalax/zxxml.h"
#include "zxapi/device_fixture.h"

namespace kalax::test {
namespace {

// Its values notification outlasts the client's wait for the worker's end.
class SlowDevice : public zxapi::TIoXml {
public:
    using TIoXml::TIoXml;
    ~SlowDevice() override { ShutDown(); }
    void DoValuesXml(int module, void *owner, int index, zxxml_values_struct *v,
                     zxxml_values_count_struct *c) override {
        inside = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(3600));
        TIoXml::DoValuesXml(module, owner, index, v, c);
        left = true;
    }
    std::atomic<bool> inside{false}, left{false};
};

TEST_F(DeviceTest, CloseThatTimesOutAndALateNotification) {
    StartUnit();
    auto d = std::make_unique<SlowDevice>(nullptr);
    events.Attach(*d);
    d->Port = static_cast<std::uint32_t>(unit->port());
    ASSERT_EQ(d->Open(), 0);
    ASSERT_EQ(d->GetValuesXml(), 0);
    while (!d->inside) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    events.lines.clear();
    EXPECT_EQ(d->Close(), -1);
    EXPECT_EQ(events.lines, (std::vector<std::string>{"error:1:39"}));
    EXPECT_FALSE(d->left);
    events.lines.clear();
    d.reset();  // waits for the notification, whose event then goes unseen
    PumpFor(100);
    EXPECT_TRUE(events.lines.empty()) << events.lines.front();
    EXPECT_EQ(zx_events_dispatch(0), 0);
}

}  // namespace
}  // namespace kalax::test
