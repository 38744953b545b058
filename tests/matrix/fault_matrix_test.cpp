// The quick part of the fault matrix: every fault that does not wait for the
// protocol's 10-second silence.
#include "matrix/fault_matrix.h"

using namespace kalax;
using namespace kalax::test;

namespace {

sim::Fault status(int code) { return sim::Fault::with_status(code); }
sim::Fault raw(std::string bytes) { return sim::Fault::raw(std::move(bytes)); }
sim::Fault body(std::string text) { return sim::Fault::with_body(std::move(text)); }

// A well-formed values document padded with spaces to exactly `size` bytes.
std::string padded_document(size_t size) {
    std::string doc = "<?xml version=\"1.0\"?><Root><Agent><Version>1</Version></Agent></Root>";
    doc.resize(size, ' ');
    return doc;
}

void no_line_longer_than(const std::string &text, size_t limit) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        EXPECT_LE(end - start, limit);
        start = end + 2;
    }
}

std::vector<Cell> cells() {
    std::vector<Cell> out;
    const bool xml_only = true;
    struct Row {
        std::string name;
        std::function<sim::Fault()> fault;
        bool refuse;
        int xml_code;  // expected for the XML kinds
        int pld_code;  // expected for the log kinds
        bool only_xml;
        std::function<void(sim::Unit &)> prepare = nullptr;
        std::function<void(const std::string &)> check = nullptr;
        sim::UnitConfig config = {};
        std::vector<Kind> kinds = {};  // empty: every kind (or every XML kind)
        int max_seconds = 8;
    };
    std::vector<Row> rows = {
        {"Refused", nullptr, true, 28, 28, false},
        {"Dripped", [] { sim::Fault f; f.drip_bytes = 7; f.drip_delay_ms = 2; return f; }, false, 0, 0, false},
        // A success head cut short is no reply: nothing came that could be delivered.
        {"CloseBeforeHeader", [] { sim::Fault f; f.close_before_header = true; return f; }, false, 71, 71, false},
        // Heads that end early or with bare line feeds still carry their status.
        {"ShortHead401", [] { return raw("HTTP/1.0 401\r\n\r\n"); }, false, 48, 48, false},
        {"ShortHead404Body", [] { return raw("HTTP/1.0 404\r\n\r\nnot here"); }, false, 51, 51, false},
        {"BareLfHead401", [] { return raw("HTTP/1.0 401\n\n"); }, false, 48, 48, false},
        {"BareLfHead503", [] { return raw("HTTP/1.0 503 Service Unavailable\nServer: x\n\nbusy"); }, false, 68, 68,
         false},
        {"CutHead401", [] { return raw("HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic\r\n"); }, false, 48,
         48, false},
        // No status line at all: a failure for every request, deletes included.
        {"ClosedAtOnce", [] { return raw(""); }, false, 71, 71, false},
        {"Garbage", [] { return raw("garbage, no status line\r\n\r\n<?xml version=\"1.0\"?><Root/>"); }, false, 71,
         71, false},
        {"BodyWithoutHead", [] { return raw("deleted 3 records\r\n"); }, false, 71, 71, false},
        {"ResetMidBody", [] { sim::Fault f; f.reset_after_body = 10; return f; }, false, 34, 34, false, small_log},
        // The XML client's buffer fills first; the log client stops at the response bound.
        // 32 MiB through 1024-byte reads take a few seconds under the sanitizers.
        {"EndlessStream", [] { sim::Fault f; f.endless = true; return f; }, false, 12, 12, false, small_log, nullptr,
         {}, {}, 30},
        {"Body19999", [] { return body(padded_document(19999)); }, false, 0, 0, false},
        {"Body20000", [] { return body(padded_document(20000)); }, false, 12, 0, false},
        {"Body1MB", [] { return body(padded_document(1 << 20)); }, false, 12, 0, false},
        // Documents that never reach the root's end tag were cut on the way.
        {"MalformedXml", [] { return body("<?xml version=\"1.0\"?><Root><Agent><Version>1</Agent>&&"); }, false, 45, 0,
         xml_only},
        {"DeepNesting", [] {
             std::string d = "<?xml version=\"1.0\"?>";
             for (int i = 0; i < 5000; ++i) d += "<a>";
             return body(d);
         }, false, 45, 0, false},
        // A setup document with that many entries would not fit the receive
        // buffer; a values document of 45 sensors does.
        {"ListsBeyondCapacity", nullptr, false, 0, 0, xml_only, nullptr, nullptr,
         [] { sim::UnitConfig c; c.inputs = 1; c.outputs = 1; c.sensors = 45; return c; }(), {Kind::Values}},
        {"TruncatedBinaryLog", nullptr, false, 0, 0, false,
         [](sim::Unit &u) { u.set_log_raw_bin(std::string("\x10\x01\x95\xd7\xdb\x47\x03\x02\x03\x00", 10)); }},
        {"CsvLoneLineEndsAndLongLines", nullptr, false, 0, 0, false,
         [](sim::Unit &u) {
             u.set_log_raw_txt("2008/03/15;14:05:09;0;3;1;1;0;\n2008/03/15;14:05:10;1;4;1;2;1;\r" +
                               std::string(20000, '7') + ";0;0;\r\n");
         },
         [](const std::string &t) {
             if (t.empty()) return;  // only the CSV download delivers text here
             no_line_longer_than(t, 10239);
             EXPECT_EQ(t.find('\n'), t.find("\r\n") + 1) << "lone line ends come back as CR LF";
         }},
    };
    for (int s = 400; s <= 417; ++s) rows.push_back({"Status" + std::to_string(s), [s] { return status(s); }, false, 47 + s - 400, 47 + s - 400, false});
    for (int s = 500; s <= 505; ++s) rows.push_back({"Status" + std::to_string(s), [s] { return status(s); }, false, 65 + s - 500, 65 + s - 500, false});
    // Statuses outside the table deliver whatever body follows.
    for (int s : {302, 418, 506})
        rows.push_back({"Status" + std::to_string(s),
                        [s] {
                            sim::Fault f = status(s);
                            f.body = padded_document(300);
                            return f;
                        },
                        false, 0, 0, false});

    for (const Row &row : rows) {
        for (Kind kind : row.kinds.empty() ? all_kinds() : row.kinds) {
            if (row.only_xml && !is_xml(kind)) continue;
            Cell c;
            c.name = row.name;
            c.kind = kind;
            c.fault = row.fault;
            c.refuse = row.refuse;
            c.config = row.config;
            c.prepare = row.prepare;
            c.expect.code = is_xml(kind) ? row.xml_code : row.pld_code;
            c.expect.refused = row.refuse;
            c.expect.max_seconds = row.max_seconds;
            if (row.refuse) c.expect.sys_code = ECONNREFUSED;
            if (kind == Kind::Csv) c.expect.check_text = row.check;
            out.push_back(std::move(c));
        }
    }
    return out;
}

}  // namespace

TEST_P(FaultMatrix, Cell) { run_cell(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Quick, FaultMatrix, testing::ValuesIn(cells()), cell_name);
