// Setup uploads with each allocation of the caller's thread failing in turn:
// the writing and reduction run in the call itself, so a call that cannot get
// its memory must fail with code 5 and send nothing; the one clean run must
// send exactly what an upload with all its memory sends.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "alloc/failing_alloc.h"
#include "sdk/runtime/result_codes.h"
#include "sdk/xml/client.h"
#include "sdk/xmldoc/parser.h"
#include "support/xml_unit.h"

namespace kalax::test {
namespace {

std::string read_data(const std::string &name) {
    std::ifstream in(std::string(KALAX_TEST_DATA) + "/" + name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class AllocUpload : public XmlUnit {
protected:
    // Tortures `send` on a module of a fresh unit; returns the one POST the
    // unit received.
    std::string torture_send(const std::function<int(int module)> &send) {
        start_unit();
        const int m = open_unit();
        // A failure the code gets round (the XML parser has a few) still sends.
        size_t sent = 0;
        alloc::torture([&] { return send(m); },
                       [&](int rc, bool failed) {
                           if (failed && rc == -1) {
                               EXPECT_EQ(xml_code(m), kMEMORY);
                               return;
                           }
                           EXPECT_EQ(rc, 0);
                           ++sent;
                           EXPECT_EQ(zxxml_wait_finish(m, 7, 5), 0);
                       },
                       [&] { xml::client().rt.set_error(m, 0); });
        const std::vector<std::string> requests = unit->requests();
        EXPECT_EQ(requests.size(), sent) << "a failed upload was sent";
        for (const std::string &r : requests) EXPECT_EQ(r, requests.back());
        return requests.empty() ? std::string() : requests.back();
    }

    // What an upload with all its memory sends.
    std::string reference_send(const std::function<int(int module)> &send) {
        start_unit();
        const int m = open_unit();
        EXPECT_EQ(send(m), 0);
        EXPECT_EQ(zxxml_wait_finish(m, 7, 5), 0);
        const std::vector<std::string> requests = unit->requests();
        EXPECT_EQ(requests.size(), 1u);
        EXPECT_EQ(zxxml_close(m), 0);
        unit->stop();
        unit.reset();
        return requests.empty() ? std::string() : requests.back();
    }
};

TEST_F(AllocUpload, RecordUploadFailsWithCode5AndSendsNothingOrSendsWhole) {
    auto setup = std::make_unique<zxxml_setup_struct>();
    auto counts = std::make_unique<zxxml_setup_count_struct>();
    std::string text = read_data("setup_unit.xml");
    ASSERT_EQ(xmldoc::parse_setup(text.data(), static_cast<int>(text.size()), setup.get(), counts.get()), 0);
    std::snprintf(setup->SenSet_Entry_Name[0], sizeof setup->SenSet_Entry_Name[0], "%s", "A & B <x>");
    auto send = [&](int m) { return zxxml_send_setup(m, setup.get(), counts.get()); };
    const std::string want = reference_send(send);
    EXPECT_EQ(torture_send(send), want);
}

TEST_F(AllocUpload, TextUploadFailsWithCode5AndSendsNothingOrSendsWhole) {
    const std::string doc = read_data("setup_unit.xml");
    auto send = [&](int m) { return zxxml_send_setup_xml(m, doc.c_str(), static_cast<int>(doc.size())); };
    const std::string want = reference_send(send);
    EXPECT_EQ(torture_send(send), want);
}

}  // namespace
}  // namespace kalax::test
