// A device object talking to one simulated unit, with every event it raises
// recorded as a line: "open", "close", "start", "connect:<status>",
// "values:<device name>", "setup:<status>", "sent:<status>",
// "error:<Code>:<SdkCode>".
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kalax/zxapi.h"
#include "kalax/zxevents.h"
#include "unitsim/unitsim.h"

namespace kalax::test {

struct DeviceEvents {
    std::vector<std::string> lines;
    zxapi::TSdkError last_error;  // of the last error event
    std::function<void()> on_start;

    void Attach(zxapi::TIoXml &d) {
        d.OnOpen.Set([this](zxapi::TSdkSimpleEventArgs &) { lines.push_back("open"); });
        d.OnClose.Set([this](zxapi::TSdkSimpleEventArgs &) { lines.push_back("close"); });
        d.OnStart.Set([this](zxapi::TSdkSimpleEventArgs &) {
            lines.push_back("start");
            if (on_start) on_start();
        });
        d.OnConnect.Set(
            [this](zxapi::TIoXmlStatusEventArgs &a) { lines.push_back("connect:" + std::to_string(a.Status)); });
        d.OnValuesXml.Set([this](zxapi::TIoXmlValuesEventArgs &a) {
            lines.push_back(std::string("values:") + a.Cache->Agent_DeviceName);
        });
        d.OnSetupXml.Set(
            [this](zxapi::TIoXmlSetupEventArgs &a) { lines.push_back("setup:" + std::to_string(a.Status)); });
        d.OnSetupXmlSent.Set(
            [this](zxapi::TIoXmlSetupEventArgs &a) { lines.push_back("sent:" + std::to_string(a.Status)); });
        d.OnError.Set([this](zxapi::TSdkErrorEventArgs &a) {
            lines.push_back("error:" + std::to_string(a.Code) + ":" + std::to_string(a.SdkCode));
            last_error.SdkCode = a.SdkCode;
            last_error.SysCode = a.SysCode;
            last_error.SdkDesc = a.SdkDesc;
            last_error.SysDesc = a.SysDesc;
        });
    }
    bool Has(const std::string &line) const {
        for (const auto &l : lines)
            if (l == line) return true;
        return false;
    }
};

// Delivers events until `done` holds or `ms` pass; whether it held.
inline bool PumpUntil(const std::function<bool()> &done, int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        zx_events_wait(20);
    }
    return true;
}

// Delivers whatever arrives within `ms`.
inline void PumpFor(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) zx_events_wait(10);
}

// The body of a recorded request (after its head).
inline std::string BodyOf(const std::string &request) {
    const auto at = request.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : request.substr(at + 4);
}

class DeviceTest : public ::testing::Test {
protected:
    void StartUnit(sim::UnitConfig config = {}) {
        unit = std::make_unique<sim::Unit>(std::move(config));
        ASSERT_TRUE(unit->start(0));
    }
    // A device object on the unit, opened, its events recorded in `events`.
    std::unique_ptr<zxapi::TIoXml> OpenDevice(std::uint32_t old_version = 0) {
        auto d = std::make_unique<zxapi::TIoXml>(nullptr);
        events.Attach(*d);
        d->IP = "127.0.0.1";
        d->Port = static_cast<std::uint32_t>(unit->port());
        d->OldVerSupport = old_version;
        EXPECT_EQ(d->Open(), 0);
        events.lines.clear();
        return d;
    }
    // Runs one request to its end (the object back at OPENED, the events
    // delivered).
    static bool Finish(zxapi::TIoXml &d, const DeviceEvents &ev, std::size_t lines) {
        return PumpUntil([&] { return d.Status == zxapi::IOXML_STATUS_OPENED && ev.lines.size() >= lines; });
    }
    // The bodies of the unit's POST requests, oldest first.
    std::vector<std::string> Posts() const {
        std::vector<std::string> out;
        for (const auto &r : unit->requests())
            if (r.rfind("POST ", 0) == 0) out.push_back(BodyOf(r));
        return out;
    }
    void TearDown() override {
        if (unit) unit->stop();
    }

    std::unique_ptr<sim::Unit> unit;
    DeviceEvents events;
};

}  // namespace kalax::test
