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
#include "xmldoc/doc_util.h"
#include "sdk/runtime/result_codes.h"
#include "sdk/xml/client.h"
#include "sdk/xmldoc/parser.h"
#include "support/xml_unit.h"

namespace kalax::test {
namespace {

using doc_test::ReadData;

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
        for (const std::string &r : requests) EXPECT_TRUE(r == requests.back()) << "uploads differ";
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
    std::string text = ReadData("setup_unit.xml");
    ASSERT_EQ(xmldoc::parse_setup(text.data(), static_cast<int>(text.size()), setup.get(), counts.get()), 0);
    std::snprintf(setup->SenSet_Entry_Name[0], sizeof setup->SenSet_Entry_Name[0], "%s", "A & B <x>");
    auto send = [&](int m) { return zxxml_send_setup(m, setup.get(), counts.get()); };
    const std::string want = reference_send(send);
    EXPECT_TRUE(torture_send(send) == want) << "the upload differs from one with all its memory";
}

TEST_F(AllocUpload, TextUploadFailsWithCode5AndSendsNothingOrSendsWhole) {
    const std::string doc = ReadData("setup_unit.xml");
    auto send = [&](int m) { return zxxml_send_setup_xml(m, doc.c_str(), static_cast<int>(doc.size())); };
    const std::string want = reference_send(send);
    EXPECT_TRUE(torture_send(send) == want) << "the upload differs from one with all its memory";
}


// A group takes its members and their uploads on the caller's thread too.
TEST_F(AllocUpload, GroupMemberAndGroupUploadFailWithCode5OrSucceedWhole) {
    sim::Unit a{sim::UnitConfig{}}, b{sim::UnitConfig{}};
    ASSERT_TRUE(a.start(0));
    ASSERT_TRUE(b.start(0));
    const int g = zxxml_open_many(&seen);
    ASSERT_EQ(zxxml_wait_finish(g, 0, 5), 0);
    const zxxml_settings_struct settings = recording_settings();
    long held = 0;
    alloc::torture([&] { return zxxml_add_module(g, "127.0.0.1", a.port(), &settings); },
                   [&](int rc, bool failed) {
                       if (failed && rc == -1) {
                           EXPECT_EQ(xml_code(g), kMEMORY);
                           EXPECT_EQ(zxxml_count_modules(g), 0);
                           EXPECT_EQ(alloc::outstanding(), held);
                           return;
                       }
                       EXPECT_EQ(rc, 0);
                   },
                   [&] { held = alloc::outstanding(); },
                   false);  // the member the clean run adds stays with the group
    ASSERT_EQ(zxxml_count_modules(g), 1);
    ASSERT_EQ(zxxml_add_module(g, "127.0.0.1", b.port(), &settings), 1);

    const std::string doc = ReadData("setup_unit.xml");
    size_t sent = 0;
    alloc::torture([&] { return zxxml_send_setup_xml_many(g, doc.c_str(), static_cast<int>(doc.size())); },
                   [&](int rc, bool failed) {
                       if (failed && rc == -1) {
                           EXPECT_EQ(xml_code(g), kMEMORY);
                           return;
                       }
                       EXPECT_EQ(rc, 0);
                       ++sent;
                       EXPECT_EQ(zxxml_wait_finish(g, 7, 15), 0);
                   },
                   [&] { xml::client().rt.set_error(g, 0); });
    EXPECT_GE(sent, 1u);
    EXPECT_EQ(a.requests().size(), sent) << "a failed group upload was sent";
    EXPECT_EQ(b.requests().size(), sent) << "a failed group upload was sent";
    EXPECT_EQ(zxxml_close(g), 0);
    a.stop();
    b.stop();
}

}  // namespace
}  // namespace kalax::test
