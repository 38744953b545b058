// Shared by the log object's tests: a recorder of every event a TKalLog raises,
// a pump that delivers the owner thread's events until something holds, and
// small file helpers.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "kalax/zxapi.h"
#include "kalax/zxevents.h"
#include "support/events.h"
#include "support/temp_dir.h"

namespace kalax::test {

// What the handlers saw, in order. Names: "open", "close", "start:S",
// "connect:S", "read", "download", "delete:S", "error:CODE:SDKCODE".
struct LogEvents {
    std::vector<std::string> names;
    std::string read;  // every OnRead chunk, concatenated
    std::vector<int> read_csv;
    std::string download;  // the last OnDownload's bytes
    std::int32_t download_csv = -1;
    const char *download_data = nullptr;  // as handed to the handler
    std::uint32_t download_size = 0;
    int downloads = 0;
    int errors = 0;
    int sdk_code = 0;     // of the last error
    std::uint8_t kind = 255;  // of the last error
    std::function<void()> on_download;

    int count(const std::string &name) const {
        int n = 0;
        for (const auto &e : names) n += e == name;
        return n;
    }
    int count_prefix(const std::string &prefix) const {
        int n = 0;
        for (const auto &e : names) n += e.rfind(prefix, 0) == 0;
        return n;
    }
    // Position of the first event named `name`, or -1.
    int index(const std::string &name) const {
        for (size_t i = 0; i < names.size(); ++i)
            if (names[i] == name) return static_cast<int>(i);
        return -1;
    }
    std::string joined() const {
        std::string s;
        for (const auto &e : names) s += e + " ";
        return s;
    }
};

inline void attach(zxapi::TKalLog &log, LogEvents &ev) {
    using namespace zxapi;
    log.OnOpen.Set([&ev](TSdkSimpleEventArgs &) { ev.names.push_back("open"); });
    log.OnClose.Set([&ev](TSdkSimpleEventArgs &) { ev.names.push_back("close"); });
    log.OnStart.Set([&ev](TKalLogStatusEventArgs &a) { ev.names.push_back("start:" + std::to_string(a.Status)); });
    log.OnConnect.Set(
        [&ev](TKalLogStatusEventArgs &a) { ev.names.push_back("connect:" + std::to_string(a.Status)); });
    log.OnRead.Set([&ev](TKalLogBufferEventArgs &a) {
        ev.names.push_back("read");
        ev.read.append(a.Data, a.Size);
        ev.read_csv.push_back(a.Csv);
    });
    log.OnDownload.Set([&ev](TKalLogBufferEventArgs &a) {
        ev.names.push_back("download");
        ++ev.downloads;
        ev.download.assign(a.Data, a.Size);
        ev.download_csv = a.Csv;
        ev.download_data = a.Data;
        ev.download_size = a.Size;
        if (ev.on_download) ev.on_download();
    });
    log.OnDelete.Set([&ev](TKalLogStatusEventArgs &a) { ev.names.push_back("delete:" + std::to_string(a.Status)); });
    log.OnError.Set([&ev](TSdkErrorEventArgs &a) {
        ev.names.push_back("error:" + std::to_string(a.Code) + ":" + std::to_string(a.SdkCode));
        ++ev.errors;
        ev.sdk_code = a.SdkCode;
        ev.kind = a.Code;
    });
}

// Delivers this thread's events until `done` holds; false after `timeout_ms`.
inline bool pump_until(const std::function<bool()> &done, int timeout_ms = 15000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        zx_events_wait(20);
    }
    return true;
}

// Delivers whatever arrives within `ms`.
inline void pump_for(int ms) {
    pump_until([] { return false; }, ms);
}

inline void write_file(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool exists(const std::string &path) { return ::access(path.c_str(), F_OK) == 0; }

inline void use_utc() {
    setenv("TZ", "UTC", 1);
    tzset();
}

// The example record: alarm, 1205589909, group 3, pairs (3, -125) and (7, 1).
inline std::string example_record() {
    const unsigned char r[] = {0x10, 0x01, 0x95, 0xd7, 0xdb, 0x47, 0x03, 0x02,
                               0x03, 0x00, 0x83, 0xff, 0x07, 0x00, 0x01, 0x00};
    return std::string(reinterpret_cast<const char *>(r), sizeof r);
}
inline const char *example_line() { return "2008/03/15;14:05:09;1;3;2;3;-125;7;1;\r\n"; }

}  // namespace kalax::test
