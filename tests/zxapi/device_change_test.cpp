// The setting changes as the unit receives them: each request text byte for
// byte (after the client's reduction, which puts the XML declaration in front
// and each <Idx> on a line of its own), the two-step indexed form, and the
// changes refused before anything is sent.
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include <unistd.h>

#include "kalax/zxxml.h"
#include "zxapi/device_fixture.h"
#include "zxapi/device_text.h"

namespace kalax::test {
namespace {

using zxapi::TIoXml;

constexpr char kDecl[] = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

// Runs one change to its answer; the unit's POST bodies afterwards.
class ChangeTest : public DeviceTest {
protected:
    std::vector<std::string> Run(TIoXml &d, const std::function<int()> &change) {
        const int rc = change();
        EXPECT_EQ(rc, 0);
        if (rc == 0) {
            EXPECT_TRUE(Finish(d, events, 3)) << ::testing::PrintToString(events.lines);
        }
        return Posts();
    }
};

TEST_F(ChangeTest, OutputCurrentAndIndexedForms) {
    StartUnit();
    auto d = OpenDevice();
    auto posts = Run(*d, [&] { return d->SetOutput(152, 1); });
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0], std::string(kDecl) +
                            "<Root><BinaryOutSet><Entry><ID>152</ID><Value>1</Value></Entry></BinaryOutSet></Root>");
    EXPECT_EQ(events.lines, (std::vector<std::string>{"start", "connect:5", "sent:5"}));
    EXPECT_EQ(unit->output_value(1), 1);

    d->OldVerSupport = 1;
    events.lines.clear();
    unit->clear_requests();
    posts = Run(*d, [&] { return d->SetOutput(152, 0); });
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0],
              std::string(kDecl) +
                  "<Root><BinaryOutSet><Entry>\n<Idx>2</Idx><ID>152</ID><Value>0</Value></Entry></BinaryOutSet></Root>");
    EXPECT_EQ(unit->output_value(1), 0);
}

TEST_F(ChangeTest, SingleSensorFormWhateverTheDialect) {
    StartUnit();
    auto d = OpenDevice(1);  // the index of ID 65 is always 1, no fetch
    auto posts = Run(*d, [&] { return d->SetRange(65, -10.0f, 35.5f); });
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0], std::string(kDecl) +
                            "<Root><TempRangeSet><Entry>\n<Idx>1</Idx><ID>65</ID><Min>-10.0</Min><Max>35.5</Max>"
                            "</Entry></TempRangeSet></Root>");
    EXPECT_EQ(unit->count("SenSet"), 3);
    EXPECT_EQ(unit->requests().size(), 1u) << "no values fetch for the single sensor";
    EXPECT_DOUBLE_EQ(unit->sensor_max(0), 35.5);

    events.lines.clear();
    unit->clear_requests();
    posts = Run(*d, [&] { return d->SetSensName(65, "Rack"); });
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0], std::string(kDecl) +
                            "<Root><TempRangeSet><Entry>\n<Idx>1</Idx><ID>65</ID><Name>Rack</Name>"
                            "</Entry></TempRangeSet></Root>");
    EXPECT_EQ(unit->sensor_name(0), "Rack");
}

TEST_F(ChangeTest, NameOfAnInputCurrentAndIndexedForms) {
    StartUnit();
    sim::UnitConfig config;
    auto d = OpenDevice();
    auto posts = Run(*d, [&] { return d->SetSensName(5, "Door"); });
    // The unit has 4 inputs: ID 5 changes nothing there, the text is what counts.
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0], std::string(kDecl) +
                            "<Root><BinaryInSet><Entry><ID>5</ID><Name>Door</Name></Entry></BinaryInSet></Root>");
    EXPECT_EQ(events.lines.back(), "sent:7");

    d->OldVerSupport = 1;
    events.lines.clear();
    unit->clear_requests();
    posts = Run(*d, [&] { return d->SetSensName(5, "Door"); });
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0], std::string(kDecl) +
                            "<Root><BinaryInSet><Entry>\n<Idx>5</Idx><ID>5</ID><Name>Door</Name></Entry>"
                            "</BinaryInSet></Root>");
}

TEST_F(ChangeTest, CalibrationAndRangeOfASensor) {
    StartUnit();
    auto d = OpenDevice();
    auto posts = Run(*d, [&] { return d->SetCalib(12, -0.5f); });
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0],
              std::string(kDecl) + "<Root><SenSet><Entry><ID>12</ID><Calib>-0.5</Calib></Entry></SenSet></Root>");
    EXPECT_EQ(events.lines.back(), "sent:8");

    events.lines.clear();
    unit->clear_requests();
    posts = Run(*d, [&] { return d->SetRange(216, 0.04f, 1e6f); });
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0], std::string(kDecl) +
                            "<Root><SenSet><Entry><ID>216</ID><Min>0.0</Min><Max>1000000.0</Max></Entry></SenSet></Root>");
    EXPECT_DOUBLE_EQ(unit->sensor_max(1), 1e6);
}

// The name arrives as the caller wrote it: markup is escaped on the way.
TEST_F(ChangeTest, NameWithMarkupArrivesIntact) {
    StartUnit();
    auto d = OpenDevice();
    auto posts = Run(*d, [&] { return d->SetSensName(216, "A&B<C"); });
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0], std::string(kDecl) +
                            "<Root><SenSet><Entry><ID>216</ID><Name>A&amp;B&lt;C</Name></Entry></SenSet></Root>");
    EXPECT_EQ(unit->sensor_name(1), "A&B<C");

    events.lines.clear();
    Run(*d, [&] { return d->SetSensName(2, "x>y \xE2\x82\xAC"); });
    EXPECT_EQ(unit->field("BinaryInSet_Entry_Name", 1), "x>y \xE2\x82\xAC");
}

// The indexed form finds a sensor's index in a values document fetched for it.
TEST_F(ChangeTest, IndexedRangeLooksTheIndexUp) {
    sim::UnitConfig config;
    config.sensor_id_base = 213;  // IDs 213, 214, 215, ...: 215 is the third entry
    config.sensors = 5;
    StartUnit(config);
    auto d = OpenDevice(1);
    ASSERT_EQ(d->SetRange(215, 0.0f, 50.0f), 0);
    EXPECT_EQ(d->Status, zxapi::IOXML_STATUS_SET_RANGE);
    ASSERT_TRUE(Finish(*d, events, 3)) << ::testing::PrintToString(events.lines);
    const auto requests = unit->requests();
    ASSERT_EQ(requests.size(), 2u);
    // The fetch goes without credentials, the change through the object's module.
    EXPECT_EQ(requests[0].rfind("GET /values.xml HTTP/1.0\r\n", 0), 0u) << requests[0];
    EXPECT_EQ(BodyOf(requests[1]), std::string(kDecl) +
                                       "<Root><SenSet><Entry>\n<Idx>3</Idx><ID>215</ID><Min>0.0</Min><Max>50.0</Max>"
                                       "</Entry></SenSet></Root>");
    EXPECT_EQ(events.lines, (std::vector<std::string>{"start", "connect:6", "sent:6"}));
    EXPECT_DOUBLE_EQ(unit->sensor_max(2), 50.0);

    // The same for a name and a calibration, and the temporary modules end.
    events.lines.clear();
    ASSERT_EQ(d->SetSensName(216, "A&B"), 0);
    ASSERT_TRUE(Finish(*d, events, 3));
    events.lines.clear();
    ASSERT_EQ(d->SetCalib(217, 1.25f), 0);
    ASSERT_TRUE(Finish(*d, events, 3));
    const auto posts = Posts();
    ASSERT_EQ(posts.size(), 3u);
    EXPECT_EQ(posts[1], std::string(kDecl) +
                            "<Root><SenSet><Entry>\n<Idx>4</Idx><ID>216</ID><Name>A&amp;B</Name></Entry></SenSet></Root>");
    EXPECT_EQ(unit->sensor_name(3), "A&B");
    EXPECT_EQ(posts[2], std::string(kDecl) +
                            "<Root><SenSet><Entry>\n<Idx>5</Idx><ID>217</ID><Calib>1.2</Calib></Entry></SenSet></Root>");
    PumpFor(100);
    int open_modules = 0;
    for (int m = 1; m < ZXXML_ID_COUNT_MAX; ++m) open_modules += zxxml_type_of(m) >= 0 ? 1 : 0;
    EXPECT_EQ(open_modules, 1) << "a temporary module was left open";
}

TEST_F(ChangeTest, IndexedChangeOfAnUnknownSensorSendsNothing) {
    sim::UnitConfig config;
    config.sensor_id_base = 213;
    StartUnit(config);
    auto d = OpenDevice(1);
    ASSERT_EQ(d->SetRange(300, 0.0f, 50.0f), 0);
    ASSERT_TRUE(Finish(*d, events, 2));
    EXPECT_EQ(events.lines, (std::vector<std::string>{"start", "error:6:16"}));
    EXPECT_EQ(events.last_error.SdkDesc, "Invalid sensor ID");
    EXPECT_TRUE(Posts().empty());
    EXPECT_EQ(unit->requests().size(), 1u);
}

// A fetch that fails knows no index: its error is reported, nothing is sent.
TEST_F(ChangeTest, IndexedChangeReportsAFailedFetch) {
    StartUnit();
    auto d = OpenDevice(1);
    unit->set_fault("/values.xml", sim::Fault::with_status(404));
    ASSERT_EQ(d->SetCalib(216, 1.0f), 0);
    ASSERT_TRUE(Finish(*d, events, 2));
    EXPECT_EQ(events.lines, (std::vector<std::string>{"start", "error:8:51"}));
    EXPECT_TRUE(Posts().empty());
    EXPECT_EQ(d->Status, zxapi::IOXML_STATUS_OPENED);
}

// A temporary module that cannot be opened fails the first step with the
// library-wide record, and the object is free again.
TEST_F(ChangeTest, IndexedChangeWhoseFetchCannotStart) {
    StartUnit();
    auto d = OpenDevice(1);
    d->IP = std::string(120, '1');  // the open module keeps its address
    EXPECT_EQ(d->SetRange(216, 1.0f, 2.0f), -2);
    EXPECT_EQ(d->Status, zxapi::IOXML_STATUS_OPENED);
    EXPECT_EQ(d->LastError.code, 13);
    EXPECT_EQ(events.lines, (std::vector<std::string>{"error:6:13"}));
    EXPECT_EQ(unit->request_count(), 0u);
    // The object still works.
    events.lines.clear();
    d->OldVerSupport = 0;
    EXPECT_EQ(d->SetRange(216, 1.0f, 2.0f), 0);
    EXPECT_TRUE(Finish(*d, events, 3));
}

TEST_F(ChangeTest, RefusedChangesSendNothing) {
    StartUnit();
    auto d = OpenDevice();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        std::function<int()> change;
        int code;
        std::string event;
    };
    const std::vector<Case> cases = {
        {[&] { return d->SetRange(216, nan, 1.0f); }, 72, "error:6:72"},
        {[&] { return d->SetRange(65, 0.0f, inf); }, 72, "error:6:72"},
        {[&] { return d->SetCalib(216, -inf); }, 72, "error:8:72"},
        {[&] { return d->SetSensName(216, "bad\xC3"); }, 45, "error:7:45"},          // cut sequence
        {[&] { return d->SetSensName(216, "\xC0\xAF"); }, 45, "error:7:45"},         // overlong "/"
        {[&] { return d->SetSensName(216, "\xED\xA0\x80"); }, 45, "error:7:45"},     // surrogate
        {[&] { return d->SetSensName(5, "line\nbreak"); }, 45, "error:7:45"},        // control
        {[&] { return d->SetSensName(5, "c1\xC2\x85"); }, 45, "error:7:45"},         // C1 control
        {[&] { return d->SetSensName(5, nullptr); }, 85, "error:7:85"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        events.lines.clear();
        EXPECT_EQ(cases[i].change(), -3) << i;
        EXPECT_EQ(d->LastError.code, cases[i].code) << i;
        EXPECT_EQ(d->Status, zxapi::IOXML_STATUS_OPENED) << i;
        EXPECT_EQ(events.lines, std::vector<std::string>{cases[i].event}) << i;
    }
    EXPECT_STREQ(d->LastError.text, "Assert: Pointer is NULL");
    // Indexed outputs are numbered from 151: a lower ID has no index.
    d->OldVerSupport = 1;
    events.lines.clear();
    EXPECT_EQ(d->SetOutput(150, 1), -3);
    EXPECT_EQ(d->LastError.code, 4);
    EXPECT_EQ(events.lines, std::vector<std::string>{"error:5:4"});
    PumpFor(50);
    EXPECT_EQ(unit->request_count(), 0u);
}

// Texts that outgrow any fixed buffer: a ten-digit ID, the largest float and a
// long name are sent whole.
TEST_F(ChangeTest, LongTextsAreSentWhole) {
    StartUnit();
    auto d = OpenDevice(1);
    auto posts = Run(*d, [&] { return d->SetOutput(4294967295u, 4294967295u); });
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0], std::string(kDecl) +
                            "<Root><BinaryOutSet><Entry>\n<Idx>4294967145</Idx><ID>4294967295</ID>"
                            "<Value>4294967295</Value></Entry></BinaryOutSet></Root>");
    d->OldVerSupport = 0;
    events.lines.clear();
    posts = Run(*d, [&] { return d->SetRange(65, -std::numeric_limits<float>::max(), 1e-30f); });
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_NE(posts[1].find("<Min>-340282346638528859811704183484516925440.0</Min><Max>0.0</Max>"),
              std::string::npos)
        << posts[1];
    const std::string name(600, 'n');
    events.lines.clear();
    posts = Run(*d, [&] { return d->SetSensName(1, name.c_str()); });
    ASSERT_EQ(posts.size(), 3u);
    EXPECT_NE(posts[2].find("<Name>" + name + "</Name>"), std::string::npos);
}

// One decimal, rounded as printf rounds, whatever the locale.
TEST(DeviceNumbers, TenthsMatchPrintfInTheCLocale) {
    const float values[] = {0.0f,   -0.0f,  0.05f,  0.15f,  0.25f,  0.35f, -0.05f,  -0.25f, 2.5f,  35.5f,
                            -10.0f, 1e-30f, 99.95f, 1e20f,  -1e20f, 3.4e38f, 123.456f, 0.95f, 1.45f, 7.75f};
    for (const float v : values) {
        std::string ours;
        ASSERT_TRUE(zxapi::detail::AppendTenths(ours, v));
        char printed[64];
        std::snprintf(printed, sizeof printed, "%.1f", static_cast<double>(v));
        EXPECT_EQ(ours, printed) << v;
    }
    std::string none;
    EXPECT_FALSE(zxapi::detail::AppendTenths(none, std::numeric_limits<float>::quiet_NaN()));
    EXPECT_FALSE(zxapi::detail::AppendTenths(none, -std::numeric_limits<float>::infinity()));
    EXPECT_TRUE(none.empty());
}

// An application under a German locale: printf writes a decimal comma there,
// the unit must still get a point. When the system has not installed the
// locale it is generated (localedef from libc-bin, the sources of the package
// locales) once into a folder that later runs reuse.
bool UseGermanNumbers() {
    if (std::setlocale(LC_ALL, "de_DE.UTF-8")) return true;
    // glibc remembers a locale it failed to find: try it only once it exists.
    const std::string kept = "/tmp/kalax-test-locales";
    if (access((kept + "/de_DE.UTF-8/LC_NUMERIC").c_str(), R_OK) != 0) {
        char made[] = "/tmp/kalax-test-locales.XXXXXX";
        if (!mkdtemp(made)) return false;
        const std::string cmd = std::string("localedef -i de_DE -f UTF-8 ") + made + "/de_DE.UTF-8 >/dev/null 2>&1";
        // A run that got there first wins the rename; ours goes.
        if (std::system(cmd.c_str()) != 0 || std::rename(made, kept.c_str()) != 0)
            (void)std::system(("rm -rf " + std::string(made)).c_str());
    }
    setenv("LOCPATH", kept.c_str(), 1);
    return std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
}

TEST_F(ChangeTest, GermanLocaleStillSendsADecimalPoint) {
    ASSERT_TRUE(UseGermanNumbers()) << "de_DE.UTF-8 neither installed nor generated (package locales)";
    char printed[16];
    std::snprintf(printed, sizeof printed, "%.1f", 35.5);
    ASSERT_STREQ(printed, "35,5") << "the locale is not in effect";
    StartUnit();
    auto d = OpenDevice();
    const auto posts = Run(*d, [&] { return d->SetRange(65, -10.0f, 35.5f); });
    std::setlocale(LC_ALL, "C");
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_NE(posts[0].find("<Min>-10.0</Min><Max>35.5</Max>"), std::string::npos) << posts[0];
}

}  // namespace
}  // namespace kalax::test
