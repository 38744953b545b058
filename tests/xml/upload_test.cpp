// Changing a unit: uploads of records and texts, the SNMP manager, credentials.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "sdk/runtime/b64.h"
#include "sdk/xmldoc/reduce.h"
#include "support/xml_unit.h"

using namespace kalax;
using namespace kalax::test;

namespace {

// Splits a recorded POST into its head and body.
struct Post {
    std::string head, body;
};
Post split(const std::string &request) {
    const size_t end = request.find("\r\n\r\n");
    if (end == std::string::npos) return {request, ""};
    return {request.substr(0, end + 4), request.substr(end + 4)};
}

std::string head_for(const std::string &body, const std::string &auth = "") {
    return "POST /setup.xml HTTP/1.0\r\n" + auth + "Content-Type: text/xml\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n";
}

std::string basic(const std::string &user, const std::string &password) {
    const std::string joined = user + ":" + password;
    char out[400] = {};
    b64_encode(joined.data(), joined.size(), out, sizeof out - 1);
    return std::string("Authorization: Basic ") + out + "\r\n";
}

// What the reduction makes of `doc`, as the client sends it.
std::string reduced(const std::string &doc) {
    std::string buffer = doc;
    buffer.resize(doc.size() + 1024, '\0');
    EXPECT_EQ(xmldoc::prepare_setup(buffer.data(), buffer.size()), 0);
    return std::string(buffer.c_str());
}

}  // namespace

class XmlUpload : public XmlUnit {
protected:
    int running_unit(sim::UnitConfig config = {}, zxxml_settings_struct settings = recording_settings()) {
        start_unit(std::move(config));
        return open_unit(settings);
    }
    std::string last_request() { return unit->requests().back(); }
};

TEST_F(XmlUpload, TextDocumentIsReducedAndPostedWithoutCredentials) {
    const int m = running_unit();
    const std::string doc =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>\n<Agent><Version>9</Version></Agent>\n"
        "<BinaryOutSet>\n<Entry>\n<ID>151</ID>\n<Value>1</Value>\n<Type>0</Type>\n<Idx>1</Idx>\n</Entry>\n"
        "</BinaryOutSet>\n</Root>";
    ASSERT_EQ(zxxml_send_setup_xml(m, doc.c_str(), static_cast<int>(doc.size())), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 7, 10), 0);
    ASSERT_TRUE(seen.events.wait_for("send"));
    const Post post = split(last_request());
    const std::string body =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>\n\n<BinaryOutSet>\n<Entry>\n<Idx>1</Idx>\n<ID>151</ID>\n"
        "<Value>1</Value>\n</Entry>\n</BinaryOutSet>\n</Root>";
    EXPECT_EQ(post.body, reduced(doc));
    EXPECT_EQ(post.head, head_for(post.body));
    EXPECT_EQ(unit->output_value(0), 1) << "the unit applied the change";
    EXPECT_EQ(zxxml_finish(m, 4), 0) << "the reply is the new setup";
    (void)body;
}

TEST_F(XmlUpload, SetCredentialsGoOnThePostOnly) {
    sim::UnitConfig config;
    config.user = "admin";
    config.password = "pw";
    zxxml_settings_struct s = recording_settings();
    std::strcpy(s.set_user, "admin");
    std::strcpy(s.set_password, "pw");
    const int m = running_unit(config, s);
    const std::string doc = "<?xml version=\"1.0\"?><Root><SenSet><Entry><Idx>1</Idx><Min>5.0</Min></Entry></SenSet></Root>";
    ASSERT_EQ(zxxml_send_setup_xml(m, doc.c_str(), static_cast<int>(doc.size())), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 7, 10), 0);
    ASSERT_TRUE(seen.events.wait_for("send"));
    const Post post = split(last_request());
    EXPECT_EQ(post.head, head_for(post.body, basic("admin", "pw")));
    EXPECT_DOUBLE_EQ(unit->sensor_min(0), 5.0);
}

TEST_F(XmlUpload, WrongCredentialsFailTheUploadWithCode48) {
    sim::UnitConfig config;
    config.user = "admin";
    config.password = "pw";
    const int m = running_unit(config);
    ASSERT_EQ(zxxml_authenticate_set(m, "admin", "wrong"), 0);
    const std::string doc = "<?xml version=\"1.0\"?><Root><Global><Units>C</Units></Global></Root>";
    ASSERT_EQ(zxxml_send_setup_xml(m, doc.c_str(), static_cast<int>(doc.size())), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 7, 10), 0);
    EXPECT_TRUE(seen.events.wait_for("send:null"));
    EXPECT_EQ(xml_code(m), 48);
    EXPECT_NE(last_request().find(basic("admin", "wrong")), std::string::npos);
}

TEST_F(XmlUpload, EditedRecordRoundTripsThroughTheUnit) {
    const int m = running_unit();
    ASSERT_EQ(zxxml_get_setup(m), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 4, 10), 0);
    zxxml_setup_struct setup;
    zxxml_setup_count_struct counts;
    ASSERT_EQ(zxxml_get_setup_cache_copy(m, &setup, &counts), 0);
    std::strcpy(setup.SenSet_Entry_Name[1], "Rack 7 door");
    std::strcpy(setup.BinaryOutSet_Entry_Value[1], "1");
    std::strcpy(setup.SenSet_Entry_Max[0], "31.5");
    ASSERT_EQ(zxxml_send_setup(m, &setup, &counts), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 7, 10), 0);
    ASSERT_TRUE(seen.events.wait_for("send"));
    zxxml_setup_struct *answer;
    zxxml_setup_count_struct *answer_counts;
    ASSERT_EQ(zxxml_get_setup_cache(m, &answer, &answer_counts), 0);
    EXPECT_STREQ(answer->BinaryOutSet_Entry_Value[1], "1");
    EXPECT_STREQ(answer->SenSet_Entry_Max[0], "31.5");
    EXPECT_STREQ(answer->SenSet_Entry_Name[1], "Rack 7 door");
    EXPECT_EQ(unit->sensor_name(1), "Rack 7 door");
    const Post post = split(last_request());
    EXPECT_EQ(post.body.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>", 0), 0u);
    EXPECT_EQ(post.head, head_for(post.body));
}

namespace {
// Fetches the setup again and gives the name of sensor `j` as the unit now has it.
std::string XmlUploadSensorNameReadBack(int m, int j) {
    if (zxxml_get_setup(m) != 0 || zxxml_wait_finish(m, 4, 10) != 0) return "<no setup>";
    zxxml_setup_struct *setup;
    zxxml_setup_count_struct *counts;
    if (zxxml_get_setup_cache(m, &setup, &counts) != 0) return "<no cache>";
    return setup->SenSet_Entry_Name[j];
}
}  // namespace

TEST_F(XmlUpload, MarkupInARecordTextArrivesAsWritten) {
    const int m = running_unit();
    ASSERT_EQ(zxxml_get_setup(m), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 4, 10), 0);
    zxxml_setup_struct setup;
    zxxml_setup_count_struct counts;
    ASSERT_EQ(zxxml_get_setup_cache_copy(m, &setup, &counts), 0);
    std::strcpy(setup.SenSet_Entry_Name[1], "A & B <x>");
    ASSERT_EQ(zxxml_send_setup(m, &setup, &counts), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 7, 10), 0);
    ASSERT_TRUE(seen.events.wait_for("send"));
    const Post post = split(last_request());
    EXPECT_EQ(post.head, head_for(post.body));
    EXPECT_NE(post.body.find("<Name>A &amp; B &lt;x&gt;</Name>"), std::string::npos);
    EXPECT_EQ(unit->sensor_name(1), "A & B <x>");
    EXPECT_EQ(XmlUploadSensorNameReadBack(m, 1), "A & B <x>");
}

TEST_F(XmlUpload, EscapedTextInACallersDocumentArrivesAsWritten) {
    const int m = running_unit();
    const std::string doc =
        "<?xml version=\"1.0\"?><Root><SenSet><Entry><Idx>1</Idx><Name>A &amp; B &lt;x&gt;</Name></Entry>"
        "</SenSet></Root>";
    ASSERT_EQ(zxxml_send_setup_xml(m, doc.c_str(), static_cast<int>(doc.size())), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 7, 10), 0);
    ASSERT_TRUE(seen.events.wait_for("send"));
    EXPECT_NE(split(last_request()).body.find("<Name>A &amp; B &lt;x&gt;</Name>"), std::string::npos);
    EXPECT_EQ(XmlUploadSensorNameReadBack(m, 0), "A & B <x>");
}

TEST_F(XmlUpload, BrokenDocumentsAndTextsSendNothing) {
    const int m = running_unit();
    // Not well-formed before the root ends: cut, a raw "&", a missing end tag.
    for (const char *doc : {"<?xml version=\"1.0\"?><Root><SenSet><Entry><Idx>1</Idx><Name>Rack",
                            "<Root><SenSet><Entry><Idx>1</Idx><Name>A & B</Name></Entry></SenSet></Root>",
                            "<Root><SenSet><Entry><Idx>1</Idx><Name>A</Name></SenSet></Root>"}) {
        EXPECT_EQ(zxxml_send_setup_xml(m, doc, static_cast<int>(std::strlen(doc))), -1) << doc;
        EXPECT_EQ(xml_code(m), 45) << doc;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(unit->request_count(), 0u) << "the unit was sent nothing";
    // A record text that is not UTF-8 is refused, not cut.
    ASSERT_EQ(zxxml_get_setup(m), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 4, 10), 0);
    zxxml_setup_struct setup;
    zxxml_setup_count_struct counts;
    ASSERT_EQ(zxxml_get_setup_cache_copy(m, &setup, &counts), 0);
    unit->clear_requests();
    std::strcpy(setup.SenSet_Entry_Name[1], "Rack \xC3 door");
    EXPECT_EQ(zxxml_send_setup(m, &setup, &counts), -1);
    EXPECT_EQ(xml_code(m), 45);
    EXPECT_EQ(zxxml_finish(m, 7), 0) << "nothing is pending";
    // A later request goes out alone.
    ASSERT_EQ(zxxml_get_values(m), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 2, 10), 0);
    ASSERT_TRUE(unit->wait_for_requests(1, 5000));
    const auto requests = unit->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].rfind("GET /values.xml", 0), 0u);
    EXPECT_NE(unit->sensor_name(1), "Rack \xC3 door");
}

TEST_F(XmlUpload, WrittenDocumentDropsTheExcludedElements) {
    const int m = running_unit();
    ASSERT_EQ(zxxml_get_setup(m), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 4, 10), 0);
    zxxml_setup_struct setup;
    zxxml_setup_count_struct counts;
    ASSERT_EQ(zxxml_get_setup_cache_copy(m, &setup, &counts), 0);
    ASSERT_EQ(zxxml_send_setup(m, &setup, &counts), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 7, 10), 0);
    const std::string body = split(last_request()).body;
    for (const char *gone : {"<Agent>", "<Type>", "<Submask>", "<Gateway>", "<HTTPport>", "<DHCP>", "<TimeShift>",
                             "<Date>", "<SysName>"}) {
        EXPECT_EQ(body.find(gone), std::string::npos) << gone;
    }
    EXPECT_NE(body.find("<SNMPPort>"), std::string::npos);
    EXPECT_EQ(body.find("\n\n"), std::string::npos) << "blank lines collapse";
}

TEST_F(XmlUpload, FailedBuildSendsNothingAndRestoresTheSendFlag) {
    const int m = running_unit();
    const std::string bad = "<?xml version=\"1.0\"?><Root><SenSet><Entry><Min>1</Min><Idx></Idx></Entry></SenSet></Root>";
    EXPECT_EQ(zxxml_send_setup_xml(m, bad.c_str(), static_cast<int>(bad.size())), -1);
    EXPECT_EQ(xml_code(m), 85) << "a trailing empty Idx";
    EXPECT_EQ(zxxml_send_setup(m, nullptr, nullptr), -1);
    EXPECT_EQ(xml_code(m), 85);
    EXPECT_EQ(zxxml_finish(m, 7), 0) << "the send flag is back to done";
    // The next request does not carry a stale upload with it.
    ASSERT_EQ(zxxml_get_values(m), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 2, 10), 0);
    EXPECT_TRUE(seen.events.wait_for("values"));
    EXPECT_EQ(unit->request_count(), 1u);
    EXPECT_EQ(unit->requests()[0].rfind("GET /values.xml", 0), 0u);
}

TEST_F(XmlUpload, RequestThatDoesNotFitTheSendBufferIsRefused) {
    const int m = running_unit();
    std::string doc = "<?xml version=\"1.0\"?><Root><SenSet>";
    for (int i = 0; i < 400; ++i) doc += "<Entry><Idx>" + std::to_string(i) + "</Idx><Name>" + std::string(40, 'n') + "</Name></Entry>";
    doc += "</SenSet></Root>";
    EXPECT_EQ(zxxml_send_setup_xml(m, doc.c_str(), static_cast<int>(doc.size())), -1);
    EXPECT_EQ(xml_code(m), 75);
    EXPECT_EQ(zxxml_finish(m, 7), 0);
}

TEST_F(XmlUpload, SnmpManagerDocumentNeverCarriesCredentials) {
    zxxml_settings_struct s = recording_settings();
    std::strcpy(s.set_user, "admin");
    const int m = running_unit({}, s);
    ASSERT_EQ(zxxml_set_snmp_manager(m, "192.0.2.5", 162), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 7, 10), 0);
    const std::string body =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>\n<SnmpTraps>\n<Entry>\n<Idx>1</Idx>\n"
        "<Community>orchid</Community>\n<IPaddr>192.0.2.5</IPaddr>\n<Port>162</Port>\n<E>1</E>\n</Entry>\n"
        "</SnmpTraps>\n</Root>";
    EXPECT_EQ(last_request(), head_for(body) + body);

    ASSERT_EQ(zxxml_get_snmp_manager(m), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 6, 10), 0);
    char address[16];
    int port = 0;
    ASSERT_EQ(zxxml_get_snmp_manager_cache(m, address, &port), 0);
    EXPECT_STREQ(address, "192.0.2.5");
    EXPECT_EQ(port, 162);
}

TEST_F(XmlUpload, SnmpManagerOfAUnitWithoutTrapDestinations) {
    sim::UnitConfig config;
    config.traps.clear();
    const int m = running_unit(config);
    char address[16];
    int port;
    EXPECT_EQ(zxxml_get_snmp_manager_cache(m, address, &port), -1);
    EXPECT_EQ(xml_code(m), 14);
    ASSERT_EQ(zxxml_get_snmp_manager(m), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 6, 10), 0);
    EXPECT_TRUE(seen.events.wait_for("setup")) << "the fetch reports like any setup fetch";
    EXPECT_EQ(zxxml_get_snmp_manager_cache(m, address, &port), -1);
    EXPECT_EQ(xml_code(m), 14);
}

TEST_F(XmlUpload, SnmpManagerOnAGroupIsRefused) {
    const int g = zxxml_open_many(nullptr);
    ASSERT_EQ(zxxml_wait_finish(g, 0, 5), 0);
    EXPECT_EQ(zxxml_set_snmp_manager(g, "192.0.2.5", 162), -1);
    EXPECT_EQ(xml_code(g), 2);
}

namespace {
int raise_first_max(zxxml_setup_struct *setup) {
    std::strcpy(setup->SenSet_Entry_Max[0], "44.0");
    return 0;
}
}  // namespace

TEST_F(XmlUpload, GroupUploadReachesEveryMemberWithItsOwnCredentials) {
    sim::UnitConfig ca, cb;
    ca.user = "alpha";
    ca.password = "1";
    cb.user = "beta";
    cb.password = "2";
    sim::Unit a(ca), b(cb);
    ASSERT_TRUE(a.start(0));
    ASSERT_TRUE(b.start(0));
    const int g = zxxml_open_many(&seen);
    ASSERT_EQ(zxxml_wait_finish(g, 0, 5), 0);
    const zxxml_callback_struct callbacks = recording_callbacks();
    zxxml_callback(g, &callbacks);
    zxxml_settings_struct sa{}, sb{};
    std::strcpy(sa.get_user, "alpha");
    std::strcpy(sa.get_password, "1");
    std::strcpy(sa.set_user, "alpha");
    std::strcpy(sa.set_password, "1");
    std::strcpy(sb.get_user, "beta");
    std::strcpy(sb.get_password, "2");
    std::strcpy(sb.set_user, "beta");
    std::strcpy(sb.set_password, "2");
    ASSERT_EQ(zxxml_add_module(g, "127.0.0.1", a.port(), &sa), 0);
    ASSERT_EQ(zxxml_add_module(g, "127.0.0.1", b.port(), &sb), 1);
    ASSERT_EQ(zxxml_get_setup(g), 0);
    ASSERT_EQ(zxxml_wait_finish(g, 4, 15), 0);
    ASSERT_TRUE(seen.events.wait_for("setup_many"));
    EXPECT_EQ(seen.events.count("setup"), 2u);

    ASSERT_EQ(zxxml_send_setup_many(g, raise_first_max), 0);
    ASSERT_EQ(zxxml_wait_finish(g, 7, 15), 0);
    ASSERT_TRUE(seen.events.wait_for("send", 2));
    EXPECT_NE(a.requests().back().find(basic("alpha", "1")), std::string::npos);
    EXPECT_NE(b.requests().back().find(basic("beta", "2")), std::string::npos);
    EXPECT_DOUBLE_EQ(a.sensor_max(0), 44.0);
    EXPECT_DOUBLE_EQ(b.sensor_max(0), 44.0);

    const std::string doc = "<?xml version=\"1.0\"?><Root><SenSet><Entry><Idx>1</Idx><Min>-3.5</Min></Entry></SenSet></Root>";
    ASSERT_EQ(zxxml_send_setup_xml_many(g, doc.c_str(), static_cast<int>(doc.size())), 0);
    ASSERT_EQ(zxxml_wait_finish(g, 7, 15), 0);
    ASSERT_TRUE(seen.events.wait_for("send", 4));
    EXPECT_DOUBLE_EQ(a.sensor_min(0), -3.5);
    EXPECT_DOUBLE_EQ(b.sensor_min(0), -3.5);
}

namespace {
int name_first_sensor(zxxml_setup_struct *setup) {
    std::strcpy(setup->SenSet_Entry_Name[0], "A & B <x>");
    return 0;
}
}  // namespace

TEST_F(XmlUpload, GroupUploadsCarryMarkupAndRefuseBrokenDocuments) {
    sim::Unit a, b;
    ASSERT_TRUE(a.start(0));
    ASSERT_TRUE(b.start(0));
    const int g = zxxml_open_many(&seen);
    ASSERT_EQ(zxxml_wait_finish(g, 0, 5), 0);
    const zxxml_callback_struct callbacks = recording_callbacks();
    zxxml_callback(g, &callbacks);
    zxxml_settings_struct settings{};
    ASSERT_EQ(zxxml_add_module(g, "127.0.0.1", a.port(), &settings), 0);
    ASSERT_EQ(zxxml_add_module(g, "127.0.0.1", b.port(), &settings), 1);
    ASSERT_EQ(zxxml_get_setup(g), 0);
    ASSERT_EQ(zxxml_wait_finish(g, 4, 15), 0);

    ASSERT_EQ(zxxml_send_setup_many(g, name_first_sensor), 0);
    ASSERT_EQ(zxxml_wait_finish(g, 7, 15), 0);
    ASSERT_TRUE(seen.events.wait_for("send", 2));
    EXPECT_EQ(a.sensor_name(0), "A & B <x>");
    EXPECT_EQ(b.sensor_name(0), "A & B <x>");

    const std::string doc =
        "<?xml version=\"1.0\"?><Root><SenSet><Entry><Idx>2</Idx><Name>C &lt;&amp;&gt; D</Name></Entry>"
        "</SenSet></Root>";
    ASSERT_EQ(zxxml_send_setup_xml_many(g, doc.c_str(), static_cast<int>(doc.size())), 0);
    ASSERT_EQ(zxxml_wait_finish(g, 7, 15), 0);
    ASSERT_TRUE(seen.events.wait_for("send", 4));
    EXPECT_EQ(a.sensor_name(1), "C <&> D");
    EXPECT_EQ(b.sensor_name(1), "C <&> D");
    // What the members' next setup fetch reads back.
    ASSERT_EQ(zxxml_get_setup(g), 0);
    ASSERT_EQ(zxxml_wait_finish(g, 4, 15), 0);
    for (int i = 0; i < 2; ++i) {
        zxxml_setup_struct *setup;
        zxxml_setup_count_struct *counts;
        ASSERT_EQ(zxxml_get_setup_cache_many(g, i, &setup, &counts), 0);
        EXPECT_STREQ(setup->SenSet_Entry_Name[0], "A & B <x>");
        EXPECT_STREQ(setup->SenSet_Entry_Name[1], "C <&> D");
    }

    a.clear_requests();
    b.clear_requests();
    const std::string cut = doc.substr(0, doc.size() - 20);
    EXPECT_EQ(zxxml_send_setup_xml_many(g, cut.c_str(), static_cast<int>(cut.size())), -1);
    EXPECT_EQ(xml_code(g), 45);
    EXPECT_EQ(zxxml_finish(g, 7), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(a.request_count(), 0u);
    EXPECT_EQ(b.request_count(), 0u);
}
