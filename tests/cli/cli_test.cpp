// The kalax tool as a person uses it: a child process against a simulated unit.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

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

// A measurement, an alarm and an output change, a minute apart.
const std::vector<sim::LogRecord> kThreeRecords = {
    {0, 1205589909, 0, {{1, 215}}}, {1, 1205589969, 3, {{1, 1}}}, {0, 1205590029, 4, {{1, 0}}}};

class Cli : public ::testing::Test {
protected:
    void start(sim::UnitConfig config = {}) {
        unit = std::make_unique<sim::Unit>(std::move(config));
        ASSERT_TRUE(unit->start(0));
        host = "127.0.0.1:" + std::to_string(unit->port());
    }
    // A unit whose log holds exactly `records` (it logs nothing of its own).
    void start_with_log(const std::vector<sim::LogRecord> &records) {
        sim::UnitConfig config;
        config.auto_log = false;
        start(config);
        for (const sim::LogRecord &r : records) unit->append_log(r);
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

// Every failure is exactly one line on standard error naming the code and its
// text (after a download's progress line).
void expect_failure(const kalax::test::Run &r, int code, const char *text) {
    EXPECT_EQ(r.status, 1) << r.err;
    size_t lines = 0;
    for (const std::string &line : lines_of(r.err)) lines += line.rfind("downloading spilog.", 0) != 0;
    EXPECT_EQ(lines, 1u) << r.err;
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
    EXPECT_EQ(input["kind"].s, "input");
    EXPECT_EQ(input["kind_text"].s, "Binary input");
    EXPECT_EQ(input["id"].n, 1);
    EXPECT_EQ(input["value"].n, unit->input_value(0));
    EXPECT_EQ(input["value_text"].s, unit->input_value(0) ? "On" : "Off");
    EXPECT_EQ(input["units"].s, "Switch");

    const Json &sensor = items[4];
    EXPECT_EQ(sensor["kind"].s, "sensor");
    EXPECT_EQ(sensor["kind_text"].s, "Analog sensor input");
    EXPECT_EQ(sensor["type"].n, 0);
    EXPECT_EQ(sensor["name"].s, "Rack \"A\" \\ Nord") << "quotes and backslashes survive the round trip";
    EXPECT_NEAR(sensor["value"].n, unit->sensor_value(0), 1e-4);
    EXPECT_EQ(sensor["value_text"].s, fixed1(unit->sensor_value(0)));
    EXPECT_EQ(sensor["units"].s, "\xC2\xB0" "C");
    EXPECT_EQ(sensor["units_code"].n, 0);

    const Json &output = items[8];
    EXPECT_EQ(output["kind"].s, "output");
    EXPECT_EQ(output["kind_text"].s, "Binary output");
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
    // The library's texts name the relay differently in the two documents; the tool's own name is one.
    EXPECT_EQ(s["items"][8]["kind_text"].s, "Realy output");
    EXPECT_EQ(s["items"][8]["kind"].s, "output");
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
    EXPECT_TRUE(r.err.empty()) << "no progress line when standard error is no terminal: " << r.err;
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
    start_with_log(kThreeRecords);
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

    // A cut file: its whole records are converted, the cut one is named by its offset.
    const std::string whole = sim::encode_log_bin(records);
    std::string cut = whole;
    cut.resize(cut.size() - 2);
    std::ofstream(file("cut.bin"), std::ios::binary) << cut;
    const size_t first_size = sim::encode_log_bin({records[0]}).size();
    r = run_kalax({"log-convert", file("cut.bin"), file("cut.csv")});
    expect_failure(r, 11, "File not valid");
    EXPECT_NE(r.err.find("record cut off at byte " + std::to_string(first_size)), std::string::npos) << r.err;
    EXPECT_EQ(slurp(file("cut.csv")), sim::format_log_csv({records[0]}));
    // A malformed record in the middle: the records before it, and its offset.
    std::string bad = whole + whole;
    bad[whole.size() + first_size] = 3;  // the second copy's second record: a length byte that does not fit
    std::ofstream(file("bad.bin"), std::ios::binary) << bad;
    r = run_kalax({"log-convert", file("bad.bin")});
    expect_failure(r, 11, "File not valid");
    EXPECT_NE(r.err.find("malformed record at byte " + std::to_string(whole.size() + first_size)), std::string::npos)
        << r.err;
    EXPECT_EQ(r.out, sim::format_log_csv({records[0], records[1], records[0]}));
    // A file that is no binary log at all converts nothing and says where.
    std::ofstream(file("text.bin"), std::ios::binary) << "<html>not a log</html>";
    r = run_kalax({"log-convert", file("text.bin"), file("text.csv")});
    expect_failure(r, 11, "File not valid");
    EXPECT_NE(r.err.find("at byte 0"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(file("text.csv"))) << "nothing written for what is no log";
}

TEST_F(Cli, LogDeleteRemovesWhatTheLastDownloadServed) {
    start_with_log({kThreeRecords[0]});
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

// ---- hostile units: never a false success, never a damaged log file -------------------

namespace {

sim::Fault raw(std::string bytes) { return sim::Fault::raw(std::move(bytes)); }
sim::Fault answered(std::string body) { return sim::Fault::with_body(std::move(body)); }

// Runs the commands side by side (each may wait out the client's silence limit).
std::vector<kalax::test::Run> run_all(const std::vector<std::vector<std::string>> &commands) {
    std::vector<std::future<kalax::test::Run>> runs;
    for (const auto &args : commands) runs.push_back(std::async(std::launch::async, [args] { return run_kalax(args); }));
    std::vector<kalax::test::Run> out;
    for (auto &r : runs) out.push_back(r.get());
    return out;
}

}  // namespace

TEST_F(Cli, APortThatIsNoUnitFailsEveryLogCommandAndTheSnmpManager) {
    start_with_log({kThreeRecords[0]});
    const std::string csv = file("log.csv");
    const std::string kept = sim::format_log_csv(unit->log());
    std::ofstream(csv, std::ios::binary) << kept;

    sim::Fault silent;
    silent.never_answer = true;
    sim::Fault late;
    late.silence_ms = 11000;
    const std::pair<const char *, sim::Fault> faults[] = {{"accepts and closes", raw("")},
                                                          {"SSH banner", raw("SSH-2.0-OpenSSH_9.2p1\r\n")},
                                                          {"silent", silent},
                                                          {"answers after 11 s", late}};
    for (const auto &[name, fault] : faults) {
        SCOPED_TRACE(name);
        unit->set_fault("*", fault);
        const auto runs = run_all({{"log", host},
                                   {"log", host, "--append", csv},
                                   {"log-delete", host},
                                   {"log-delete", host, "--all"},
                                   {"snmp-manager", host, "192.0.2.9", "162"}});
        for (const auto &r : runs) {
            EXPECT_EQ(r.status, 1) << r.out << r.err;
            EXPECT_EQ(r.out.find("deleted"), std::string::npos) << r.out;
            EXPECT_EQ(r.out.find("appended"), std::string::npos) << r.out;
            EXPECT_EQ(r.out.find("now sends"), std::string::npos) << r.out;
            EXPECT_EQ(r.out.find("took"), std::string::npos) << r.out;
        }
        unit->clear_faults();
        // A unit that answers too late may have acted all the same; the tool
        // cannot know, and says it failed.
        if (!fault.silence_ms) {
            EXPECT_EQ(unit->log().size(), 1u) << "nothing deleted";
        }
        EXPECT_EQ(slurp(csv), kept);
    }
}

TEST_F(Cli, AnSnmpManagerAnsweredByAPageIsNotTaken) {
    start();
    const auto before = unit->traps()[0];
    unit->set_fault("*", answered("<html><body>Please log in</body></html>\r\n"));
    const auto r = run_kalax({"snmp-manager", host, "192.0.2.9", "162"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(r.out.find("took"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("now sends"), std::string::npos) << r.out;
    unit->clear_faults();
    EXPECT_EQ(unit->traps()[0].ip, before.ip);
}

TEST_F(Cli, ABodyThatIsNoLogIsNeverWrittenAnywhere) {
    start();
    const std::string csv = file("log.csv");
    const std::string kept = sim::format_log_csv({{0, 1205589909, 0, {{1, 215}}}});
    std::ofstream(csv, std::ios::binary) << kept;
    std::string noise(4096, '\0');
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 7919u + 13u) % 251u + 1u);
    const std::pair<const char *, sim::Fault> bodies[] = {
        {"login page", answered("<html><head><title>Login</title></head>\r\n<body><form>user</form></body></html>\r\n")},
        {"random bytes", answered(noise + "\r\n")},
        {"redirect page", raw("HTTP/1.0 200 OK\r\n\r\n<html><meta http-equiv=\"refresh\" content=\"0; url=/login\"></html>\n")},
        {"chunked", raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                        "2a\r\n2008/03/15;14:06:09;0;0;1;1;215;\r\n\r\n0\r\n\r\n")}};
    for (const auto &[name, fault] : bodies) {
        SCOPED_TRACE(name);
        unit->set_fault("/spilog.txt", fault);
        unit->set_fault("/spilog.bin", fault);
        const auto out = run_kalax({"log", host});
        expect_failure(out, 11, "File not valid");
        EXPECT_TRUE(out.out.empty()) << out.out;
        EXPECT_NE(out.err.find("not a"), std::string::npos) << out.err;
        expect_failure(run_kalax({"log", host, "--append", csv}), 11, "File not valid");
        EXPECT_EQ(run_kalax({"log", host, "--bin", "--append", csv}).status, 1);
        EXPECT_EQ(slurp(csv), kept);
    }
}

TEST_F(Cli, ACutDownloadKeepsOnlyWholeLinesAndSaysSo) {
    sim::UnitConfig config;
    config.auto_log = false;
    start(config);
    for (int i = 0; i < 5; ++i) unit->append_log({0, 1205589909 + 60 * i, 0, {{1, 200 + i}}});
    const std::vector<sim::LogRecord> log = unit->log();
    const std::vector<sim::LogRecord> first4(log.begin(), log.begin() + 4);
    const std::string whole = sim::format_log_csv(log);
    const size_t cut_at = whole.size() - 9;  // inside the last line
    sim::Fault cut;
    cut.raw_response = "HTTP/1.0 200 OK\r\n\r\n" + whole.substr(0, cut_at);
    unit->set_fault("/spilog.txt", cut);

    const auto out = run_kalax({"log", host});
    expect_failure(out, 11, "File not valid");
    EXPECT_NE(out.err.find("cut off"), std::string::npos) << out.err;
    EXPECT_EQ(out.out, sim::format_log_csv(first4));

    const std::string csv = file("log.csv");
    auto r = run_kalax({"log", host, "--append", csv});
    expect_failure(r, 11, "File not valid");
    EXPECT_EQ(r.out.rfind("4 of 4 downloaded lines", 0), 0u) << r.out;
    EXPECT_EQ(slurp(csv), out.out) << "no fragment written";

    // The unit answers whole again: only the missing line follows.
    unit->clear_faults();
    r = run_kalax({"log", host, "--append", csv});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("1 of 5 downloaded lines", 0), 0u) << r.out;
    EXPECT_EQ(slurp(csv), whole);

    // A binary download cut inside a record: the whole records, never the cut one.
    const std::string bin = sim::encode_log_bin(log);
    sim::Fault cut_bin;
    cut_bin.raw_response = "HTTP/1.0 200 OK\r\n\r\n" + bin.substr(0, bin.size() - 3);
    unit->set_fault("/spilog.bin", cut_bin);
    const auto b = run_kalax({"log", host, "--bin"});
    expect_failure(b, 11, "File not valid");
    EXPECT_NE(b.err.find("incomplete record"), std::string::npos) << b.err;
    EXPECT_EQ(b.out, sim::encode_log_bin(first4));
    const std::string bin_csv = file("bin.csv");
    expect_failure(run_kalax({"log", host, "--bin", "--append", bin_csv}), 11, "File not valid");
    EXPECT_EQ(slurp(bin_csv), sim::format_log_csv(first4));
}

TEST_F(Cli, AppendNeverDoublesOrDamagesTheFile) {
    start_with_log(kThreeRecords);
    const std::string all = sim::format_log_csv(unit->log());
    const auto line = [&](size_t i) { return sim::format_log_csv({unit->log()[i]}); };
    const auto lf = [](std::string text) {
        for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
        return text;
    };

    // LF line ends: the file keeps them, and the overlap is found.
    const std::string unix_file = file("unix.csv");
    std::ofstream(unix_file, std::ios::binary) << lf(line(0));
    auto r = run_kalax({"log", host, "--append", unix_file});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(unix_file), lf(all));
    r = run_kalax({"log", host, "--append", unix_file});
    EXPECT_EQ(r.out.rfind("0 of 3", 0), 0u) << r.out;
    EXPECT_EQ(slurp(unix_file), lf(all));

    // No final line end: the last line is ended, never glued to the next record.
    const std::string open_end = file("open.csv");
    std::ofstream(open_end, std::ios::binary) << line(0) + line(1).substr(0, line(1).size() - 2);
    r = run_kalax({"log", host, "--append", open_end});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(open_end), all);
    // ... and a fragment the unit does not hold is refused, the file untouched.
    const std::string fragment = file("fragment.csv");
    const std::string cut_text = line(0) + line(1).substr(0, 25);
    std::ofstream(fragment, std::ios::binary) << cut_text;
    expect_failure(run_kalax({"log", host, "--append", fragment}), 11, "File not valid");
    EXPECT_EQ(slurp(fragment), cut_text);

    // A last line of 10,237 characters and more: still found, still not doubled.
    unit->append_log({0, 1205590089, 0, {}});
    sim::LogRecord wide{0, 1205590149, 0, {}};
    for (int i = 0; i < 61; ++i) wide.pairs.push_back({i + 1, -32000 + i});
    std::string long_line = sim::format_log_csv({wide});
    std::string more;
    while (more.size() < 10300) more += "1;";
    long_line.insert(long_line.size() - 2, more);  // a record still, 10 kB long
    const std::string long_file = file("long.csv");
    std::ofstream(long_file, std::ios::binary) << all + long_line;
    sim::Fault served;
    served.body = all + long_line;
    unit->set_fault("/spilog.txt", served);
    r = run_kalax({"log", host, "--append", long_file});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("0 of 4", 0), 0u) << r.out;
    EXPECT_EQ(slurp(long_file), all + long_line);
    unit->clear_faults();

    // A file written with another filter is refused before anything is downloaded.
    const std::string alarms = file("alarms.csv");
    std::ofstream(alarms, std::ios::binary) << line(1);
    r = run_kalax({"log", host, "--type", "normal", "--append", alarms});
    expect_failure(r, 11, "File not valid");
    EXPECT_NE(r.err.find("other filters"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(alarms), line(1));
    r = run_kalax({"log", host, "--type", "alarm", "--append", alarms});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(alarms), line(1)) << "within one filter the overlap is found";

    // A file that is no log is refused, and an unwritable one before the download.
    const std::string page = file("page.csv");
    std::ofstream(page, std::ios::binary) << "<html>login</html>\n";
    expect_failure(run_kalax({"log", host, "--append", page}), 11, "File not valid");
    EXPECT_EQ(slurp(page), "<html>login</html>\n");
    sim::Fault silent;
    silent.never_answer = true;
    unit->set_fault("*", silent);
    ASSERT_EQ(::mkfifo(file("fifo").c_str(), 0600), 0);
    for (const std::string &bad : {file("no-folder/log.csv"), folder.string(), file("fifo")}) {
        const auto t0 = std::chrono::steady_clock::now();
        expect_failure(run_kalax({"log", host, "--append", bad}), 6, "File open failure");
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5)) << "found before the download";
    }
}

TEST_F(Cli, NulBytesInTheLogCostOnlyTheirLines) {
    start();
    const std::vector<sim::LogRecord> records = {{0, 1205589909, 0, {{1, 215}}},
                                                 {0, 1205589969, 0, {{1, 216}}},
                                                 {0, 1205590029, 0, {{1, 217}}}};
    std::string body = sim::format_log_csv(records);
    const size_t second = body.find("\r\n") + 2;
    body[second + 3] = '\0';
    unit->set_fault("/spilog.txt", answered(body));
    const auto r = run_kalax({"log", host});
    expect_failure(r, 11, "File not valid");
    EXPECT_NE(r.err.find("1 lines holding a NUL byte left out"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, sim::format_log_csv({records[0], records[2]}));
}

TEST_F(Cli, ALogLargerThanTheLimitStopsWithNothingWritten) {
    sim::UnitConfig config;
    config.history_periods = 50;
    start(config);
    const std::string csv = file("log.csv");
    const std::string kept = sim::format_log_csv({{0, 1205589909, 0, {{1, 215}}}});
    std::ofstream(csv, std::ios::binary) << kept;
    ASSERT_GT(sim::format_log_csv(unit->log()).size(), 2048u);
    auto r = run_kalax({"log", host, "--max-size", "2K"});
    expect_failure(r, 12, "File size >= buffer_size_max");
    EXPECT_NE(r.err.find("--max-size 2048"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());
    expect_failure(run_kalax({"log", host, "--max-size=2K", "--append", csv}), 12, "File size >= buffer_size_max");
    EXPECT_EQ(slurp(csv), kept);
    EXPECT_EQ(run_kalax({"log", host, "--max-size", "1M"}).status, 0);
    EXPECT_EQ(run_kalax({"log", host, "--max-size", "0"}).status, 2);

    // A unit that streams without end is stopped by the client's own bound.
    sim::Fault endless;
    endless.body = kept;
    endless.endless = true;
    unit->set_fault("/spilog.txt", endless);
    r = run_kalax({"log", host, "--append", csv}, 120);
    expect_failure(r, 12, "File size >= buffer_size_max");
    EXPECT_NE(r.err.find("32 MiB"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(csv), kept);
    r = run_kalax({"log", host, "--max-size", "2K"}, 120);
    expect_failure(r, 12, "File size >= buffer_size_max");
    EXPECT_NE(r.err.find("--max-size 2048"), std::string::npos) << "the person's own limit is named" << r.err;
}

TEST_F(Cli, MessagesNameTheRealCause) {
    const std::string refused = "127.0.0.1:" + std::to_string(sim::refused_port());
    for (const char *command : {"values", "log"}) {
        const auto r = run_kalax({command, refused});
        expect_failure(r, 28, "Socket connect failure");
        EXPECT_NE(r.err.find("[Connection refused]"), std::string::npos) << r.err;
    }

    start();
    unit->set_fault("/values.xml", answered("<html><body>It works!</body></html>\n"));
    auto r = run_kalax({"values", host});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("reading values.xml"), std::string::npos) << r.err;

    unit->clear_faults();
    sim::Fault silent;
    silent.never_answer = true;
    unit->set_fault("*", silent);
    r = run_kalax({"values", host, "--timeout", "1"});
    expect_failure(r, 19, "Timeout");
    EXPECT_NE(r.err.find("the unit did not answer within 1 s"), std::string::npos) << r.err;
    const auto runs = run_all({{"values", host}, {"setup", host}, {"log", host}});
    for (const auto &run : runs) {
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("the unit did not answer within 10 s"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("not valid"), std::string::npos) << run.err;
    }
}

TEST_F(Cli, TableColumnsLineUpOnATerminalWithWideAndCombiningCharacters) {
    sim::UnitConfig config;
    // Four CJK characters (two columns each), and an e with a combining accent (one).
    config.sensor_names = {"\xE6\xA9\x9F\xE6\x88\xBF\xE6\xB8\xA9\xE5\xBA\xA6", "Caf" "e\xCC\x81"};
    start(config);
    const auto r = run_kalax({"values", host});
    ASSERT_EQ(r.status, 0) << r.err;
    // Terminal columns of the characters used here.
    const auto columns = [](const std::string &s) {
        size_t n = 0;
        for (size_t i = 0; i < s.size();) {
            const auto b = static_cast<unsigned char>(s[i]);
            if (b >= 0xE0 && b < 0xF0) {
                n += 2;  // the CJK characters above
                i += 3;
            } else if (b == 0xCC) {
                i += 2;  // the combining accent
            } else {
                n += 1;
                i += b >= 0xC0 ? 2 : 1;
            }
        }
        return n;
    };
    const auto lines = lines_of(r.out);
    ASSERT_GE(lines.size(), 8u);
    const std::string &head = lines[1];
    const size_t units_col = columns(head.substr(0, head.find("UNITS")));
    for (const size_t row : {size_t{6}, size_t{7}}) {
        const std::string &line = lines[row];
        const size_t at = line.find("\xC2\xB0" "C") != std::string::npos ? line.find("\xC2\xB0" "C") : line.find("%RH");
        ASSERT_NE(at, std::string::npos) << line;
        EXPECT_EQ(columns(line.substr(0, at)), units_col) << line;
    }
}

TEST_F(Cli, ADocumentServedMalformedIsShownWithAWarning) {
    start();
    std::string doc = unit->setup_xml();
    // The sensors' group is broken by a mismatched end tag; the root's end tag stays.
    const size_t at = doc.find("</Name>", doc.find("<SenSet>"));
    ASSERT_NE(at, std::string::npos);
    doc.replace(at, 7, "</Nmae>");
    const long line = 1 + std::count(doc.begin(), doc.begin() + static_cast<std::ptrdiff_t>(at), '\n');
    unit->set_fault("/setup.xml", answered(doc));
    for (const char *format : {"--json", "--xml"}) {
        const auto r = run_kalax({"setup", host, format});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("warning: the unit's setup.xml is cut at line " + std::to_string(line) + ": "),
                  std::string::npos) << r.err;
        if (std::string(format) == "--json") {
            const size_t shown = JsonReader::parse(r.out)["items"].items.size();
            EXPECT_LT(shown, 9u);
            EXPECT_NE(r.err.find(": " + std::to_string(shown) + " items shown"), std::string::npos) << r.err;
        }
    }
    unit->clear_faults();
    EXPECT_TRUE(run_kalax({"setup", host}).err.empty()) << "no warning for a sound document";
}

// ---- features for daily use ---------------------------------------------------------

#include "kalax/zx.h"
#include "tools/cli/sizes.h"

using kalax::test::Setting;

TEST_F(Cli, VersionAndHelpForEachCommand) {
    // One version everywhere: the project's, the headers', the library's, the tool's.
    EXPECT_STREQ(KALAX_VERSION, KALAX_PROJECT_VERSION);
    EXPECT_STREQ(zx_version(), KALAX_VERSION);
    EXPECT_EQ(std::to_string(KALAX_VERSION_MAJOR) + "." + std::to_string(KALAX_VERSION_MINOR) + "." +
                  std::to_string(KALAX_VERSION_PATCH),
              KALAX_VERSION);
    auto r = run_kalax({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("kalax ") + KALAX_PROJECT_VERSION + "\n");

    r = run_kalax({"help", "log"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: kalax log ", 0), 0u) << r.out;
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"help", "frobnicate"}, {"--help", "frobnicate"}, {"help", "log", "extra"}}) {
        r = run_kalax(args);
        EXPECT_EQ(r.status, 2) << testing::PrintToString(args);
        EXPECT_TRUE(r.out.empty()) << r.out;
        EXPECT_FALSE(r.err.empty());
    }
    // The man page is made from this text: every command with its options.
    r = run_kalax({"--help-all"});
    ASSERT_EQ(r.status, 0);
    for (const char *part : {"usage: kalax values", "usage: kalax log-convert", "usage: kalax sim", "--delete-after",
                             "--password-file FILE", "--community TEXT", "-q, --quiet", "KALAX_PASSWORD"})
        EXPECT_NE(r.out.find(part), std::string::npos) << part;
    EXPECT_EQ(run_kalax({"--version"}, 60, "/dev/full").status, 1) << "a version that was not written";
}

TEST_F(Cli, CredentialsFromTheEnvironmentOrAFileUnderOneLengthRule) {
    sim::UnitConfig config;
    config.user = "admin";
    config.password = "secret";
    start(config);
    const Setting env{{"KALAX_USER=admin", "KALAX_PASSWORD=secret"}};
    EXPECT_EQ(run_kalax({"setup", host}, 60, nullptr, env).status, 0);
    EXPECT_EQ(run_kalax({"log", host}, 60, nullptr, env).status, 0);
    // The command line wins over the environment.
    expect_failure(run_kalax({"setup", host, "--password", "wrong"}, 60, nullptr, env), 48, "HTTP: Unauthorized");

    const std::string secret = file("secret.txt");
    std::ofstream(secret, std::ios::binary) << "secret\r\nsecond line is not read\n";
    EXPECT_EQ(run_kalax({"setup", host, "--user", "admin", "--password-file", secret}).status, 0);
    EXPECT_EQ(run_kalax({"log", host, "--password-file", secret}, 60, nullptr, Setting{{"KALAX_USER=admin"}}).status,
              0);
    Setting from_stdin;
    from_stdin.stdin_path = secret.c_str();
    EXPECT_EQ(run_kalax({"setup", host, "--user=admin", "--password-file=-"}, 60, nullptr, from_stdin).status, 0);
    EXPECT_EQ(run_kalax({"setup", host, "--password", "x", "--password-file", secret}).status, 2);
    expect_failure(run_kalax({"setup", host, "--user", "admin", "--password-file", file("none.txt")}), 6,
                   "File open failure");

    // 99 bytes pass to the unit, 100 fail before anything is sent, for the log
    // client (which would cut them) as for the XML client.
    const std::string long_user(100, 'u');
    const size_t requests = unit->request_count();
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"values", host}, {"log", host}, {"log-delete", host}, {"snmp-manager", host, "192.0.2.3", "162"}}) {
        std::vector<std::string> with = args;
        with.insert(with.end(), {"--user", long_user});
        expect_failure(run_kalax(with), 43, "p_user >= AUTHENTICATE_MAX");
        expect_failure(run_kalax(args, 60, nullptr, Setting{{"KALAX_PASSWORD=" + std::string(100, 'p')}}), 42,
                       "p_password >= AUTHENTICATE_MAX");
    }
    EXPECT_EQ(unit->request_count(), requests) << "nothing sent with credentials too long";
    expect_failure(run_kalax({"log", host, "--user", std::string(99, 'u')}), 48, "HTTP: Unauthorized");
}

TEST_F(Cli, QuietRunsSayNothingAndProgressIsForTerminalsOnly) {
    start_with_log(kThreeRecords);
    const std::string csv = file("log.csv");
    auto r = run_kalax({"log", host, "--append", csv, "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_TRUE(r.err.empty()) << r.err;
    EXPECT_EQ(slurp(csv), sim::format_log_csv(unit->log()));
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"log-delete", host, "--quiet"}, {"snmp-manager", host, "192.0.2.4", "162", "-q"}}) {
        r = run_kalax(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.out.empty() && r.err.empty()) << r.out << r.err;
    }
    EXPECT_EQ(run_kalax({"values", host, "-q"}).status, 2) << "a listing has nothing to keep quiet";
    EXPECT_EQ(run_kalax({"log", host, "-qz"}).status, 2) << "an unknown flag among short ones";
    // A failure is reported all the same.
    unit->set_fault("/spilog.txt", sim::Fault::with_status(503));
    r = run_kalax({"log", host, "--append", csv, "-q"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("error"), std::string::npos);
    unit->clear_faults();

    // On a terminal the progress line is drawn, with sizes and rates a person reads.
    Setting tty;
    tty.stderr_tty = true;
    r = run_kalax({"log", host}, 60, nullptr, tty);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("\rdownloading spilog.txt: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(" B in "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("/s)"), std::string::npos) << r.err;
    r = run_kalax({"log", host, "-q"}, 60, nullptr, tty);
    EXPECT_TRUE(r.err.empty()) << r.err;
}

TEST(CliSizes, BytesAndRatesReadAsPeopleWriteThem) {
    using kalax::cli::human_rate;
    using kalax::cli::human_size;
    EXPECT_EQ(human_size(0), "0 B");
    EXPECT_EQ(human_size(1023), "1023 B");
    EXPECT_EQ(human_size(1024), "1.0 KiB");
    EXPECT_EQ(human_size(1536), "1.5 KiB");
    EXPECT_EQ(human_size((size_t{1} << 20) - 1), "1.0 MiB") << "never 1024.0 KiB";
    EXPECT_EQ(human_size(size_t{256} << 20), "256.0 MiB");
    EXPECT_EQ(human_size(size_t{3} << 30), "3.0 GiB");
    EXPECT_EQ(human_rate(1024, 0.0), "-");
    EXPECT_EQ(human_rate(size_t{3} << 20, 2.0), "1.5 MiB/s");
    EXPECT_EQ(human_rate(10, 4.0), "2 B/s");
}

TEST_F(Cli, ADashIsStandardInputOrOutput) {
    const std::vector<sim::LogRecord> records = {{0, 1205589909, 0, {{1, 215}}}};
    const std::string bin = file("log.bin");
    std::ofstream(bin, std::ios::binary) << sim::encode_log_bin(records);
    Setting in;
    in.stdin_path = bin.c_str();
    auto r = run_kalax({"log-convert", "-", "-"}, 60, nullptr, in);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, sim::format_log_csv(records));
    r = run_kalax({"log-convert", "-", file("out.csv")}, 60, nullptr, in);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(file("out.csv")), sim::format_log_csv(records));

    start();
    const std::string doc = file("setup.xml");
    std::ofstream(doc) << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>\n<BinaryOutSet>\n<Entry>\n"
                          "<Idx>2</Idx>\n<Value>1</Value>\n</Entry>\n</BinaryOutSet>\n</Root>\n";
    in.stdin_path = doc.c_str();
    r = run_kalax({"send-setup", host, "-", "--json"}, 60, nullptr, in);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(unit->output_value(1), 1);
    EXPECT_EQ(run_kalax({"log", host, "--append", "-"}).status, 2);
}

TEST_F(Cli, LogConvertReplacesItsOutputWhole) {
    const std::vector<sim::LogRecord> records = {{0, 1205589909, 0, {{1, 215}}}};
    std::ofstream(file("log.bin"), std::ios::binary) << sim::encode_log_bin(records);
    const std::string out = file("out.csv");
    std::ofstream(out, std::ios::binary) << std::string(100000, 'x');
    ASSERT_EQ(::chmod(out.c_str(), 0640), 0);
    ASSERT_EQ(run_kalax({"log-convert", file("log.bin"), out}).status, 0);
    EXPECT_EQ(slurp(out), sim::format_log_csv(records));
    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u) << "the file keeps its mode";
    size_t entries = 0;
    for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator(folder)) ++entries;
    EXPECT_EQ(entries, 2u) << "no temporary file left behind";
}

TEST_F(Cli, JsonShowsNullForALimitTheUnitDoesNotHave) {
    start();
    const auto r = run_kalax({"values", host, "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("-999.9"), std::string::npos) << "the library's mark never reaches a script";
    const Json v = JsonReader::parse(r.out);
    const Json &no_alarm = v["items"][3];  // input 4 has no alarm, so no limits
    EXPECT_EQ(no_alarm["min"].kind, Json::null) << r.out;
    EXPECT_EQ(no_alarm["max"].kind, Json::null);
    EXPECT_EQ(no_alarm["min_text"].s, "-");
    EXPECT_EQ(v["items"][4]["min"].kind, Json::number) << "a sensor's range is a number";
}

TEST_F(Cli, SnmpManagerWithCredentialsOrACommunityIsPostedAsASetup) {
    sim::UnitConfig config;
    config.user = "admin";
    config.password = "secret";
    start(config);
    // The library's own request carries no credentials: such a unit refuses it.
    expect_failure(run_kalax({"snmp-manager", host, "192.0.2.10", "162"}), 48, "HTTP: Unauthorized");

    auto r = run_kalax({"snmp-manager", host, "192.0.2.10", "1162", "--user", "admin", "--password", "secret"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "the unit now sends its traps to 192.0.2.10:1162 (community \"orchid\")\n");
    EXPECT_EQ(unit->traps()[0], (sim::TrapDest{"orchid", "192.0.2.10", 1162, true}));
    const std::vector<std::string> sent = unit->requests();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().rfind("POST /setup.xml", 0), 0u);
    EXPECT_NE(sent.back().find("Authorization: Basic YWRtaW46c2VjcmV0"), std::string::npos) << sent.back();

    r = run_kalax({"snmp-manager", host, "192.0.2.11", "162", "--community", "ops<&>\"net\""}, 60, nullptr,
                  Setting{{"KALAX_USER=admin", "KALAX_PASSWORD=secret"}});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(unit->traps()[0], (sim::TrapDest{"ops<&>\"net\"", "192.0.2.11", 162, true}));
    EXPECT_NE(r.out.find("(community \"ops<&>\"net\"\")"), std::string::npos) << r.out;
    EXPECT_EQ(unit->traps()[1].ip, "0.0.0.0") << "only the first destination changes";

    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"snmp-manager", host, "--community", "x"},
             {"snmp-manager", host, "192.0.2.1", "162", "--community", ""},
             {"snmp-manager", host, "192.0.2.1", "162", "--community", std::string(51, 'c')}})
        EXPECT_EQ(run_kalax(args).status, 2) << testing::PrintToString(args);
    EXPECT_NE(run_kalax({"snmp-manager", "--help"}).out.find("\"orchid\""), std::string::npos);
}

TEST_F(Cli, SnmpManagerReadBackMustShowTheCommunity) {
    start();
    // A unit that keeps its own community has not taken the destination as sent.
    auto r = run_kalax({"snmp-manager", host, "192.0.2.1", "162", "--community", "private"});
    ASSERT_EQ(r.status, 0) << r.err;
    unit->set_fault("/setup.xml", sim::Fault::with_body(unit->setup_xml()));  // the old answer, "private" kept
    r = run_kalax({"snmp-manager", host, "192.0.2.1", "162", "--community", "other"});
    expect_failure(r, 73, "");
    EXPECT_NE(r.err.find("(community \"private\"), not the one sent"), std::string::npos) << r.err;
}

TEST_F(Cli, LogDeleteAfterDeletesOnlyWhatFileHolds) {
    start_with_log(kThreeRecords);
    const std::string csv = file("log.csv");
    auto r = run_kalax({"log", host, "--append", csv, "--delete-after"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(csv), sim::format_log_csv(kThreeRecords));
    EXPECT_TRUE(unit->log().empty());
    EXPECT_NE(r.out.find("deleted the 3 records the download served"), std::string::npos) << r.out;

    // The next round brings only the new record, and deletes it once it is in FILE.
    const sim::LogRecord later{0, 1205590089, 0, {{1, 220}}};
    unit->append_log(later);
    r = run_kalax({"log", host, "--bin", "--append", csv, "--delete-after"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<sim::LogRecord> all = kThreeRecords;
    all.push_back(later);
    EXPECT_EQ(slurp(csv), sim::format_log_csv(all));
    EXPECT_TRUE(unit->log().empty());

    // An empty log asks for no deletion at all.
    const size_t before = unit->request_count();
    ASSERT_EQ(run_kalax({"log", host, "--append", csv, "--delete-after"}).status, 0);
    EXPECT_EQ(unit->request_count(), before + 1) << "the download only";

    // A download that was not whole, or a FILE that was not written, deletes nothing.
    for (const sim::LogRecord &rec : kThreeRecords) unit->append_log(rec);
    const std::string whole = sim::format_log_csv(unit->log());
    // The unit serves its records (a delete would remove them) but the answer breaks off.
    sim::Fault cut;
    cut.close_after_body = whole.size() - 5;
    unit->set_fault("/spilog.txt", cut);
    r = run_kalax({"log", host, "--append", file("cut.csv"), "--delete-after"});
    expect_failure(r, 11, "File not valid");
    EXPECT_EQ(unit->log().size(), 3u) << "a cut download deletes nothing";
    unit->clear_faults();
    const std::string fragment = file("fragment.csv");
    std::ofstream(fragment, std::ios::binary) << "2001/01/01;00:00:00;0;0;1;1;2";
    expect_failure(run_kalax({"log", host, "--append", fragment, "--delete-after"}), 11, "File not valid");
    EXPECT_EQ(unit->log().size(), 3u) << "a FILE that was not written deletes nothing";
    expect_failure(run_kalax({"log", host, "--append", file("no-folder/x.csv"), "--delete-after"}), 6,
                   "File open failure");
    EXPECT_EQ(unit->log().size(), 3u);

    // The unit deletes everything it served: the filters would drop some of it.
    EXPECT_EQ(run_kalax({"log", host, "--delete-after"}).status, 2);
    EXPECT_EQ(run_kalax({"log", host, "--append", csv, "--delete-after", "--type", "alarm"}).status, 2);
    EXPECT_EQ(unit->log().size(), 3u);
}

// ---- kalax-unitsim as a user runs it --------------------------------------------------

namespace {

// kalax-unitsim started with `args` on a free port, stopped with SIGTERM.
class UnitsimProcess {
public:
    explicit UnitsimProcess(std::vector<std::string> args) {
        int out[2];
        if (pipe(out) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        args.insert(args.begin(), {KALAX_UNITSIM_PATH, "--port", "0"});
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (rc != 0) {
            close(out[0]);
            throw std::runtime_error("cannot start kalax-unitsim");
        }
        // Its second line is the values URL: http://127.0.0.1:PORT/values.xml
        std::string text;
        char buffer[512];
        pollfd fd{out[0], POLLIN, 0};
        while (text.find("/values.xml\n") == std::string::npos && poll(&fd, 1, 10000) > 0) {
            const ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0) break;
            text.append(buffer, static_cast<size_t>(n));
        }
        close(out[0]);
        const size_t at = text.find("http://127.0.0.1:");
        if (at != std::string::npos) port_ = std::atoi(text.c_str() + at + 17);
    }
    ~UnitsimProcess() {
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    UnitsimProcess(const UnitsimProcess &) = delete;
    UnitsimProcess &operator=(const UnitsimProcess &) = delete;
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
    int port() const { return port_; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace

TEST(CliUnitsim, FaultOptionsLetAUserTryTheirErrorHandling) {
    {
        UnitsimProcess sim({"--status", "503", "--fault-path", "/values.xml"});
        ASSERT_GT(sim.port(), 0);
        expect_failure(run_kalax({"values", sim.host()}), 68, "HTTP: Service Unavailable");
        EXPECT_EQ(run_kalax({"setup", sim.host()}).status, 0) << "the other paths answer";
    }
    {
        UnitsimProcess sim({"--close-after", "100", "--fault-path", "/spilog.txt"});
        ASSERT_GT(sim.port(), 0);
        const auto r = run_kalax({"log", sim.host()});
        expect_failure(r, 11, "File not valid");
        EXPECT_NE(r.err.find("cut off"), std::string::npos) << r.err;
        EXPECT_LT(r.out.size(), 100u);
    }
    {
        // Slow, but whole: the download is complete and takes its time.
        UnitsimProcess sim({"--drip", "200:20", "--delay-ms", "300", "--fault-path", "/values.xml"});
        ASSERT_GT(sim.port(), 0);
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(run_kalax({"values", sim.host()}).status, 0);
        EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
    }
    for (const std::vector<std::string> &bad : std::vector<std::vector<std::string>>{
             {"--drip", "10"}, {"--drip", "0:5"}, {"--status", "99"}, {"--close-after", "-1"},
             {"--fault-path", "values.xml"}}) {
        std::vector<std::string> all = {KALAX_UNITSIM_PATH, "--port", "0"};
        all.insert(all.end(), bad.begin(), bad.end());
        std::vector<char *> argv;
        for (auto &a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        // A value taken by mistake would start a unit that serves on: stop it.
        int status = 0;
        for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; ++waited) {
            if (waited == 100) kill(pid, SIGKILL);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << testing::PrintToString(bad);
    }
}

TEST(CliReadme, TheToolTableListsEveryCommandAndOption) {
    std::ifstream in(std::string(KALAX_TEST_DATA) + "/../../README.md");
    const std::string readme(std::istreambuf_iterator<char>(in), {});
    const size_t begin = readme.find("## The `kalax` tool");
    ASSERT_NE(begin, std::string::npos);
    const std::string section = readme.substr(begin, readme.find("\n## ", begin + 1) - begin);
    const auto r = run_kalax({"--help-all"});
    ASSERT_EQ(r.status, 0);
    for (const std::string &line : lines_of(r.out)) {
        // "  values HOST[:PORT]   Read ..." in the overview, "  --name VALUE  help" under options.
        if (line.rfind("  ", 0) != 0 || line.size() < 3 || line[2] == ' ') continue;
        const std::string word = line.substr(2, line.find(' ', 2) - 2);
        if (word[0] == '-') {
            const size_t comma = line.find(", --");
            const std::string option =
                comma == std::string::npos ? word : line.substr(comma + 2, line.find(' ', comma + 2) - comma - 2);
            EXPECT_NE(section.find(option), std::string::npos) << option << " is not in the README's tool section";
        } else {
            EXPECT_NE(section.find("| `kalax " + word), std::string::npos)
                << word << " has no row in the README's tool table";
        }
    }
}
