// kalax exporter and kalax check against simulated units, judged by the
// monitoring world's own tools: promtool, Prometheus's Python text parser and
// the Monitoring Plugins' performance-data grammar.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

#include "cli/cli_support.h"
#include "cli/monitoring_support.h"
#include "unitsim/unitsim.h"

using namespace kalax;
using kalax::test::Child;
using kalax::test::http_get;
using kalax::test::run_kalax;
using kalax::test::shell;

namespace {

// name<TAB>sorted labels -> value, as metrics_samples.py prints them.
using Samples = std::map<std::string, double>;

std::string key(const std::string &name, std::map<std::string, std::string> labels) {
    std::string k = name + "\t";
    bool first = true;
    for (const auto &[l, v] : labels) {
        k += (first ? "" : ",") + l + "=\"" + v + "\"";
        first = false;
    }
    return k;
}

std::string fixed1(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f", v);
    return b;
}

// The shortest text of a reading, as a unit's one-decimal text reads back.
std::string shortest(double v) {
    char b[32];
    const auto r = std::to_chars(b, b + sizeof b, v);
    return std::string(b, r.ptr);
}

// Item state code of a unit's state text (new dialect), or -1 for none.
int state_code(const std::string &text) {
    if (text == "0") return 0;
    if (text == "1") return 1;
    if (text == "2") return 2;
    if (text == "4") return 3;
    return -1;
}

// The item samples the exporter must serve for `unit` named `name`: readings,
// limits, input and output values, states. Readings the unit does not have
// ("-999.9") have no sample.
Samples expected_items(const sim::Unit &unit, const std::string &name) {
    Samples s;
    auto labels = [&](int id, const std::string &item) {
        return std::map<std::string, std::string>{{"unit", name}, {"id", std::to_string(id)}, {"name", item}};
    };
    auto states = [&](const std::map<std::string, std::string> &l, const std::string &text) {
        const int code = state_code(text);
        if (code < 0) return;
        s[key("kalax_item_state", l)] = code;
        s[key("kalax_item_alarm_active", l)] = code == 2;
    };
    for (int i = 0; i < unit.count("BinaryInSet"); ++i) {
        const auto l = labels(i + 1, unit.field("BinaryInSet_Entry_Name", i));
        s[key("kalax_binary_input_value", l)] = unit.input_value(i);
        states(l, unit.field("BinaryInSet_Entry_State", i));
    }
    for (int j = 0; j < unit.count("SenSet"); ++j) {
        const auto l = labels(std::atoi(unit.field("SenSet_Entry_ID", j).c_str()), unit.sensor_name(j));
        const std::string units = unit.field("SenSet_Entry_Units", j);
        const std::string metric = units == "C" ? "kalax_temperature_celsius"
                                   : units == "%RH" ? "kalax_humidity_percent"
                                                    : "kalax_sensor_value";
        if (unit.sensor_value(j) > -989.0) s[key(metric, l)] = unit.sensor_value(j);
        s[key("kalax_sensor_low_limit", l)] = unit.sensor_min(j);
        s[key("kalax_sensor_high_limit", l)] = unit.sensor_max(j);
        states(l, unit.field("SenSet_Entry_State", j));
    }
    for (int k = 0; k < unit.count("BinaryOutSet"); ++k)
        s[key("kalax_binary_output_value", labels(151 + k, unit.field("BinaryOutSet_Entry_Name", k)))] =
            unit.output_value(k);
    return s;
}

const std::set<std::string> kItemFamilies = {
    "kalax_binary_input_value", "kalax_binary_output_value", "kalax_temperature_celsius",
    "kalax_humidity_percent",   "kalax_sensor_value",        "kalax_sensor_low_limit",
    "kalax_sensor_high_limit",  "kalax_item_state",          "kalax_item_alarm_active"};

class Monitoring : public ::testing::Test {
protected:
    void SetUp() override {
        folder = std::filesystem::temp_directory_path() /
                 ("kalax-monitoring-test-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder);
    }
    void TearDown() override {
        exporter.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    sim::Unit &add_unit(sim::UnitConfig config = {}) {
        units.push_back(std::make_unique<sim::Unit>(std::move(config)));
        EXPECT_TRUE(units.back()->start(0));
        return *units.back();
    }
    static std::string at(int port) { return "127.0.0.1:" + std::to_string(port); }

    // Starts the exporter with `args` on a free port and returns that port (0 when it did not start).
    int start_exporter(std::vector<std::string> args) {
        std::vector<std::string> argv{KALAX_CLI_PATH, "exporter", "--listen", "127.0.0.1:0"};
        argv.insert(argv.end(), args.begin(), args.end());
        exporter = std::make_unique<Child>(argv, (folder / "exporter.err").string());
        return test::exporter_port(exporter->line());
    }

    std::string scrape(int port) {
        const test::HttpReply r = http_get(port, "/metrics");
        EXPECT_EQ(r.status, 200) << r.head;
        return r.body;
    }

    // The exposition through metrics_samples.py (Prometheus's own parser).
    Samples parse(const std::string &exposition) {
        const auto file = folder / "metrics.txt";
        test::write_text(file, exposition);
        const test::ShellRun r = shell(test::system_python() + " " + KALAX_TEST_DATA "/../cli/metrics_samples.py < " +
                                       file.string());
        EXPECT_EQ(r.status, 0) << "python3-prometheus-client (scripts/deps.sh installs it): " << r.output;
        Samples s;
        std::istringstream in(r.output);
        for (std::string line; std::getline(in, line);) {
            const size_t tab = line.rfind('\t');
            if (tab == std::string::npos) continue;
            s[line.substr(0, tab)] = std::strtod(line.c_str() + tab + 1, nullptr);
        }
        return s;
    }

    static Samples only(const Samples &all, const std::string &unit_label) {
        Samples s;
        for (const auto &[k, v] : all)
            if (kItemFamilies.count(k.substr(0, k.find('\t'))) && k.find(unit_label) != std::string::npos) s[k] = v;
        return s;
    }

    std::filesystem::path folder;
    std::vector<std::unique_ptr<sim::Unit>> units;
    std::unique_ptr<Child> exporter;
};

TEST_F(Monitoring, EverySampleIsTheUnitsOwnValueAndTheOutputPassesPromtool) {
    sim::Unit &a = add_unit();
    sim::UnitConfig second;
    second.seed = 7;
    second.sensors = 2;
    second.device_name = "Zweite \"Einheit\"";
    sim::Unit &b = add_unit(second);
    // A sensor without a reading has no sample, but its limits stay.
    ASSERT_TRUE(a.set_field("SenSet_Entry_Value", 1, "-999.9"));
    ASSERT_TRUE(b.set_field("SenSet_Entry_State", 0, "2"));
    const int down = sim::refused_port();

    const int port = start_exporter({"--unit", "a=" + at(a.port()), "--unit", "b=" + at(b.port()), "--unit",
                                     "down=" + at(down), "--scrape-timeout", "2"});
    ASSERT_NE(port, 0);
    const std::string text = scrape(port);

    const auto file = folder / "promtool.txt";
    test::write_text(file, text);
    ASSERT_TRUE(test::have_program("promtool")) << "promtool not found: scripts/deps.sh installs Debian's prometheus";
    const test::ShellRun lint = shell("promtool check metrics < " + file.string());
    EXPECT_EQ(lint.status, 0) << lint.output;
    EXPECT_EQ(lint.output, "");

    const Samples all = parse(text);
    EXPECT_EQ(all.at(key("kalax_unit_up", {{"unit", "a"}})), 1);
    EXPECT_EQ(all.at(key("kalax_unit_up", {{"unit", "b"}})), 1);
    EXPECT_EQ(all.at(key("kalax_unit_up", {{"unit", "down"}})), 0);
    EXPECT_EQ(all.at(key("kalax_unit_last_error_code", {{"unit", "a"}})), 0);
    EXPECT_EQ(all.at(key("kalax_unit_last_error_code", {{"unit", "down"}})), 28);  // connection refused
    EXPECT_EQ(all.count(key("kalax_scrape_duration_seconds", {{"unit", "down"}})), 1u);
    EXPECT_EQ(all.at(key("kalax_unit_info", {{"unit", "b"},
                                             {"device_name", "Zweite \\\"Einheit\\\""},
                                             {"mac", b.field("Agent_MAC")},
                                             {"family", "kalyx"}})),
              1)
        << "the device name is escaped and parsed back whole";

    const Samples expected_a = expected_items(a, "a");
    EXPECT_EQ(expected_a.count(key("kalax_humidity_percent", {{"unit", "a"}, {"id", "216"}, {"name", a.sensor_name(1)}})),
              0u);
    EXPECT_EQ(only(all, "unit=\"a\""), expected_a);
    EXPECT_EQ(only(all, "unit=\"b\""), expected_items(b, "b"));
    EXPECT_EQ(only(all, "unit=\"down\""), Samples{}) << "a unit that did not answer has no item samples";

    // The front page links to the metrics.
    const test::HttpReply page = http_get(port, "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.head.find("text/html"), std::string::npos);
    EXPECT_NE(page.body.find("href=\"/metrics\""), std::string::npos);
    EXPECT_EQ(exporter->stop(), 0) << "SIGTERM stops the exporter cleanly";
}

TEST_F(Monitoring, ItemsThatShareIdAndNameKeepTheScrapeValid) {
    // A unit of unknown family numbers every sensor 0; two of one name would
    // be the same series twice, which Prometheus refuses for the whole scrape.
    sim::UnitConfig config;
    config.model = sim::model_of_family(sim::Family::unknown);
    config.sensor_names = {"F\xC3\xBChler", "Feuchte", "F\xC3\xBChler"};
    sim::Unit &unit = add_unit(config);
    ASSERT_EQ(unit.field("SenSet_Entry_Units", 0), unit.field("SenSet_Entry_Units", 2));
    const int port = start_exporter({"--unit", "u=" + at(unit.port())});
    ASSERT_NE(port, 0);
    const std::string text = scrape(port);
    test::write_text(folder / "metrics.txt", text);
    const test::ShellRun lint = shell("promtool check metrics < " + (folder / "metrics.txt").string());
    EXPECT_EQ(lint.status, 0) << lint.output;
    const Samples all = parse(text);
    EXPECT_EQ(all.at(key("kalax_temperature_celsius", {{"unit", "u"}, {"id", "0"}, {"name", "F\xC3\xBChler"}})),
              unit.sensor_value(0))
        << "the first of the two is served";
}

TEST_F(Monitoring, ASilentUnitCostsOneScrapeTimeoutAndNeverFailsTheScrape) {
    sim::Unit &good = add_unit();
    sim::Unit &silent = add_unit();
    sim::Fault fault;
    fault.never_answer = true;
    silent.set_fault("/values.xml", fault);
    const int port = start_exporter(
        {"--unit", "good=" + at(good.port()), "--unit", "silent=" + at(silent.port()), "--scrape-timeout", "1"});
    ASSERT_NE(port, 0);
    // The second scrape finds the first request still outstanding: it is not
    // queued again, and the unit is down all the same.
    for (int round = 0; round < 2; ++round) {
        const test::HttpReply r = http_get(port, "/metrics", 5000);
        ASSERT_EQ(r.status, 200) << "round " << round;
        const Samples all = parse(r.body);
        EXPECT_EQ(all.at(key("kalax_unit_up", {{"unit", "good"}})), 1);
        EXPECT_EQ(all.at(key("kalax_unit_up", {{"unit", "silent"}})), 0);
        EXPECT_EQ(all.at(key("kalax_unit_last_error_code", {{"unit", "silent"}})), 19);  // timeout
        EXPECT_EQ(only(all, "unit=\"good\""), expected_items(good, "good"));
    }
    EXPECT_LE(silent.connection_count(), 1u) << "one request at a time per unit";
}

TEST_F(Monitoring, AConfigurationFileNamesUnitsLabelsAndCredentials) {
    sim::UnitConfig locked;
    locked.user = "monitor";
    locked.password = "s3cret #1";
    sim::Unit &a = add_unit(locked);
    const auto config = folder / "exporter.conf";
    test::write_text(config, "# units of the test\n"
                             "scrape_timeout = 2\n"
                             "\n"
                             "[unit rack 3]\n"
                             "host = " + at(a.port()) + "\n"
                             "user = monitor\n"
                             "password_env = KALAX_TEST_PASSWORD\n"
                             "label.site = Berlin Süd\n"
                             "label.room = 3\n");
    ::setenv("KALAX_TEST_PASSWORD", "s3cret #1", 1);
    const int port = start_exporter({"--config", config.string()});
    ASSERT_NE(port, 0);
    const std::string text = scrape(port);
    const Samples all = parse(text);
    EXPECT_EQ(all.at(key("kalax_unit_up", {{"unit", "rack 3"}, {"site", "Berlin Süd"}, {"room", "3"}})), 1) << text;
    EXPECT_EQ(all.at(key("kalax_binary_input_value",
                         {{"unit", "rack 3"}, {"site", "Berlin Süd"}, {"room", "3"}, {"id", "1"},
                          {"name", a.field("BinaryInSet_Entry_Name", 0)}})),
              a.input_value(0));
    exporter.reset();

    // Each mistake names the file and line and exits 2 before anything listens.
    struct Case {
        const char *text, *message;
    } cases[] = {
        {"[unit a]\nhost = 127.0.0.1:1\ncolour = red\n", ":3: unknown key 'colour'"},
        {"listen = 127.0.0.1:0\n\n[unit a]\nuser = x\n", ":3: unit 'a' has no host"},
        {"[unit a]\nhost = 127.0.0.1:1\npassword_env = KALAX_TEST_UNSET_VARIABLE\n",
         ":3: the environment variable 'KALAX_TEST_UNSET_VARIABLE' is not set"},
        {"[unit a]\nhost = 127.0.0.1:1\nlabel.__name__ = x\n", ":3: '__name__' cannot be a label name"},
        {"[unit a]\nhost = 127.0.0.1:1\nlabel.unit = x\n", ":3: 'unit' cannot be a label name"},
        {"[unit a]\nhost = 127.0.0.1:1\n[unit a]\nhost = 127.0.0.1:2\n", ":3: a second unit named 'a'"},
        {"scrape_timeout = 0\n[unit a]\nhost = 127.0.0.1:1\n", ":1: bad scrape_timeout '0'"},
        {"# nothing\n", ": no [unit NAME] section"},
    };
    ::unsetenv("KALAX_TEST_UNSET_VARIABLE");
    for (const Case &c : cases) {
        test::write_text(config, c.text);
        const test::Run r = run_kalax({"exporter", "--config", config.string(), "--listen", "127.0.0.1:0"}, 10);
        EXPECT_EQ(r.status, 2) << c.text;
        EXPECT_NE(r.err.find(config.string() + c.message), std::string::npos) << r.err;
    }
    const test::Run no_units = run_kalax({"exporter"}, 10);
    EXPECT_EQ(no_units.status, 2);
    const test::Run bad_unit = run_kalax({"exporter", "--unit", "a"}, 10);
    EXPECT_EQ(bad_unit.status, 2);
    EXPECT_NE(bad_unit.err.find("bad --unit 'a' (NAME=HOST[:PORT])"), std::string::npos) << bad_unit.err;
}

TEST_F(Monitoring, SimRunsUnitsOnConsecutivePortsAndShowsTheExporterLineForThem) {
    Child simulated({KALAX_CLI_PATH, "sim", "--units", "3", "--port", "0"});
    const std::string listening = simulated.line();
    const size_t at_port = listening.find("127.0.0.1:");
    ASSERT_NE(at_port, std::string::npos) << listening;
    const int first = std::atoi(listening.c_str() + at_port + 10);
    EXPECT_EQ(listening, "kalax sim: 3 simulated units listen on 127.0.0.1:" + std::to_string(first) + "-" +
                             std::to_string(first + 2));
    std::set<std::string> names;
    for (int port = first; port < first + 3; ++port) {
        const test::HttpReply r = http_get(port, "/values.xml");
        ASSERT_EQ(r.status, 200);
        const size_t from = r.body.find("<DeviceName>"), to = r.body.find("</DeviceName>");
        ASSERT_LT(from, to);
        names.insert(r.body.substr(from, to - from));
    }
    EXPECT_EQ(names.size(), 3u) << "each unit has a name of its own";

    // The line it shows starts an exporter that finds all three up.
    const std::string try_line = simulated.line();
    ASSERT_EQ(try_line.rfind("try: kalax exporter ", 0), 0u) << try_line;
    std::istringstream words(try_line.substr(std::string("try: kalax exporter ").size()));
    std::vector<std::string> args;
    for (std::string w; words >> w;) args.push_back(w);
    ASSERT_EQ(args.size(), 6u);
    const int port = start_exporter(args);
    ASSERT_NE(port, 0);
    const Samples all = parse(scrape(port));
    for (const char *unit : {"sim1", "sim2", "sim3"}) EXPECT_EQ(all.at(key("kalax_unit_up", {{"unit", unit}})), 1);
    EXPECT_EQ(simulated.stop(), 0);
}

// ---- kalax check -------------------------------------------------------------------

// One performance-data entry of the Monitoring Plugins guidelines:
// 'label'=value[UOM];[warn];[crit];[min];[max]
struct Perf {
    std::string label, value, uom;
    std::vector<std::string> fields;  // warn, crit, min, max as given
};

// Parses the part after " | " strictly by the guidelines' grammar; throws on anything else.
std::vector<Perf> parse_perfdata(const std::string &text) {
    static const std::regex value_re(R"(^(-?[0-9]+(\.[0-9]+)?|U)([a-zA-Z%]*)$)");
    static const std::regex range_re(R"(^@?(~|-?[0-9]+(\.[0-9]+)?)?(:(-?[0-9]+(\.[0-9]+)?)?)?$)");
    static const std::regex number_re(R"(^(-?[0-9]+(\.[0-9]+)?)?$)");
    std::vector<Perf> out;
    size_t i = 0;
    while (i < text.size()) {
        Perf p;
        if (text[i] == '\'') {
            for (++i;; ++i) {
                if (i >= text.size()) throw std::runtime_error("unterminated label");
                if (text[i] == '\'' && i + 1 < text.size() && text[i + 1] == '\'') {
                    p.label += '\'';
                    ++i;
                } else if (text[i] == '\'') {
                    ++i;
                    break;
                } else if (text[i] == '=') {
                    throw std::runtime_error("'=' inside a label");
                } else {
                    p.label += text[i];
                }
            }
        } else {
            while (i < text.size() && text[i] != '=' && text[i] != ' ' && text[i] != '\'') p.label += text[i++];
        }
        if (p.label.empty() || i >= text.size() || text[i] != '=') throw std::runtime_error("no '=' after a label");
        ++i;
        const size_t end = std::min(text.find(' ', i), text.size());
        std::vector<std::string> parts;
        std::stringstream rest(text.substr(i, end - i));
        for (std::string part; std::getline(rest, part, ';');) parts.push_back(part);
        if (parts.empty() || parts.size() > 5) throw std::runtime_error("bad field count");
        std::smatch m;
        if (!std::regex_match(parts[0], m, value_re)) throw std::runtime_error("bad value '" + parts[0] + "'");
        p.value = m[1];
        p.uom = m[3];
        for (size_t f = 1; f < parts.size(); ++f) {
            if (!std::regex_match(parts[f], f <= 2 ? range_re : number_re))
                throw std::runtime_error("bad field '" + parts[f] + "'");
            p.fields.push_back(parts[f]);
        }
        out.push_back(p);
        i = end + 1;
    }
    return out;
}

struct CheckOutput {
    int status;
    std::string line;  // the status text before " | "
    std::vector<Perf> perf;
};

CheckOutput run_check(const std::vector<std::string> &args) {
    std::vector<std::string> all{"check"};
    all.insert(all.end(), args.begin(), args.end());
    const test::Run r = run_kalax(all, 30);
    CheckOutput out{r.status, r.out, {}};
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << "one line: " << r.out;
    if (!out.line.empty() && out.line.back() == '\n') out.line.pop_back();
    const size_t bar = out.line.find(" | ");
    if (bar != std::string::npos) {
        try {
            out.perf = parse_perfdata(out.line.substr(bar + 3));
        } catch (const std::exception &e) {
            ADD_FAILURE() << "performance data breaks the guidelines' grammar (" << e.what() << "): " << out.line;
        }
        out.line.erase(bar);
    }
    return out;
}

// A unit whose every input and sensor reports "normal".
class Check : public Monitoring {
protected:
    void SetUp() override {
        Monitoring::SetUp();
        unit = &add_unit();
        for (int i = 0; i < unit->count("BinaryInSet"); ++i) unit->set_field("BinaryInSet_Entry_State", i, "0");
        for (int j = 0; j < unit->count("SenSet"); ++j) unit->set_field("SenSet_Entry_State", j, "0");
        host = at(unit->port());
    }
    sim::Unit *unit = nullptr;
    std::string host;
};

TEST_F(Check, ANormalUnitIsOkWithEveryItemInThePerformanceData) {
    // A quote is doubled in a label and '=', which would end it, replaced.
    ASSERT_TRUE(unit->set_field("SenSet_Entry_Name", 2, "Rack 'A'=3"));
    const CheckOutput ok = run_check({host});
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.line, "KALAX OK - 9 items normal");
    ASSERT_EQ(ok.perf.size(), 9u);
    EXPECT_EQ(ok.perf[0].label, unit->field("BinaryInSet_Entry_Name", 0));
    EXPECT_EQ(ok.perf[0].value, std::to_string(unit->input_value(0)));
    // Sensors: their reading, their unit and the unit's own limits as the warning range.
    for (int j = 0; j < 3; ++j) {
        const Perf &p = ok.perf[4 + static_cast<size_t>(j)];
        EXPECT_EQ(p.label, j == 2 ? "Rack 'A'_3" : unit->sensor_name(j));
        EXPECT_EQ(p.value, shortest(unit->sensor_value(j)));
        EXPECT_EQ(p.uom, unit->field("SenSet_Entry_Units", j) == "C" ? "C" : "%");
        EXPECT_EQ(p.fields, std::vector<std::string>{shortest(unit->sensor_min(j)) + ":" +
                                                     shortest(unit->sensor_max(j))});
    }
    EXPECT_EQ(ok.perf[8].label, unit->field("BinaryOutSet_Entry_Name", 1));
}

TEST_F(Check, OutOfRangeWarnsAndAnAlarmIsCritical) {
    unit->set_field("SenSet_Entry_State", 2, "1");
    const std::string rack = unit->sensor_name(2);
    const CheckOutput warning = run_check({host});
    EXPECT_EQ(warning.status, 1);
    EXPECT_EQ(warning.line, "KALAX WARNING - '" + rack + "' out of range (" + fixed1(unit->sensor_value(2)) +
                                " \xC2\xB0" "C); 8 of 9 items normal");

    unit->set_field("BinaryInSet_Entry_State", 0, "2");
    const std::string door = unit->field("BinaryInSet_Entry_Name", 0);
    const CheckOutput critical = run_check({host});
    EXPECT_EQ(critical.status, 2);
    EXPECT_EQ(critical.line, "KALAX CRITICAL - '" + door + "' alarm active, '" + rack + "' out of range (" +
                                 fixed1(unit->sensor_value(2)) + " \xC2\xB0" "C); 7 of 9 items normal");
    EXPECT_EQ(critical.perf.size(), 9u);

    // A sensor that lost its reading cannot be judged.
    unit->set_field("SenSet_Entry_Value", 1, "-999.9");
    const CheckOutput lost = run_check({host, "--item", unit->field("SenSet_Entry_ID", 1)});
    EXPECT_EQ(lost.status, 3);
    EXPECT_EQ(lost.line, "KALAX UNKNOWN - '" + unit->sensor_name(1) + "' no reading; 0 of 1 item normal");
    ASSERT_EQ(lost.perf.size(), 1u);
    EXPECT_EQ(lost.perf[0].value, "U");
}

TEST_F(Check, RangesFollowThePluginSyntax) {
    const double v = std::stod(fixed1(unit->sensor_value(0)));
    const std::string id = unit->field("SenSet_Entry_ID", 0);
    const std::string name = unit->sensor_name(0);
    const std::string reading = fixed1(v) + " \xC2\xB0" "C";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string problem;  // empty: OK
    } cases[] = {
        {{"-w", shortest(v - 1) + ":" + shortest(v + 1)}, 0, ""},
        {{"-w", shortest(v) + ":" + shortest(v)}, 0, ""},  // the ends belong to the range
        {{"-w", shortest(v + 1) + ":"}, 1, "(warning " + shortest(v + 1) + ":)"},
        {{"-w", "~:" + shortest(v - 1)}, 1, "(warning ~:" + shortest(v - 1) + ")"},
        {{"-w", shortest(v - 1)}, 1, "(warning " + shortest(v - 1) + ")"},  // 0:END
        {{"-c", "@" + shortest(v - 1) + ":" + shortest(v + 1)}, 2, "(critical @" + shortest(v - 1) + ":" +
                                                                       shortest(v + 1) + ")"},
        {{"-w", "~:" + shortest(v - 2), "-c", "~:" + shortest(v - 1)}, 2, "(critical ~:" + shortest(v - 1) + ")"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args{host, "--item", id};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CheckOutput out = run_check(args);
        EXPECT_EQ(out.status, c.status) << c.args[1];
        EXPECT_EQ(out.line, c.problem.empty() ? "KALAX OK - 1 item normal"
                                              : "KALAX " + std::string(c.status == 1 ? "WARNING" : "CRITICAL") +
                                                    " - '" + name + "' " + reading + " " + c.problem +
                                                    "; 0 of 1 item normal")
            << c.args[1];
        ASSERT_EQ(out.perf.size(), 1u);
        EXPECT_EQ(out.perf[0].fields.size(), c.args.size() == 4 ? 2u : c.args[0] == "-w" ? 1u : 2u);
    }
    // Mistakes are UNKNOWN, as the guidelines ask.
    for (const std::vector<std::string> &bad :
         {std::vector<std::string>{host, "-w", "30:10"}, {host, "-c", "abc"}, {host, "--item", "x"}, {}, {host, "--colour"}}) {
        const CheckOutput out = run_check(bad);
        EXPECT_EQ(out.status, 3);
        EXPECT_EQ(out.line.rfind("KALAX UNKNOWN - usage: ", 0), 0u) << out.line;
    }
    const CheckOutput missing = run_check({host, "--item", "999"});
    EXPECT_EQ(missing.status, 3);
    EXPECT_EQ(missing.line, "KALAX UNKNOWN - the unit has no item with ID 999");
}

TEST_F(Check, AnUnreachableUnitIsNeverOk) {
    const std::string refused = at(sim::refused_port());
    const std::string why = refused + ": reading values.xml: error 28: Socket connect failure [Connection refused]";
    const CheckOutput unknown = run_check({refused});
    EXPECT_EQ(unknown.status, 3);
    EXPECT_EQ(unknown.line, "KALAX UNKNOWN - " + why);
    const CheckOutput critical = run_check({refused, "--unreachable", "critical"});
    EXPECT_EQ(critical.status, 2);
    EXPECT_EQ(critical.line, "KALAX CRITICAL - " + why);

    // A unit that stays silent is given up after -t seconds.
    sim::Fault silent;
    silent.never_answer = true;
    unit->set_fault("/values.xml", silent);
    const CheckOutput late = run_check({host, "-t", "1"});
    EXPECT_EQ(late.status, 3);
    EXPECT_EQ(late.line, "KALAX UNKNOWN - " + host + ": reading values.xml: the unit did not answer within 1 s: error 19: Timeout");
}

}  // namespace
