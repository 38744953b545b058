// One scrape of the exporter's fleet: every unit asked for its values at once,
// all answers waited for together, the metric families built and written in the
// Prometheus text format. Run with 1 and with 50 simulated units: a scrape of 50
// should take less than twice one unit's scrape plus 50 ms.
//
//   build/bench/monitoring/bench_scrape --benchmark_min_time=2
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include <prometheus/text_serializer.h>

#include "kalax/zxxml.h"
#include "tools/cli/scrape.h"
#include "unitsim/unitsim.h"

namespace {

void BM_Scrape(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<std::unique_ptr<kalax::sim::Unit>> units;
    std::vector<kalax::cli::UnitEntry> entries;
    for (int i = 0; i < n; ++i) {
        kalax::sim::UnitConfig config;
        config.seed = static_cast<uint32_t>(i + 1);
        units.push_back(std::make_unique<kalax::sim::Unit>(config));
        if (!units.back()->start(0)) {
            state.SkipWithError("cannot start a simulated unit");
            return;
        }
        kalax::cli::UnitEntry entry;
        entry.name = "unit" + std::to_string(i + 1);
        entry.host = entry.address = "127.0.0.1";
        entry.port = units.back()->port();
        entries.push_back(entry);
    }
    zxxml_init();
    {
        kalax::cli::Fleet fleet(entries, std::chrono::milliseconds(10000));
        const prometheus::TextSerializer text;
        size_t bytes = 0, down = 0;
        for (auto _ : state) {
            const std::vector<kalax::cli::UnitReading> readings = fleet.read_all();
            for (const auto &r : readings) down += !r.up;
            const std::string exposition = text.Serialize(kalax::cli::to_metric_families(fleet.units(), readings));
            bytes = exposition.size();
            benchmark::DoNotOptimize(exposition.data());
        }
        state.counters["units"] = n;
        state.counters["bytes"] = static_cast<double>(bytes);
        state.counters["units_down"] = static_cast<double>(down);
    }
    zxxml_uninit();
}
BENCHMARK(BM_Scrape)->Arg(1)->Arg(50)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
