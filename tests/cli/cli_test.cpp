// The kalax tool as a person uses it: a child process against a simulated unit.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/cli_support.h"
#include "unitsim/unitsim.h"

using namespace kalax;
using kalax::test::Json;
using kalax::test::JsonReader;
using kalax::test::run_kalax;

namespace {

std::string fixed1(double v) {
    char b[32];
    std::snprintf(b, sizeof b, "%.1f", v);
    return b;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

size_t count_utf8(const std::string &s) {
    size_t n = 0;
    for (const char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

class Cli : public ::testing::Test {
protected:
    void start(sim::UnitConfig config = {}) {
        unit = std::make_unique<sim::Unit>(std::move(config));
        ASSERT_TRUE(unit->start(0));
        host = "127.0.0.1:" + std::to_string(unit->port());
    }
    void SetUp() override {
        folder = std::filesystem::temp_directory_path() /
                 ("kalax-cli-test-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder);
    }
    void TearDown() override {
        if (unit) unit->stop();
        std::filesystem::remove_all(folder);
    }
    std::string file(const char *name) const { return (folder / name).string(); }

    std::unique_ptr<sim::Unit> unit;
    std::string host;
    std::filesystem::path folder;
};

// Every failure is exactly one line on standard error naming the code and its text.
void expect_failure(const kalax::test::Run &r, int code, const char *text) {
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(lines_of(r.err).size(), 1u) << r.err;
    EXPECT_NE(r.err.find("error " + std::to_string(code) + ": " + text), std::string::npos) << r.err;
}

}  // namespace

// ---- item lists --------------------------------------------------------------------

TEST_F(Cli, ValuesTableIsAlignedAndShowsDisplayTextsInUtf8) {
    start();
    const auto r = run_kalax({"values", host});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 2u + 9u) << r.out;
    EXPECT_EQ(lines[0].rfind("Serverraum S\xC3\xBC" "d, Kalyx family, MAC 00:0A:59:00:00:01", 0), 0u) << lines[0];
    const std::string &head = lines[1];
    ASSERT_EQ(head.rfind("KIND", 0), 0u);

    // Sensor 1 (row 4 + 1): name with an accent, degree sign as U+00B0, the reading with one decimal.
    const std::string &sensor = lines[2 + 4];
    EXPECT_NE(sensor.find("Analog sensor input"), std::string::npos);
    EXPECT_NE(sensor.find("Temp\xC3\xA9rature"), std::string::npos);
    EXPECT_NE(sensor.find("\xC2\xB0" "C"), std::string::npos) << "degree sign converted to UTF-8";
    EXPECT_EQ(sensor.find('\xB0' + std::string("C ")), sensor.find("\xC2\xB0" "C") + 1) << "no lone 0xB0 byte";
    EXPECT_NE(sensor.find(fixed1(unit->sensor_value(0))), std::string::npos);
    EXPECT_NE(lines[2].find("Binary input"), std::string::npos);
    EXPECT_NE(lines.back().find("Binary output"), std::string::npos);

    // Aligned by characters, not bytes: every name and every state starts in its heading's column.
    std::vector<std::string> names;
    for (int i = 0; i < unit->count("BinaryInSet"); ++i) names.push_back(unit->field("BinaryInSet_Entry_Name", i));
    for (int j = 0; j < unit->count("SenSet"); ++j) names.push_back(unit->sensor_name(j));
    for (int k = 0; k < unit->count("BinaryOutSet"); ++k) names.push_back(unit->field("BinaryOutSet_Entry_Name", k));
    ASSERT_EQ(names.size(), 9u);
    const size_t name_col = count_utf8(head.substr(0, head.find("NAME")));
    const size_t state_col = count_utf8(head.substr(0, head.find("STATE")));
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string &row = lines[2 + i];
        const size_t at = row.find("  " + names[i] + " ");
        ASSERT_NE(at, std::string::npos) << row;
        EXPECT_EQ(count_utf8(row.substr(0, at + 2)), name_col) << row;
        EXPECT_EQ(count_utf8(row.substr(0, row.rfind("  ") + 2)), state_col) << row;
        EXPECT_NE(row.back(), ' ') << "no trailing blanks";
    }
}

TEST_F(Cli, JsonParsesBackToTheUnitsItems) {
    sim::UnitConfig config;
    config.sensor_names = {"Rack \"A\" \\ Nord", "Feuchte"};
    start(config);
    const auto values = run_kalax({"values", host, "--json"});
    ASSERT_EQ(values.status, 0) << values.err;
    const Json v = JsonReader::parse(values.out);
    EXPECT_EQ(v["device"]["name"].s, "Serverraum S\xC3\xBC" "d");
    EXPECT_EQ(v["device"]["port"].n, unit->port());
    EXPECT_EQ(v["device"]["family"].s, "Kalyx family");
    const Json &items = v["items"];
    ASSERT_EQ(items.items.size(), 9u);

    const Json &input = items[0];
    EXPECT_EQ(input["kind"].s, "Binary input");
    EXPECT_EQ(input["id"].n, 1);
    EXPECT_EQ(input["value"].n, unit->input_value(0));
    EXPECT_EQ(input["value_text"].s, unit->input_value(0) ? "On" : "Off");
    EXPECT_EQ(input["units"].s, "Switch");

    const Json &sensor = items[4];
    EXPECT_EQ(sensor["kind"].s, "Analog sensor input");
    EXPECT_EQ(sensor["type"].n, 0);
    EXPECT_EQ(sensor["name"].s, "Rack \"A\" \\ Nord") << "quotes and backslashes survive the round trip";
    EXPECT_NEAR(sensor["value"].n, unit->sensor_value(0), 1e-4);
    EXPECT_EQ(sensor["value_text"].s, fixed1(unit->sensor_value(0)));
    EXPECT_EQ(sensor["units"].s, "\xC2\xB0" "C");
    EXPECT_EQ(sensor["units_code"].n, 0);

    const Json &output = items[8];
    EXPECT_EQ(output["kind"].s, "Binary output");
    EXPECT_EQ(output["id"].n, 152);

    const auto setup = run_kalax({"setup", host, "--json"});
    ASSERT_EQ(setup.status, 0) << setup.err;
    const Json s = JsonReader::parse(setup.out);
    ASSERT_EQ(s["items"].items.size(), 9u);
    const Json &ranged = s["items"][5];
    EXPECT_EQ(ranged["name"].s, "Feuchte");
    EXPECT_EQ(ranged["units"].s, "%RH");
    EXPECT_NEAR(ranged["min"].n, unit->sensor_min(1), 1e-4);
    EXPECT_NEAR(ranged["max"].n, unit->sensor_max(1), 1e-4);
    EXPECT_EQ(ranged["min_text"].s, fixed1(unit->sensor_min(1)));
    EXPECT_EQ(s["items"][8]["kind"].s, "Realy output");
}

TEST_F(Cli, XmlPrintsTheDocumentAsServed) {
    start();
    const auto r = run_kalax({"setup", host, "--xml"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, unit->setup_xml());
}

// ---- failures ---------------------------------------------------------------------

TEST_F(Cli, FailuresExitNonzeroWithOneLineNamingTheCode) {
    const std::string refused = "127.0.0.1:" + std::to_string(sim::refused_port());
    expect_failure(run_kalax({"values", refused}), 28, "Socket connect failure");
    expect_failure(run_kalax({"log", refused}), 28, "Socket connect failure");

    sim::UnitConfig config;
    config.user = "admin";
    config.password = "secret";
    start(config);
    expect_failure(run_kalax({"setup", host}), 48, "HTTP: Unauthorized");
    expect_failure(run_kalax({"log", host}), 48, "HTTP: Unauthorized");
    expect_failure(run_kalax({"setup", host, "--user", "admin", "--password", "wrong"}), 48, "HTTP: Unauthorized");
    EXPECT_EQ(run_kalax({"setup", host, "--user", "admin", "--password", "secret"}).status, 0);
    EXPECT_EQ(run_kalax({"log", host, "--user=admin", "--password=secret"}).status, 0);

    expect_failure(run_kalax({"values", "no-such-unit.invalid"}), 89, "Resolve address failed");
    expect_failure(run_kalax({"log-convert", file("missing.bin")}), 6, "File open failure");
}

TEST_F(Cli, OutputThatCannotBeWrittenIsAFailure) {
    start();
    const std::vector<sim::LogRecord> records = {{0, 1205589969, 0, {{1, 215}}}};
    std::ofstream(file("log.bin"), std::ios::binary) << sim::encode_log_bin(records);
    const std::vector<std::vector<std::string>> commands = {
        {"values", host}, {"setup", host}, {"values", host, "--json"}, {"log-convert", file("log.bin")}};
    for (const auto &args : commands) {
        const auto r = run_kalax(args, 60, "/dev/full");
        EXPECT_EQ(r.status, 1) << args[0] << ": " << r.err;
        EXPECT_NE(r.err.find("writing standard output: No space left on device"), std::string::npos) << r.err;
    }
}

TEST_F(Cli, AUnitThatNeverAnswersEndsInTimeout) {
    start();
    sim::Fault silent;
    silent.never_answer = true;
    unit->set_fault("/values.xml", silent);
    unit->set_fault("/spilog.txt", silent);
    expect_failure(run_kalax({"values", host, "--timeout", "1"}), 19, "Timeout");
    expect_failure(run_kalax({"log", host, "--timeout=1"}), 19, "Timeout");
}

TEST_F(Cli, UsageErrorsExitWithTwoAndHelpExitsWithZero) {
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{"values"},
                                               {"values", "a", "b"},
                                               {"values", "host:99999"},
                                               {"log", "host", "--type", "sometimes"},
                                               {"log", "host", "--append"},
                                               {"setup", "host", "--append", "x"},
                                               {"snmp-manager", "host", "192.0.2.1"},
                                               {"frobnicate"},
                                               {}}) {
        const auto r = run_kalax(args);
        EXPECT_EQ(r.status, 2) << testing::PrintToString(args) << r.err;
        EXPECT_FALSE(r.err.empty());
    }
    for (const char *command : {"values", "setup", "send-setup", "snmp-manager", "log", "log-convert", "log-delete",
                                "demo", "sim"}) {
        const auto r = run_kalax({command, "--help"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind(std::string("usage: kalax ") + command, 0), 0u) << r.out;
    }
    const auto r = run_kalax({"log", "--help"});
    for (const char *option : {"--csv", "--bin", "--append FILE", "--type", "--group", "--user", "--timeout"})
        EXPECT_NE(r.out.find(option), std::string::npos) << option;
}

// ---- changing a unit ------------------------------------------------------------

TEST_F(Cli, SendSetupAppliesTheDocumentAndShowsTheAnswer) {
    start();
    const std::string doc = file("setup.xml");
    std::ofstream(doc) << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>\n<BinaryOutSet>\n<Entry>\n"
                          "<Idx>2</Idx>\n<Value>1</Value>\n<Name>L\xC3\xBC" "fter</Name>\n</Entry>\n</BinaryOutSet>\n</Root>\n";
    ASSERT_EQ(unit->output_value(1), 0);
    const auto r = run_kalax({"send-setup", host, doc, "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(unit->output_value(1), 1);
    const Json answer = JsonReader::parse(r.out);
    EXPECT_EQ(answer["items"][8]["name"].s, "L\xC3\xBC" "fter");
    EXPECT_EQ(answer["items"][8]["value_text"].s, "On");

    std::ofstream(file("broken.xml")) << "<Root><BinaryOutSet><Entry><Idx>";
    const auto broken = run_kalax({"send-setup", host, file("broken.xml")});
    EXPECT_EQ(broken.status, 1) << broken.err;
}

TEST_F(Cli, SnmpManagerIsReadAndSet) {
    start();
    auto r = run_kalax({"snmp-manager", host});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, unit->traps()[0].ip + ":" + std::to_string(unit->traps()[0].port) + "\n");

    r = run_kalax({"snmp-manager", host, "192.0.2.77", "1162"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(unit->traps()[0].ip, "192.0.2.77");
    EXPECT_EQ(unit->traps()[0].port, 1162);
    EXPECT_NE(r.out.find("192.0.2.77:1162"), std::string::npos) << r.out;
    EXPECT_EQ(run_kalax({"snmp-manager", host, "manager.example", "162"}).status, 2);
}

// ---- the data log -------------------------------------------------------------------

TEST_F(Cli, LogAppendTwiceAppendsNothingTheSecondTime) {
    sim::UnitConfig config;
    config.history_periods = 50;
    start(config);
    const std::string csv = file("log.csv");
    const size_t lines = lines_of(sim::format_log_csv(unit->log())).size();
    ASSERT_GT(lines, 50u);

    auto r = run_kalax({"log", host, "--append", csv});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(std::to_string(lines) + " of " + std::to_string(lines)), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("bytes"), std::string::npos) << "progress line";
    const std::string first = slurp(csv);
    EXPECT_EQ(first, sim::format_log_csv(unit->log()));

    r = run_kalax({"log", host, "--append", csv});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("0 of " + std::to_string(lines)), std::string::npos) << r.out;
    EXPECT_EQ(slurp(csv), first);

    // The log grows: only the new lines follow, in the binary form converted as well.
    unit->advance(5 * 60);
    r = run_kalax({"log", host, "--bin", "--append", csv});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(csv), sim::format_log_csv(unit->log()));
    r = run_kalax({"log", host, "--bin", "--append", csv});
    EXPECT_EQ(r.out.rfind("0 of ", 0), 0u) << r.out;
    EXPECT_EQ(slurp(csv), sim::format_log_csv(unit->log()));
}

TEST_F(Cli, LogFiltersAndWritesToStandardOutput) {
    sim::UnitConfig config;
    config.auto_log = false;
    start(config);
    unit->append_log({0, 1205589909, 0, {{1, 215}}});
    unit->append_log({1, 1205589969, 3, {{1, 1}}});
    unit->append_log({0, 1205590029, 4, {{1, 0}}});
    const auto all = run_kalax({"log", host});
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(all.out, sim::format_log_csv(unit->log()));
    const auto alarms = run_kalax({"log", host, "--type", "alarm"});
    EXPECT_EQ(alarms.out, sim::format_log_csv({unit->log()[1]}));
    const auto outputs = run_kalax({"log", host, "--group=outputs"});
    EXPECT_EQ(outputs.out, sim::format_log_csv({unit->log()[2]}));
    const auto bin = run_kalax({"log", host, "--bin"});
    EXPECT_EQ(bin.out, sim::encode_log_bin(unit->log()));
}

TEST_F(Cli, LogConvertTurnsBinaryRecordsIntoLinesAndRefusesBrokenOnes) {
    const std::vector<sim::LogRecord> records = {{1, 1205589909, 3, {{3, -125}, {7, 1}}}, {0, 1205589969, 0, {{1, 215}}}};
    std::ofstream(file("log.bin"), std::ios::binary) << sim::encode_log_bin(records);
    auto r = run_kalax({"log-convert", file("log.bin")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, sim::format_log_csv(records));
    r = run_kalax({"log-convert", file("log.bin"), file("log.csv")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(file("log.csv")), sim::format_log_csv(records));

    std::string cut = sim::encode_log_bin(records);
    cut.resize(cut.size() - 2);
    std::ofstream(file("cut.bin"), std::ios::binary) << cut;
    expect_failure(run_kalax({"log-convert", file("cut.bin"), file("cut.csv")}), 11, "File not valid");
    EXPECT_FALSE(std::filesystem::exists(file("cut.csv"))) << "nothing written for a broken log";
}

TEST_F(Cli, LogDeleteRemovesWhatTheLastDownloadServed) {
    sim::UnitConfig config;
    config.auto_log = false;
    start(config);
    unit->append_log({0, 1205589909, 0, {{1, 215}}});
    ASSERT_EQ(run_kalax({"log", host}).status, 0);
    unit->append_log({0, 1205589969, 0, {{1, 216}}});
    auto r = run_kalax({"log-delete", host});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(unit->log().size(), 1u);
    EXPECT_EQ(unit->log()[0].time, 1205589969);
    r = run_kalax({"log-delete", host, "--all"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(unit->log().empty());
}

// ---- the demo ------------------------------------------------------------------------

TEST_F(Cli, DemoRunsToCompletion) {
    const auto r = run_kalax({"demo"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    EXPECT_NE(r.out.find("Zuluft Rack 3"), std::string::npos);
    EXPECT_NE(r.out.find("[7] Done"), std::string::npos) << r.out;
    // The second download appended fewer lines than it downloaded.
    const auto lines = lines_of(r.out);
    std::vector<std::pair<long, long>> appends;
    for (const auto &line : lines) {
        long added = 0, total = 0;
        if (std::sscanf(line.c_str(), "%ld of %ld downloaded lines were new", &added, &total) == 2)
            appends.emplace_back(added, total);
    }
    ASSERT_EQ(appends.size(), 2u) << r.out;
    EXPECT_EQ(appends[0].first, appends[0].second);
    EXPECT_GT(appends[1].first, 0);
    EXPECT_EQ(appends[1].second, appends[0].second + appends[1].first);
}
