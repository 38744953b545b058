// Shared by the log client's tests: a recorder behind the eleven callbacks and a
// fixture that initialises the client and releases it whatever a test left open.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "kalax/zxpld.h"
#include "support/events.h"
#include "unitsim/unitsim.h"

namespace kalax::test {

// Everything one module's callbacks saw. Events carry the callback's name; the
// completion and error callbacks also keep what they were given.
struct Recorder {
    Events events;
    std::mutex mu;
    std::string data;           // every on_data chunk, concatenated
    int data_calls = 0;
    int empty_data_calls = 0;
    std::string csv, bin;       // the last completion's text / body
    std::vector<int> codes;     // code of every error record handed over
    std::atomic<bool> unterminated{false};  // a chunk or a text without its zero
    // Runs inside on_csv before the event is pushed (self-close tests).
    std::function<void(int module)> in_csv;

    Recorder() = default;
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;
    // A worker may still be on its way out of a callback when the test is
    // done with it: every module goes before the recorder does. (A test uses
    // one recorder at a time.)
    ~Recorder() {
        for (int module = 1; module < 100; ++module) zxpld_close(module);
    }

    void error(const char *name, const zx_error_struct *e) {
        {
            std::lock_guard<std::mutex> lock(mu);
            codes.push_back(e ? e->code : -1);
        }
        events.push(name);
    }

    // Completions of any kind, connection failures included.
    size_t completions() const {
        size_t n = 0;
        for (const char *name : {"csv", "bin", "del", "delall", "csv_error", "bin_error", "del_error",
                                 "delall_error", "connect_error"})
            n += events.count(name);
        return n;
    }

    std::vector<int> error_codes() {
        std::lock_guard<std::mutex> lock(mu);
        return codes;
    }
};

inline Recorder &rec(void *p) { return *static_cast<Recorder *>(p); }

inline zxpld_settings_struct recorded_settings(const char *address, int port, Recorder *r) {
    zxpld_settings_struct s;
    zxpld_clr_settings_struct(&s);
    s.address = address;
    s.port = port;
    s.user_data = r;
    s.on_connect = [](int, void *u) { rec(u).events.push("connect"); };
    s.on_connect_error = [](int, void *u, zx_error_struct *e) { rec(u).error("connect_error", e); };
    s.on_data = [](int, void *u, const char *data, int count) {
        Recorder &r = rec(u);
        if (data == nullptr || data[count] != '\0') r.unterminated = true;
        std::lock_guard<std::mutex> lock(r.mu);
        ++r.data_calls;
        if (count == 0) ++r.empty_data_calls;
        if (data != nullptr) r.data.append(data, static_cast<size_t>(count));
    };
    s.on_csv = [](int module, void *u, const char *text, int length) {
        Recorder &r = rec(u);
        if (text == nullptr || text[length] != '\0') r.unterminated = true;
        if (r.in_csv) r.in_csv(module);
        {
            std::lock_guard<std::mutex> lock(r.mu);
            r.csv.assign(text, static_cast<size_t>(length));
        }
        r.events.push("csv");
    };
    s.on_bin = [](int, void *u, const char *data, int length) {
        Recorder &r = rec(u);
        {
            std::lock_guard<std::mutex> lock(r.mu);
            r.bin.assign(data, static_cast<size_t>(length));
        }
        r.events.push("bin");
    };
    s.on_del = [](int, void *u) { rec(u).events.push("del"); };
    s.on_delall = [](int, void *u) { rec(u).events.push("delall"); };
    s.on_csv_error = [](int, void *u, zx_error_struct *e) { rec(u).error("csv_error", e); };
    s.on_bin_error = [](int, void *u, zx_error_struct *e) { rec(u).error("bin_error", e); };
    s.on_del_error = [](int, void *u, zx_error_struct *e) { rec(u).error("del_error", e); };
    s.on_delall_error = [](int, void *u, zx_error_struct *e) { rec(u).error("delall_error", e); };
    return s;
}

inline int error_code(int slot) {
    zx_error_struct e{};
    zxpld_error(slot, &e);
    return e.code;
}

class PldClient : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(zxpld_init(), 0); }
    void TearDown() override {
        zxpld_count_ref2zero();
        EXPECT_EQ(zxpld_uninit(), 0);
    }

    // A unit whose log holds only what the test appends.
    static sim::UnitConfig quiet_log(sim::UnitConfig config = {}) {
        config.auto_log = false;
        return config;
    }

    int open(sim::Unit &unit, Recorder &r, const char *user = nullptr, const char *password = nullptr,
             int type_filter = 0, int group_filter = 0) {
        zxpld_settings_struct s = recorded_settings("127.0.0.1", unit.port(), &r);
        s.user = user;
        s.password = password;
        s.type_filter = type_filter;
        s.group_filter = group_filter;
        return zxpld_open(&s);
    }
};

}  // namespace kalax::test
