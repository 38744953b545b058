// The part of the fault matrix that waits for the protocol's 10-second silence.
#include "matrix/fault_matrix.h"

using namespace kalax;
using namespace kalax::test;

namespace {

std::vector<Cell> cells() {
    std::vector<Cell> out;
    for (Kind kind : all_kinds()) {
        // Accepts, reads the request, then says nothing: the response ends after
        // ten silent seconds with no body at all.
        Cell silent;
        silent.name = "AcceptThenSilence";
        silent.kind = kind;
        silent.fault = [] { sim::Fault f; f.never_answer = true; return f; };
        silent.expect.code = is_xml(kind) ? 45 : 0;
        silent.expect.max_seconds = 14;
        out.push_back(silent);

        // The head and a first piece arrive, then silence: what came is the body.
        Cell mid;
        mid.name = "SilenceMidBody";
        mid.kind = kind;
        mid.fault = [] { sim::Fault f; f.drip_bytes = 400; f.drip_delay_ms = 11500; return f; };
        mid.expect.code = 0;
        mid.expect.max_seconds = 14;
        out.push_back(mid);
    }
    return out;
}

}  // namespace

TEST_P(FaultMatrix, Cell) { run_cell(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Slow, FaultMatrix, testing::ValuesIn(cells()), cell_name);
