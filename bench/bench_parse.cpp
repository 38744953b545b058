// Cost of parsing a setup document into its record, against the XML parser
// alone with callbacks that do nothing. Both copy the text every iteration
// (the parse rewrites a namespaced root in place).
#include <benchmark/benchmark.h>
#include <libxml/parser.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kalax/zxxml_records.h"
#include "sdk/xmldoc/parser.h"

namespace {

std::string ReadData(const char *name) {
    std::ifstream in(std::string(KALAX_TEST_DATA) + "/" + name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void NoStart(void *, const xmlChar *, const xmlChar **) {}
void NoEnd(void *, const xmlChar *) {}
void NoCharacters(void *, const xmlChar *, int) {}

void Parse(benchmark::State &state, const char *file) {
    const std::string doc = ReadData(file);
    std::vector<char> text(doc.size());
    auto record = std::make_unique<zxxml_setup_struct>();
    auto counts = std::make_unique<zxxml_setup_count_struct>();
    for (auto _ : state) {
        std::copy(doc.begin(), doc.end(), text.begin());
        const int rc = kalax::xmldoc::parse_setup(text.data(), static_cast<int>(text.size()), record.get(),
                                                  counts.get());
        benchmark::DoNotOptimize(rc);
        benchmark::ClobberMemory();
    }
    if (counts->BinaryInSet == 0) state.SkipWithError("document not parsed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(doc.size()));
}

void BareSax(benchmark::State &state, const char *file) {
    const std::string doc = ReadData(file);
    std::vector<char> text(doc.size());
    for (auto _ : state) {
        std::copy(doc.begin(), doc.end(), text.begin());
        xmlSAXHandler sax{};
        sax.startElement = NoStart;
        sax.endElement = NoEnd;
        sax.characters = NoCharacters;
        xmlCheckVersion(20627);
        const int rc = xmlSAXUserParseMemory(&sax, nullptr, text.data(), static_cast<int>(text.size()));
        benchmark::DoNotOptimize(rc);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(doc.size()));
}

// 64 inputs, 64 outputs, 42 sensors, every list and group filled, in the form
// the setup writer produces.
void BM_ParseSetupFull(benchmark::State &state) { Parse(state, "setup_full.xml"); }
void BM_BareSax(benchmark::State &state) { BareSax(state, "setup_full.xml"); }
// A small document as a unit serves it: namespaced root, CRLF, indentation.
void BM_ParseSetupUnit(benchmark::State &state) { Parse(state, "setup_unit.xml"); }
void BM_BareSaxUnit(benchmark::State &state) { BareSax(state, "setup_unit.xml"); }

BENCHMARK(BM_ParseSetupFull);
BENCHMARK(BM_BareSax);
BENCHMARK(BM_ParseSetupUnit);
BENCHMARK(BM_BareSaxUnit);

}  // namespace

BENCHMARK_MAIN();
