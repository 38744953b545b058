// The document code with each of its allocations failing in turn: parsing,
// the client's parse into a module's records, the setup writer and the
// reduction must each give code 5 (or the result a run without the failure
// gives) and leave nothing allocated.
//
// Each test first runs cold, so that the tables a call builds once on first
// use fail too (with ctest every test is a process of its own), and then warm,
// where every run must leave the allocation count as it found it.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "alloc/failing_alloc.h"
#include "xmldoc/doc_util.h"
#include "kalax/zxxml.h"
#include "sdk/runtime/result_codes.h"
#include "sdk/xml/client.h"
#include "sdk/xmldoc/parser.h"
#include "sdk/xmldoc/reduce.h"
#include "sdk/xmldoc/writer.h"

namespace kalax::test {
namespace {

using alloc::torture;

using doc_test::ReadData;

template <class Record, class Counts>
struct Parsed {
    std::unique_ptr<Record> record = std::make_unique<Record>();
    std::unique_ptr<Counts> counts = std::make_unique<Counts>();
    bool operator==(const Parsed &o) const {
        return std::memcmp(record.get(), o.record.get(), sizeof(Record)) == 0 &&
               std::memcmp(counts.get(), o.counts.get(), sizeof(Counts)) == 0;
    }
};
using ValuesDoc = Parsed<zxxml_values_struct, zxxml_values_count_struct>;
using SetupDoc = Parsed<zxxml_setup_struct, zxxml_setup_count_struct>;

// Runs a parse cold and then warm; every run ends with code 5 or with exactly
// the records of a parse that had all its memory.
template <class P, class Parse>
void torture_parse(const std::string &document, Parse parse) {
    std::string text;
    P got;
    auto before = [&] { text = document; };
    auto call = [&] { return parse(text.data(), static_cast<int>(text.size()), got.record.get(), got.counts.get()); };
    std::vector<int> cold_codes;
    torture(call, [&](int rc, bool) { cold_codes.push_back(rc); }, before, false);

    P want;
    std::string copy = document;
    ASSERT_EQ(parse(copy.data(), static_cast<int>(copy.size()), want.record.get(), want.counts.get()), 0);
    EXPECT_TRUE(got == want) << "the clean cold run";
    for (const int rc : cold_codes) EXPECT_TRUE(rc == 0 || rc == kMEMORY) << rc;

    const long runs = torture(call,
                              [&](int rc, bool failed) {
                                  if (failed && rc == kMEMORY) return;
                                  EXPECT_EQ(rc, 0);
                                  EXPECT_TRUE(got == want) << "a parse that lost memory reported success";
                              },
                              before);
    EXPECT_GT(runs, 1) << "the parse allocated nothing to fail";
}

TEST(AllocDocument, ValuesParseFailsWithCode5OrParsesWhole) {
    torture_parse<ValuesDoc>(ReadData("values_unit.xml"), xmldoc::parse_values);
}

TEST(AllocDocument, SetupParseFailsWithCode5OrParsesWhole) {
    torture_parse<SetupDoc>(ReadData("setup_unit.xml"), xmldoc::parse_setup);
}

// The client's parse creates a module's records on first use; a record it
// could not create leaves code 5 in the module's error record.
TEST(AllocDocument, ClientParseCreatesRecordsOrStoresCode5) {
    constexpr int kModule = 7;
    xml::Client &c = xml::client();
    xml::Module &m = c.modules[kModule];
    ValuesDoc values;
    std::string v = ReadData("values_unit.xml");
    ASSERT_EQ(xmldoc::parse_values(v.data(), static_cast<int>(v.size()), values.record.get(), values.counts.get()), 0);
    SetupDoc setup;
    std::string s = ReadData("setup_unit.xml");
    ASSERT_EQ(xmldoc::parse_setup(s.data(), static_cast<int>(s.size()), setup.record.get(), setup.counts.get()), 0);
    const long held = alloc::outstanding();
    for (const int kind : {0, 1}) {
        SCOPED_TRACE(kind);
        const std::string document = ReadData(kind == 0 ? "values_unit.xml" : "setup_unit.xml");
        std::string text;
        torture(
            [&] {
                rt::SlotLock library(c.rt, 0);
                return xml::xml_parse(kModule, text.data(), static_cast<int>(text.size()), kind);
            },
            [&](int rc, bool failed) {
                zx_error_struct e{};
                zxxml_error(kModule, &e);
                if (failed && rc == -1) {
                    EXPECT_EQ(e.code, kMEMORY);
                    return;
                }
                EXPECT_EQ(rc, 0);
                if (kind == 0) {
                    ASSERT_TRUE(m.values_record && m.values_counts);
                    EXPECT_EQ(std::memcmp(m.values_record.get(), values.record.get(), sizeof *values.record), 0);
                    EXPECT_EQ(std::memcmp(m.values_counts.get(), values.counts.get(), sizeof *values.counts), 0);
                } else {
                    ASSERT_TRUE(m.setup_record && m.setup_counts);
                    EXPECT_EQ(std::memcmp(m.setup_record.get(), setup.record.get(), sizeof *setup.record), 0);
                    EXPECT_EQ(std::memcmp(m.setup_counts.get(), setup.counts.get(), sizeof *setup.counts), 0);
                }
            },
            [&] {
                text = document;
                c.rt.set_error(kModule, 0);
            },
            false);
    }
    m.values_record.reset();
    m.values_counts.reset();
    m.setup_record.reset();
    m.setup_counts.reset();
    EXPECT_EQ(alloc::outstanding(), held);
}

// Writer output of the sample setup, the document zxxml_send_setup reduces.
std::string written_setup(const SetupDoc &s) {
    std::string text(20000, '\0');
    EXPECT_EQ(xmldoc::write_setup(*s.record, *s.counts, text.data(), text.size()), 0);
    text.resize(std::strlen(text.c_str()));
    return text;
}

SetupDoc sample_setup() {
    SetupDoc s;
    std::string text = ReadData("setup_unit.xml");
    EXPECT_EQ(xmldoc::parse_setup(text.data(), static_cast<int>(text.size()), s.record.get(), s.counts.get()), 0);
    return s;
}

TEST(AllocDocument, WriterFailsWithCode5AndAnEmptyTextOrWritesWhole) {
    const SetupDoc s = sample_setup();
    std::string text(20000, 'x');
    auto call = [&] { return xmldoc::write_setup(*s.record, *s.counts, text.data(), text.size()); };
    auto check = [&](int rc, bool failed) {
        if (failed && rc == kMEMORY) {
            EXPECT_EQ(text[0], '\0');
            return;
        }
        EXPECT_EQ(rc, 0);
    };
    torture(call, check, {}, false);
    const std::string want = written_setup(s);
    EXPECT_TRUE(std::string(text.c_str()) == want);
    torture(call, [&](int rc, bool failed) {
        check(rc, failed);
        if (rc == 0) {
            EXPECT_TRUE(std::string(text.c_str()) == want) << "a writer that lost memory reported success";
        }
    });
}

// The reduction either gives the document a reduction with all its memory
// gives, or fails with code 5 and leaves the buffer as it was.
void torture_reduce(const std::string &document) {
    std::string input = document;
    input.resize(document.size() + 1024, '\0');
    std::string want = input;
    std::string text;
    auto before = [&] { text = input; };
    auto call = [&] { return xmldoc::prepare_setup(text.data(), text.size()); };
    auto check = [&](int rc, bool failed) {
        if (failed && rc == kMEMORY) {
            EXPECT_TRUE(text == input) << "a failed reduction changed the buffer";
            return;
        }
        EXPECT_EQ(rc, 0);
        // Compared whole: a diff of two setup documents says nothing more.
        EXPECT_TRUE(std::string(text.c_str()) == std::string(want.c_str()))
            << "a reduction that lost memory reported success: " << std::strlen(text.c_str()) << " bytes of "
            << std::strlen(want.c_str());
    };
    // The reduction keeps no tables between calls: cold and warm are alike.
    ASSERT_EQ(xmldoc::prepare_setup(want.data(), want.size()), 0);
    const long runs = torture(call, check, before);
    EXPECT_GT(runs, 1) << "the reduction allocated nothing to fail";
}

TEST(AllocDocument, ReductionOfWrittenSetupFailsWithCode5OrReducesWhole) {
    torture_reduce(written_setup(sample_setup()));
}

TEST(AllocDocument, ReductionOfCallersDocumentFailsWithCode5OrReducesWhole) {
    // Entities and character references come as text pieces of their own.
    torture_reduce(
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>\n<SenSet>\n<Entry>\n<Idx>1</Idx>\n"
        "<Name>A &amp; B &lt;x&gt;</Name>\n<Value>3</Value>\n</Entry>\n<Entry>\n<Idx>2</Idx>\n"
        "<Name>&#x4B;&#x61;l</Name>\n</Entry>\n</SenSet>\n<Network><IPAddr>1.2.3.4</IPAddr>"
        "<Name>rack</Name></Network>\n</Root>");
}

TEST(AllocDocument, ReductionOfALargeDocumentFailsWithCode5OrReducesWhole) {
    // Its output outgrows what the reduction sets aside at the start.
    torture_reduce(ReadData("setup_full.xml"));
}

}  // namespace
}  // namespace kalax::test
