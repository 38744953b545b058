// A real Prometheus server on loopback scrapes kalax exporter serving three
// simulated units: one that answers, one that refuses connections, one that
// never answers. Prometheus's HTTP API must then tell which unit is up and what
// the answering unit's temperature is.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "cli/cli_support.h"
#include "cli/monitoring_support.h"
#include "unitsim/unitsim.h"

using namespace kalax;

namespace {

// %-encoding of a PromQL query for a URL.
std::string url_encode(const std::string &text) {
    std::string out;
    for (const unsigned char ch : text) {
        if (std::isalnum(ch) || ch == '_' || ch == '-' || ch == '.') {
            out += static_cast<char>(ch);
        } else {
            char b[4];
            std::snprintf(b, sizeof b, "%%%02X", ch);
            out += b;
        }
    }
    return out;
}

// label value -> sample value of an instant query's vector, keyed by `label`.
std::map<std::string, std::string> query(int port, const std::string &promql, const std::string &label) {
    std::map<std::string, std::string> out;
    const test::HttpReply r = test::http_get(port, "/api/v1/query?query=" + url_encode(promql), 5000);
    if (r.status != 200) return out;
    const test::Json answer = test::JsonReader::parse(r.body);
    if (answer["status"].s != "success") return out;
    for (const test::Json &sample : answer["data"]["result"].items)
        out[sample["metric"][label].s] = sample["value"][1].s;
    return out;
}

TEST(MonitoringPrometheus, ARealServerScrapesTheExporterAndSeesEachUnitsState) {
    if (!test::have_program("prometheus"))
        GTEST_SKIP() << "the prometheus binary is not installed (scripts/deps.sh installs Debian's prometheus)";
    const auto folder = std::filesystem::temp_directory_path() / ("kalax-prometheus-test-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);

    sim::Unit good;
    ASSERT_TRUE(good.start(0));
    sim::Unit silent;
    ASSERT_TRUE(silent.start(0));
    sim::Fault never;
    never.never_answer = true;
    silent.set_fault("/values.xml", never);
    const int refused = sim::refused_port();

    auto at = [](int port) { return "127.0.0.1:" + std::to_string(port); };
    test::Child exporter({KALAX_CLI_PATH, "exporter", "--listen", "127.0.0.1:0", "--scrape-timeout", "1", "--unit",
                          "good=" + at(good.port()), "--unit", "refusing=" + at(refused), "--unit",
                          "silent=" + at(silent.port())},
                         (folder / "exporter.err").string());
    const int exporter_port = test::exporter_port(exporter.line());
    ASSERT_NE(exporter_port, 0);

    test::write_text(folder / "prometheus.yml", "global:\n"
                                                "  scrape_interval: 2s\n"
                                                "  scrape_timeout: 2s\n"
                                                "scrape_configs:\n"
                                                "  - job_name: kalax\n"
                                                "    static_configs:\n"
                                                "      - targets: ['" + at(exporter_port) + "']\n");
    const int prometheus_port = test::free_port();
    test::Child prometheus({"prometheus", "--config.file=" + (folder / "prometheus.yml").string(),
                            "--storage.tsdb.path=" + (folder / "data").string(),
                            "--web.listen-address=" + at(prometheus_port), "--log.level=warn"},
                           (folder / "prometheus.err").string());

    // Prometheus needs a moment to start and a scrape or two to have samples.
    std::map<std::string, std::string> up;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        up = query(prometheus_port, "kalax_unit_up", "unit");
        if (up.size() == 3) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    ASSERT_EQ(up.size(), 3u) << "no samples in Prometheus within 60 s; see " << folder;
    EXPECT_EQ(up["good"], "1");
    EXPECT_EQ(up["refusing"], "0");
    EXPECT_EQ(up["silent"], "0");
    const auto codes = query(prometheus_port, "kalax_unit_last_error_code", "unit");
    EXPECT_EQ(codes.at("refusing"), "28");
    EXPECT_EQ(codes.at("silent"), "19");
    // The scrape itself never failed because two units did.
    EXPECT_EQ(query(prometheus_port, "up{job=\"kalax\"}", "job")["kalax"], "1");

    const std::string id = good.field("SenSet_Entry_ID", 0);
    ASSERT_EQ(good.field("SenSet_Entry_Units", 0), "C");
    const auto temperature = query(prometheus_port, "kalax_temperature_celsius{unit=\"good\",id=\"" + id + "\"}", "name");
    ASSERT_EQ(temperature.size(), 1u);
    EXPECT_EQ(temperature.begin()->first, good.sensor_name(0));
    EXPECT_EQ(std::strtod(temperature.begin()->second.c_str(), nullptr), good.sensor_value(0));

    prometheus.stop();
    EXPECT_EQ(exporter.stop(), 0);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

}  // namespace
