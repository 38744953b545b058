// The device object's requests, events and status machine against a simulated
// unit, and its ends: Close and destruction with a request running, late
// notifications, the library-wide record.
#include <cerrno>
#include <thread>

#include "kalax/zxxml.h"
#include "zxapi/device_fixture.h"
#include "zxapi/device_link.h"
#include "zxapi/family.h"
#include "zxapi/sensor_module.h"

namespace kalax::test {
namespace {

using zxapi::TIoXml;

TEST_F(DeviceTest, ValuesAndSetupRequestsRaiseTheirEventsInOrder) {
    StartUnit();
    auto d = OpenDevice();
    const zxxml_values_struct *seen_cache = nullptr;
    d->OnValuesXml.Set([&](zxapi::TIoXmlValuesEventArgs &a) {
        events.lines.push_back(std::string("values:") + a.Cache->Agent_DeviceName);
        seen_cache = a.Cache;
        // The event's own copy, not the client's cache that the next request rewrites.
        zxxml_values_struct *client_cache = nullptr;
        zxxml_values_count_struct *client_counts = nullptr;
        ASSERT_EQ(zxxml_get_values_cache(d->Handle, &client_cache, &client_counts), 0);
        EXPECT_NE(a.Cache, client_cache);
        EXPECT_NE(a.Counts, client_counts);
        EXPECT_EQ(a.Counts->SenSet, 3);
        EXPECT_STREQ(a.Address, "127.0.0.1");
        EXPECT_EQ(a.Port, unit->port());
        EXPECT_EQ(d->Status, zxapi::IOXML_STATUS_OPENED);
    });
    ASSERT_EQ(d->GetValuesXml(), 0);
    EXPECT_EQ(d->StartedStatus(), zxapi::IOXML_STATUS_GET_VALUES_XML);
    ASSERT_TRUE(Finish(*d, events, 3));
    EXPECT_EQ(events.lines, (std::vector<std::string>{"start", "connect:2", "values:Serverraum S\xC3\xBC" "d"}));
    EXPECT_NE(seen_cache, nullptr);
    EXPECT_EQ(d->GetCount(0), 4 + 3 + 2);

    // A setup request: the connection reports the setup request's status.
    events.lines.clear();
    ASSERT_EQ(d->GetSetupXml(), 0);
    EXPECT_EQ(d->GetValuesXml(), -2);
    zxapi::TXmlSensorEnum item;
    EXPECT_EQ(d->GetSensor(0, item, 1), -2);
    EXPECT_GE(d->GetCount(0), 0) << "the count answers during a request";
    ASSERT_TRUE(Finish(*d, events, 3));
    EXPECT_EQ(events.lines, (std::vector<std::string>{"start", "connect:3", "setup:3"}));
    EXPECT_EQ(d->GetSensor(4, item, 1), 0);
    EXPECT_EQ(item.Id, 215);
    EXPECT_EQ(d->GetSensor(9, item, 1), -3);
}

// Credentials go cut to the client's 99 characters: a unit whose user is the
// first 99 characters of a longer name lets the object in.
TEST_F(DeviceTest, LongUserNameIsSentCut) {
    sim::UnitConfig config;
    config.user = std::string(99, 'u');
    config.password = "pw";
    StartUnit(config);
    auto d = std::make_unique<TIoXml>(nullptr);
    events.Attach(*d);
    d->Port = static_cast<std::uint32_t>(unit->port());
    d->Username = std::string(120, 'u');
    d->Password = "pw";
    ASSERT_EQ(d->Open(), 0);
    ASSERT_EQ(d->GetSetupXml(), 0);
    ASSERT_TRUE(Finish(*d, events, 4));
    EXPECT_EQ(events.lines.back(), "setup:3");
}

TEST_F(DeviceTest, RefusedPortEndsWithTheConnectionError) {
    auto d = std::make_unique<TIoXml>(nullptr);
    events.Attach(*d);
    d->Port = static_cast<std::uint32_t>(sim::refused_port());
    ASSERT_EQ(d->Open(), 0);
    ASSERT_EQ(d->GetValuesXml(), 0);
    ASSERT_TRUE(Finish(*d, events, 3));
    EXPECT_EQ(events.lines, (std::vector<std::string>{"open", "start", "error:2:28"}));
    EXPECT_EQ(events.last_error.SysCode, ECONNREFUSED);
    EXPECT_EQ(events.last_error.SdkDesc, "Socket connect failure");
}

TEST_F(DeviceTest, FailedAnswersEndWithTheRequestsError) {
    StartUnit();
    auto d = OpenDevice();
    unit->set_fault("/setup.xml", sim::Fault::with_status(500));
    ASSERT_EQ(d->GetSetupXml(), 0);
    ASSERT_TRUE(Finish(*d, events, 3));
    EXPECT_EQ(events.lines, (std::vector<std::string>{"start", "connect:3", "error:3:65"}));
    // A name change whose answer cannot be read.
    events.lines.clear();
    ASSERT_EQ(d->SetSensName(216, "x"), 0);
    ASSERT_TRUE(Finish(*d, events, 3));
    EXPECT_EQ(events.lines, (std::vector<std::string>{"start", "connect:7", "error:7:65"}));
}

// Refusals by status: nothing is started; only the sensor changes report
// theirs, with LastError.
TEST_F(DeviceTest, OperationsTheStatusDoesNotAllow) {
    StartUnit();
    auto d = OpenDevice();
    EXPECT_EQ(d->Open(), -2);
    sim::Fault slow;
    slow.silence_ms = 300;
    unit->set_fault("/values.xml", slow);
    ASSERT_EQ(d->GetValuesXml(), 0);
    events.lines.clear();
    EXPECT_EQ(d->SetOutput(152, 1), -2);
    EXPECT_EQ(d->SetSetupXml("<Root/>"), -2);
    EXPECT_EQ(d->GetSetupXml(), -2);
    EXPECT_TRUE(events.lines.empty());
    EXPECT_EQ(d->SetRange(216, 1.0f, 2.0f), -2);
    EXPECT_EQ(events.lines, (std::vector<std::string>{"error:6:0"}));
    EXPECT_EQ(d->Status, zxapi::IOXML_STATUS_GET_VALUES_XML);
    ASSERT_TRUE(Finish(*d, events, 3));
    EXPECT_EQ(d->Close(), 0);
    EXPECT_EQ(d->Close(), -2);
    EXPECT_EQ(d->GetCount(0), -2);
}

// The start report carries the status its request began with, though a fast
// completion may already have set the object back to idle.
TEST_F(DeviceTest, StartReportsTheStartedStatusAfterAFastCompletion) {
    StartUnit();
    auto d = OpenDevice();
    int started = -1;
    events.on_start = [&] {
        // Let the worker finish first, as a slow handler would.
        for (int i = 0; i < 500 && d->Status != zxapi::IOXML_STATUS_OPENED; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(d->Status, zxapi::IOXML_STATUS_OPENED);
        started = d->StartedStatus();
    };
    const std::string doc = unit->values_xml();
    ASSERT_EQ(d->LoadValuesXml(doc.c_str()), 0);
    EXPECT_EQ(started, zxapi::IOXML_STATUS_GET_VALUES_XML);
    ASSERT_TRUE(Finish(*d, events, 2));
    EXPECT_EQ(events.lines.back(), "values:Serverraum S\xC3\xBC" "d");
}

// With no module the library-wide record is read, and slot 0 keeps what it had.
TEST_F(DeviceTest, LastErrorWithoutAModuleReadsTheLibraryRecord) {
    auto d = std::make_unique<TIoXml>(nullptr);
    events.Attach(*d);
    d->IP = std::string(120, 'h');
    EXPECT_EQ(d->Open(), -1);
    EXPECT_EQ(events.lines, (std::vector<std::string>{"error:0:13"}));
    zxapi::TSdkError e;
    d->GetLastError(e, 0);
    EXPECT_EQ(e.SdkCode, 13);
    EXPECT_EQ(e.SdkDesc, "IP not valid");
    zx_error_struct slot0{};
    zxxml_error(0, &slot0);
    EXPECT_EQ(slot0.code, 13) << "reading the record stored code 18";
}

TEST_F(DeviceTest, CloseWithARequestRunningRaisesNothingLater) {
    StartUnit();
    auto d = OpenDevice();
    sim::Fault slow;
    slow.silence_ms = 200;
    unit->set_fault("/values.xml", slow);
    ASSERT_EQ(d->GetValuesXml(), 0);
    ASSERT_TRUE(unit->wait_for_requests(1, 5000));
    PumpFor(20);  // the connect event may arrive; the values must not
    EXPECT_EQ(d->Close(), 0);
    EXPECT_EQ(d->Status, zxapi::IOXML_STATUS_CLOSED);
    PumpFor(400);
    EXPECT_EQ(events.lines.back(), "close");
    for (const auto &l : events.lines) EXPECT_EQ(l.rfind("values", 0), std::string::npos) << l;
    // Values that arrived but were not delivered yet are not news after Close.
    events.lines.clear();
    unit->clear_faults();
    ASSERT_EQ(d->Open(), 0);
    ASSERT_EQ(d->GetValuesXml(), 0);
    for (int i = 0; i < 500 && d->Status != zxapi::IOXML_STATUS_OPENED; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(d->Close(), 0);
    PumpFor(50);
    EXPECT_EQ(events.lines, (std::vector<std::string>{"open", "start", "close"}));
    // Open again: the object works as new.
    events.lines.clear();
    unit->clear_faults();
    ASSERT_EQ(d->Open(), 0);
    ASSERT_EQ(d->GetValuesXml(), 0);
    ASSERT_TRUE(Finish(*d, events, 4));
}

// Destroyed at every point of a request, on the owner thread: no handler runs
// afterwards, nothing is left queued, and (under the sanitizers) nothing
// touches the object after it went.
TEST_F(DeviceTest, DestroyedMidRequest) {
    StartUnit();
    for (int i = 0; i < 12; ++i) {
        auto d = OpenDevice();
        if (i % 3 == 0) {
            sim::Fault slow;
            slow.silence_ms = 50;
            unit->set_fault("/values.xml", slow);
        } else {
            unit->clear_faults();
        }
        ASSERT_EQ(d->GetValuesXml(), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(i * 3));
        if (i % 2) zx_events_dispatch(1);
        events.lines.clear();
        d.reset();
        PumpFor(30);
        EXPECT_TRUE(events.lines.empty()) << i << ": " << events.lines.front();
        EXPECT_EQ(zx_events_dispatch(0), 0);
    }
}

// The same for a two-step change: during the fetch, during the second step and
// with the temporary module's end still queued.
TEST_F(DeviceTest, DestroyedMidFirstStep) {
    sim::UnitConfig config;
    config.sensor_id_base = 213;
    StartUnit(config);
    for (int i = 0; i < 12; ++i) {
        auto d = OpenDevice(1);
        if (i % 3 == 0) {
            sim::Fault slow;
            slow.silence_ms = 50;
            unit->set_fault("/values.xml", slow);
        } else {
            unit->clear_faults();
        }
        ASSERT_EQ(d->SetRange(215, 1.0f, 2.0f), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(i * 4));
        events.lines.clear();
        d.reset();
        PumpFor(30);
        EXPECT_TRUE(events.lines.empty()) << i << ": " << events.lines.front();
    }
    // Every module went with its object (the client itself ended with the last).
    EXPECT_EQ(zxapi::detail::Family::Devices().Count(), 0);
}

// Destroyed on another thread while the owner thread delivers its events.
TEST_F(DeviceTest, DestroyedOnAnotherThreadDuringDelivery) {
    StartUnit();
    auto d = OpenDevice();
    std::atomic<bool> in_handler{false};
    d->OnConnect.Set([&](zxapi::TIoXmlStatusEventArgs &) {
        in_handler = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        in_handler = false;
    });
    ASSERT_EQ(d->GetValuesXml(), 0);
    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        while (!in_handler) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        d.reset();
        EXPECT_FALSE(in_handler) << "destroyed under a running handler";
        destroyed = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return destroyed.load(); }, 5000));
    destroyer.join();
    PumpFor(30);
    EXPECT_EQ(zx_events_dispatch(0), 0);
}

// The link the client's callbacks use: a clear waits for a callback in
// progress, and a callback after the clear finds nothing.
TEST(DeviceLink, ClearWaitsForARunningCallbackAndLaterOnesFindNothing) {
    auto *object = reinterpret_cast<zxapi::TIoXmlCustom *>(0x1000);  // never dereferenced
    void *token = zxapi::detail::LinkOpen(object);
    ASSERT_NE(token, nullptr);
    std::atomic<int> calls{0};
    std::atomic<bool> inside{false}, release{false}, cleared{false};
    std::thread worker([&] {
        zxapi::detail::LinkCall(token, [&](zxapi::TIoXmlCustom &o) {
            EXPECT_EQ(&o, object);
            ++calls;
            inside = true;
            while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            EXPECT_FALSE(cleared) << "cleared under a running callback";
        });
    });
    while (!inside) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::thread closer([&] {
        zxapi::detail::LinkClear(token);
        cleared = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(cleared);
    release = true;
    closer.join();
    worker.join();
    EXPECT_TRUE(cleared);
    zxapi::detail::LinkCall(token, [&](zxapi::TIoXmlCustom &) { ++calls; });
    EXPECT_EQ(calls, 1);
    zxapi::detail::LinkClear(token);  // twice is harmless
}

}  // namespace
}  // namespace kalax::test
