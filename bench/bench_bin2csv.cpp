// Binary log to CSV conversion speed, in bytes of binary input per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "kalax/zxpld.h"
#include "sdk/pld/logformat.h"

namespace {

constexpr size_t kRecordSize = 24;  // header and four pairs
constexpr size_t kLogSize = 10 * 1024 * 1024 / kRecordSize * kRecordSize;

// A unit logging every 10 s; groups alternate between sensors (0) and binary
// inputs (3), values vary so the numbers have different widths.
std::vector<unsigned char> make_log() {
    std::vector<unsigned char> log;
    log.reserve(kLogSize);
    uint32_t t = 1600000000;
    uint32_t seed = 12345;
    for (size_t i = 0; i < kLogSize / kRecordSize; ++i, t += 10) {
        log.push_back(kRecordSize);
        log.push_back(i % 17 == 0 ? 1 : 0);
        for (int b = 0; b < 4; ++b) log.push_back(static_cast<unsigned char>(t >> (8 * b)));
        log.push_back(i % 2 == 0 ? 0 : 3);
        log.push_back(4);
        for (int p = 0; p < 4; ++p) {
            seed = seed * 1103515245u + 12345u;
            const uint16_t word = static_cast<uint16_t>(p + 1);
            const auto value = static_cast<uint16_t>(static_cast<int16_t>((seed >> 16) % 4000) - 1000);
            log.push_back(static_cast<unsigned char>(word));
            log.push_back(static_cast<unsigned char>(word >> 8));
            log.push_back(static_cast<unsigned char>(value));
            log.push_back(static_cast<unsigned char>(value >> 8));
        }
    }
    return log;
}

void run(benchmark::State &state, int group_filter) {
    const std::vector<unsigned char> log = make_log();
    std::vector<char> text(log.size() * 4);
    int written = 0;
    for (auto _ : state) {
        int length = static_cast<int>(text.size());
        const int result = kalax::pld::bin2csv(KALLOG_TYPE_ALL, group_filter, log.data(),
                                               static_cast<int>(log.size()), text.data(), &length);
        if (result != 0) state.SkipWithError("conversion failed");
        written = length;
        benchmark::DoNotOptimize(text.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(log.size()));
    state.counters["csv_bytes"] = written;
}

void BM_Bin2Csv_NoFilter(benchmark::State &state) { run(state, KALLOG_GROUP_ALL); }
void BM_Bin2Csv_HalfKept(benchmark::State &state) { run(state, KALLOG_GROUP_SENSORS); }

BENCHMARK(BM_Bin2Csv_NoFilter)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Bin2Csv_HalfKept)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
