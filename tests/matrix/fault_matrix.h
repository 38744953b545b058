// Every request kind of both clients against every fault the simulated unit can
// play. A cell checks the result code in the right slot, that exactly one
// completion or error callback ran, that it ended within the protocol's bound,
// and that the next request on the same module works.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "pld/client_fixture.h"
#include "support/xml_unit.h"

namespace kalax::test {

enum class Kind { Values, Setup, Upload, SnmpGet, Csv, Bin, Del, DelAll };

inline bool is_xml(Kind k) { return k == Kind::Values || k == Kind::Setup || k == Kind::Upload || k == Kind::SnmpGet; }

inline const char *kind_name(Kind k) {
    switch (k) {
    case Kind::Values: return "Values";
    case Kind::Setup: return "Setup";
    case Kind::Upload: return "Upload";
    case Kind::SnmpGet: return "SnmpGet";
    case Kind::Csv: return "Csv";
    case Kind::Bin: return "Bin";
    case Kind::Del: return "Del";
    default: return "DelAll";
    }
}

// Expected outcome of one cell.
struct Expect {
    int code = 0;             // in the module's slot after the request
    bool refused = false;     // ends with the connection-error callback only
    int max_seconds = 8;      // bound on the whole request
    int min_seconds = 0;      // a wait the fault must really cost
    int sys_code = -1;        // system error in the record, when not -1
    // Extra check of what a successful log download delivered.
    std::function<void(const std::string &)> check_text;
};

struct Cell {
    std::string name;
    Kind kind;
    std::function<sim::Fault()> fault;  // applied to every path
    bool refuse = false;                // talk to a port nobody listens on
    sim::UnitConfig config;
    std::function<void(sim::Unit &)> prepare;  // raw log content and the like
    Expect expect;
};

// Keeps test listings short: a cell prints as its name.
inline void PrintTo(const Cell &cell, std::ostream *os) { *os << cell.name << "_" << kind_name(cell.kind); }

inline std::string cell_name(const testing::TestParamInfo<Cell> &info) {
    return info.param.name + "_" + kind_name(info.param.kind);
}

constexpr char kSmallSetup[] =
    "<?xml version=\"1.0\"?><Root><SenSet><Entry><Idx>1</Idx><Hyst>0.5</Hyst></Entry></SenSet></Root>";

// Runs one XML request and returns the name of the single completion event.
inline void run_xml_cell(const Cell &cell) {
    sim::Unit unit(cell.config);
    ASSERT_TRUE(unit.start(0));
    if (cell.prepare) cell.prepare(unit);
    if (cell.fault) unit.set_fault("*", cell.fault());
    Seen seen;
    zxxml_settings_struct s = recording_settings();
    const int port = cell.refuse ? sim::refused_port() : unit.port();
    const int m = zxxml_open("127.0.0.1", port, &s, &seen);
    ASSERT_GT(m, 0);
    ASSERT_EQ(zxxml_wait_finish(m, 0, 5), 0);

    auto issue = [&](Kind kind) -> std::pair<int, std::string> {
        switch (kind) {
        case Kind::Values: EXPECT_EQ(zxxml_get_values(m), 0); return {2, "values"};
        case Kind::Setup: EXPECT_EQ(zxxml_get_setup(m), 0); return {4, "setup"};
        case Kind::SnmpGet: EXPECT_EQ(zxxml_get_snmp_manager(m), 0); return {6, "setup"};
        default:
            EXPECT_EQ(zxxml_send_setup_xml(m, kSmallSetup, static_cast<int>(sizeof kSmallSetup - 1)), 0);
            return {7, "send"};
        }
    };
    const auto start = std::chrono::steady_clock::now();
    // Named copies: a lambda may not capture a structured binding (clang 14).
    const auto issued = issue(cell.kind);
    const int finish_kind = issued.first;
    const std::string event = issued.second;
    ASSERT_EQ(zxxml_wait_finish(m, finish_kind, cell.expect.max_seconds + 5), 0);
    ASSERT_TRUE(eventually([&, event = event] { return seen.events.count(event) + seen.events.count(event + ":null") >= 1; }));
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LE(took, cell.expect.max_seconds);
    EXPECT_GE(took, cell.expect.min_seconds);
    EXPECT_EQ(xml_code(m), cell.expect.code);
    if (cell.expect.sys_code != -1) {
        zx_error_struct e{};
        zxxml_error(m, &e);
        EXPECT_EQ(e.sys_code, cell.expect.sys_code);
    }
    EXPECT_EQ(seen.events.count(event) + seen.events.count(event + ":null"), 1u) << "exactly one completion";
    EXPECT_EQ(seen.events.count(event + ":null"), cell.expect.code ? 1u : 0u);
    EXPECT_EQ(seen.events.count("error:28"), cell.expect.refused ? 1u : 0u);

    if (cell.refuse) return;  // nothing listens there; the unit itself is fine
    unit.clear_faults();
    unit.clear_log_raw();
    const auto again = issue(cell.kind);
    ASSERT_EQ(zxxml_wait_finish(m, again.first, 15), 0);
    EXPECT_TRUE(seen.events.wait_for(again.second, 1 + (cell.expect.code == 0)));
    EXPECT_EQ(xml_code(m), 0) << "the next request on the module works";
    EXPECT_EQ(zxxml_close(m), 0);
}

inline void run_pld_cell(const Cell &cell) {
    sim::Unit unit(cell.config);
    ASSERT_TRUE(unit.start(0));
    if (cell.prepare) cell.prepare(unit);
    if (cell.fault) unit.set_fault("*", cell.fault());
    Recorder r;
    const int port = cell.refuse ? sim::refused_port() : unit.port();
    zxpld_settings_struct s = recorded_settings("127.0.0.1", port, &r);
    const int m = zxpld_open(&s);
    ASSERT_GT(m, 0);
    auto issue = [&](Kind kind) -> std::string {
        switch (kind) {
        case Kind::Csv: EXPECT_EQ(zxpld_get_spilog_csv(m), 0); return "csv";
        case Kind::Bin: EXPECT_EQ(zxpld_get_spilog_bin(m), 0); return "bin";
        case Kind::Del: EXPECT_EQ(zxpld_get_spilog_del(m), 0); return "del";
        default: EXPECT_EQ(zxpld_get_spilog_delall(m), 0); return "delall";
        }
    };
    const auto start = std::chrono::steady_clock::now();
    const std::string ok = issue(cell.kind);
    ASSERT_TRUE(eventually([&] { return r.completions() >= 1; }, (cell.expect.max_seconds + 5) * 1000));
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LE(took, cell.expect.max_seconds);
    EXPECT_GE(took, cell.expect.min_seconds);
    EXPECT_EQ(r.completions(), 1u) << "exactly one completion or error";
    zx_error_struct e{};
    zxpld_error(m, &e);
    EXPECT_EQ(e.code, cell.expect.code);
    if (cell.expect.sys_code != -1) {
        EXPECT_EQ(e.sys_code, cell.expect.sys_code);
    }
    if (cell.expect.refused) {
        EXPECT_EQ(r.events.count("connect_error"), 1u);
    } else if (cell.expect.code) {
        EXPECT_EQ(r.events.count(ok + "_error"), 1u);
    } else {
        EXPECT_EQ(r.events.count(ok), 1u);
        if (cell.expect.check_text) {
            std::lock_guard<std::mutex> lock(r.mu);
            cell.expect.check_text(cell.kind == Kind::Bin ? r.bin : r.csv);
        }
    }
    if (cell.refuse) {
        EXPECT_EQ(zxpld_close(m), 0);
        return;
    }
    unit.clear_faults();
    unit.clear_log_raw();
    issue(cell.kind);
    EXPECT_TRUE(r.events.wait_for(ok, cell.expect.code == 0 ? 2 : 1));
    EXPECT_EQ(zxpld_close(m), 0);
}

class FaultMatrix : public testing::TestWithParam<Cell> {
protected:
    void SetUp() override {
        ASSERT_EQ(zxxml_init(), 0);
        ASSERT_EQ(zxpld_init(), 0);
    }
    void TearDown() override {
        zxxml_count_ref2zero();
        zxxml_uninit();
        zxpld_count_ref2zero();
        zxpld_uninit();
    }
};

inline void run_cell(const Cell &cell) {
    if (is_xml(cell.kind))
        run_xml_cell(cell);
    else
        run_pld_cell(cell);
}

// A log of a few records in both forms, so that every log request has a body to
// break off in (a delete answers with a line of text of its own).
inline void small_log(sim::Unit &unit) {
    std::string txt;
    std::string bin;
    for (int i = 0; i < 8; ++i) {
        txt += "2008/03/15;14:05:0" + std::to_string(i) + ";0;3;2;1;0;2;1;\r\n";
        bin += std::string("\x10\x00\x95\xd7\xdb\x47\x03\x02\x01\x00\x00\x00\x02\x00\x01\x00", 16);
    }
    unit.set_log_raw_txt(txt);
    unit.set_log_raw_bin(bin);
}

inline const std::vector<Kind> &all_kinds() {
    static const std::vector<Kind> kinds = {Kind::Values, Kind::Setup, Kind::Upload, Kind::SnmpGet,
                                            Kind::Csv,    Kind::Bin,   Kind::Del,    Kind::DelAll};
    return kinds;
}

}  // namespace kalax::test
