// The part of the fault matrix that waits for real timeouts: the protocol's
// 10-second silence and the time bound of a response.
#include "matrix/fault_matrix.h"

using namespace kalax;
using namespace kalax::test;

namespace {

// Body bytes the unit sends before it falls silent, and what they are of the
// small log's CSV form.
constexpr size_t kStallAfter = 25;
constexpr char kSmallLogStart[] = "2008/03/15;14:05:00;0;3;2";

std::vector<Cell> cells() {
    std::vector<Cell> out;
    for (Kind kind : all_kinds()) {
        // Accepts, reads the request, then says nothing: after ten silent
        // seconds no status line has come, so there is no reply.
        Cell silent;
        silent.name = "AcceptThenSilence";
        silent.kind = kind;
        silent.fault = [] { sim::Fault f; f.never_answer = true; return f; };
        silent.expect.code = 71;
        silent.expect.min_seconds = 10;
        silent.expect.max_seconds = 14;
        out.push_back(silent);

        // The head and part of the body arrive, then the unit falls silent for
        // good: ten seconds later what came is the body. A log takes it as it
        // is; a document that never got to its root's end tag is no document.
        Cell mid;
        mid.name = "SilenceMidBody";
        mid.kind = kind;
        mid.prepare = small_log;
        mid.fault = [] { sim::Fault f; f.stall_after_body = kStallAfter; return f; };
        mid.expect.code = is_xml(kind) ? 45 : 0;
        mid.expect.min_seconds = 10;
        mid.expect.max_seconds = 14;
        if (kind == Kind::Csv)
            // The filter pass ends the cut line like any other.
            mid.expect.check_text = [](const std::string &t) { EXPECT_EQ(t, kSmallLogStart + std::string("\r\n")); };
        if (kind == Kind::Bin) mid.expect.check_text = [](const std::string &t) { EXPECT_EQ(t.size(), kStallAfter); };
        out.push_back(mid);

        // A byte every two seconds for ever: the response's time bound ends it.
        Cell drip;
        drip.name = "EndlessDrip";
        drip.kind = kind;
        drip.prepare = small_log;
        drip.fault = [] {
            sim::Fault f;
            f.endless = true;
            f.drip_bytes = 1;
            f.drip_delay_ms = 2000;
            return f;
        };
        drip.expect.code = 19;
        drip.expect.min_seconds = 29;
        drip.expect.max_seconds = 36;
        out.push_back(drip);
    }
    return out;
}

}  // namespace

TEST_P(FaultMatrix, Cell) { run_cell(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Slow, FaultMatrix, testing::ValuesIn(cells()), cell_name);
