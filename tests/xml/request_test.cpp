// The request cycle against a simulated unit: what goes on the wire, which
// callbacks run, what lands in the slot, and how failures are reported.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "support/xml_unit.h"

using namespace kalax;
using namespace kalax::test;

class XmlRequest : public XmlUnit {};

TEST_F(XmlRequest, ValuesFetchCallsBackWithRecordsAndFillsTheCache) {
    start_unit();
    const int m = open_unit();
    ASSERT_EQ(zxxml_get_values(m), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 2, 10), 0);
    ASSERT_TRUE(seen.events.wait_for("values"));
    EXPECT_EQ(seen.events.count("connect"), 1u);
    EXPECT_EQ(seen.events.count("values:null"), 0u);
    EXPECT_EQ(seen.device_name, "Serverraum S\xC3\xBC" "d");
    EXPECT_EQ(seen.last_index, -1);
    EXPECT_EQ(seen.inputs, 4);
    EXPECT_EQ(seen.sensors, 3);

    const auto requests = unit->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], "GET /values.xml HTTP/1.0\r\n\r\n");

    zxxml_values_struct *values = nullptr;
    zxxml_values_count_struct *counts = nullptr;
    ASSERT_EQ(zxxml_get_values_cache(m, &values, &counts), 0);
    EXPECT_EQ(counts->BinaryOutSet, 2);
    EXPECT_STREQ(values->Agent_Model, "21");
    EXPECT_GT(values->time, 0) << "stamped with the time of the request";
    char address[16];
    int port = 0;
    ASSERT_EQ(zxxml_get_module(m, address, &port), 0);
    EXPECT_STREQ(address, "127.0.0.1");
}

TEST_F(XmlRequest, HostNamesAreResolvedToTheDottedAddress) {
    start_unit();
    const int m = open_unit(recording_settings(), "localhost");
    ASSERT_EQ(zxxml_get_values(m), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 2, 10), 0);
    char address[16];
    int port = 0;
    ASSERT_EQ(zxxml_get_module(m, address, &port), 0);
    EXPECT_STREQ(address, "127.0.0.1");
    EXPECT_TRUE(seen.events.wait_for("values"));
}

TEST_F(XmlRequest, SetupFetchCarriesGetCredentialsOnly) {
    sim::UnitConfig config;
    config.user = "admin";
    config.password = "s3cret";
    start_unit(config);
    zxxml_settings_struct s = recording_settings();
    std::strcpy(s.get_user, "admin");
    std::strcpy(s.get_password, "s3cret");
    std::strcpy(s.set_user, "other");
    const int m = open_unit(s);
    ASSERT_EQ(zxxml_get_values(m), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 2, 10), 0);
    ASSERT_EQ(zxxml_get_setup(m), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 4, 10), 0);
    EXPECT_TRUE(seen.events.wait_for("setup"));  // a success is marked done before its callback runs
    const auto requests = unit->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], "GET /values.xml HTTP/1.0\r\n\r\n") << "values never carry credentials";
    EXPECT_EQ(requests[1], "GET /setup.xml HTTP/1.0\r\nAuthorization: Basic YWRtaW46czNjcmV0\r\n\r\n");
}

TEST_F(XmlRequest, UnauthorisedSetupFailsWithCode48) {
    sim::UnitConfig config;
    config.user = "admin";
    config.password = "pw";
    start_unit(config);
    const int m = open_unit();
    ASSERT_EQ(zxxml_get_setup(m), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 4, 10), 0);
    ASSERT_TRUE(seen.events.wait_for("setup:null"));
    EXPECT_EQ(xml_code(m), 48);
    EXPECT_EQ(unit->requests().at(0), "GET /setup.xml HTTP/1.0\r\n\r\n");
    char *text = nullptr;
    int length = 0;
    EXPECT_EQ(zxxml_get_setup_xml(m, &text, &length), -1);
    EXPECT_EQ(xml_code(m), 48) << "a refused retrieval leaves the failure in place";
}

TEST_F(XmlRequest, RefusedConnectionReportsCode28ThroughBothCallbacks) {
    start_unit();
    const int m = open_unit(recording_settings(), "127.0.0.1", sim::refused_port());
    ASSERT_EQ(zxxml_get_values(m), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 2, 10), 0);
    ASSERT_TRUE(seen.events.wait_for("values:null"));
    EXPECT_EQ(seen.events.count("error:28"), 1u);
    EXPECT_EQ(seen.events.count("connect"), 0u);
    EXPECT_EQ(xml_code(m), 28);
    // Every retrieval of the slot is refused and the record keeps its code.
    char *text;
    int length;
    zxxml_values_struct *values;
    zxxml_values_count_struct *counts;
    EXPECT_EQ(zxxml_get_values_xml(m, &text, &length), -1);
    EXPECT_EQ(zxxml_get_values_cache(m, &values, &counts), -1);
    EXPECT_EQ(zxxml_get_setup_xml(m, &text, &length), -1);
    EXPECT_EQ(xml_code(m), 28);
}

TEST_F(XmlRequest, UnresolvableHostGivesCode89AndAnEmptyAddress) {
    const int m = zxxml_open("no-such-unit.invalid", 80, nullptr, nullptr);
    ASSERT_GT(m, 0);
    zxxml_settings_struct s = recording_settings();
    ASSERT_EQ(zxxml_wait_finish(m, 0, 5), 0);
    zxxml_callback(m, &s.callbacks);
    zxxml_close(m);
    const int m2 = zxxml_open("no-such-unit.invalid", 80, &s, &seen);
    ASSERT_EQ(zxxml_wait_finish(m2, 0, 5), 0);
    ASSERT_EQ(zxxml_get_values(m2), 0);
    ASSERT_EQ(zxxml_wait_finish(m2, 2, 15), 0);
    EXPECT_EQ(seen.events.count("error:89"), 1u);
    EXPECT_EQ(xml_code(m2), 89);
    char address[16] = "x";
    int port;
    ASSERT_EQ(zxxml_get_module(m2, address, &port), 0);
    EXPECT_STREQ(address, "");
}

TEST_F(XmlRequest, TrialConnectionOnOpen) {
    start_unit();
    zxxml_settings_struct s = recording_settings();
    s.connect_on_open = 1;
    open_unit(s);
    EXPECT_TRUE(seen.events.wait_for("connect"));
    EXPECT_TRUE(eventually([&] { return unit->connection_count() == 1; }));
    EXPECT_EQ(unit->request_count(), 0u);
}

namespace {
// Holds the worker inside its first values callback until the test lets go.
struct Held {
    Events events;
    std::mutex mutex;
    std::condition_variable cond;
    bool released = false;
};
void held_values(int, void *owner, int, zxxml_values_struct *, zxxml_values_count_struct *) {
    auto *h = static_cast<Held *>(owner);
    h->events.push("values");
    std::unique_lock<std::mutex> lock(h->mutex);
    h->cond.wait(lock, [&] { return h->released; });
}
void held_setup(int, void *owner, int, zxxml_setup_struct *, zxxml_setup_count_struct *) {
    static_cast<Held *>(owner)->events.push("setup");
}
// Closes the module before the state its callbacks use goes out of scope.
struct CloseOnExit {
    int module;
    ~CloseOnExit() { zxxml_close(module); }
};
}  // namespace

TEST_F(XmlRequest, OneActionPerWakeAndSurplusPostStoresCode21) {
    start_unit();
    Held held;
    zxxml_settings_struct s{};
    s.callbacks.on_values = held_values;
    s.callbacks.on_setup = held_setup;
    const int m = zxxml_open("127.0.0.1", unit->port(), &s, &held);
    CloseOnExit closer{m};
    ASSERT_EQ(zxxml_wait_finish(m, 0, 5), 0);
    ASSERT_EQ(zxxml_get_values(m), 0);
    ASSERT_TRUE(held.events.wait_for("values"));  // the worker now sits in the callback
    // Values and setup back to back while the worker cannot wake.
    ASSERT_EQ(zxxml_get_values(m), 0);
    EXPECT_EQ(zxxml_get_setup(m), 0) << "the call succeeds although its wake is lost";
    EXPECT_EQ(xml_code(m), 21);
    {
        std::lock_guard<std::mutex> lock(held.mutex);
        held.released = true;
    }
    held.cond.notify_all();
    ASSERT_TRUE(held.events.wait_for("values", 2));
    EXPECT_EQ(zxxml_wait_finish(m, 4, 2), -1) << "setup stays pending until the next post";
    EXPECT_EQ(held.events.count("setup"), 0u);
    ASSERT_EQ(zxxml_get_setup(m), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 4, 10), 0);
    EXPECT_TRUE(held.events.wait_for("setup"));
    EXPECT_EQ(unit->request_count(), 3u);
}

TEST_F(XmlRequest, RecordTimeIsStampedBeforeTheWaitEnds) {
    start_unit();
    Held held;
    zxxml_settings_struct s{};
    s.callbacks.on_values = held_values;
    const int m = zxxml_open("127.0.0.1", unit->port(), &s, &held);
    CloseOnExit closer{m};
    ASSERT_EQ(zxxml_wait_finish(m, 0, 5), 0);
    ASSERT_EQ(zxxml_get_values(m), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 2, 10), 0);
    zxxml_values_struct *values;
    zxxml_values_count_struct *counts;
    ASSERT_EQ(zxxml_get_values_cache(m, &values, &counts), 0);
    EXPECT_GT(values->time, 0) << "even while the callback has not finished";
    {
        std::lock_guard<std::mutex> lock(held.mutex);
        held.released = true;
    }
    held.cond.notify_all();
}

TEST_F(XmlRequest, LoadParsesGivenTextWithoutNetwork) {
    start_unit();
    const std::string doc = unit->values_xml();
    const int m = open_unit();
    EXPECT_EQ(zxxml_load_values(m, doc.c_str(), 20000), -1);
    EXPECT_EQ(xml_code(m), 81);
    ASSERT_EQ(zxxml_load_values(m, doc.c_str(), static_cast<int>(doc.size())), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 9, 5), 0);
    EXPECT_TRUE(seen.events.wait_for("values"));
    EXPECT_EQ(zxxml_finish(m, 2), 0) << "a load also marks the values done";
    EXPECT_EQ(unit->request_count(), 0u);
    char *text = nullptr;
    int length = 0;
    ASSERT_EQ(zxxml_get_values_xml(m, &text, &length), 0);
    EXPECT_EQ(length, static_cast<int>(doc.size()));

    ASSERT_EQ(zxxml_load_setup(m, "not xml at all", 0), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 10, 5), 0);
    EXPECT_TRUE(seen.events.wait_for("setup:null"));
    EXPECT_EQ(xml_code(m), 45);
}

TEST_F(XmlRequest, NamespacedRootsParseToTheSameRecords) {
    sim::UnitConfig config;
    config.namespaced_root = true;
    start_unit(config);
    const int m = open_unit();
    ASSERT_EQ(zxxml_get_values(m), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 2, 10), 0);
    ASSERT_TRUE(seen.events.wait_for("values"));
    EXPECT_EQ(seen.device_name, "Serverraum S\xC3\xBC" "d");
    char *text = nullptr;
    int length = 0;
    ASSERT_EQ(zxxml_get_values_xml(m, &text, &length), 0);
    EXPECT_NE(std::strstr(text, "<Root>"), nullptr) << "the root start tag is rewritten in the kept text";
    EXPECT_EQ(std::strstr(text, "<val:Root"), nullptr);
}

TEST_F(XmlRequest, EveryFamilyAndDialectParses) {
    const char *models[] = {"21", "3", "2", "33", "99"};
    const char *dialects[] = {"2.0", "2.20", "2.34", "2.35", "2.36", "1.00"};
    for (const char *model : models) {
        for (const char *dialect : dialects) {
            sim::UnitConfig config;
            config.model = model;
            config.xml_ver = dialect;
            config.inputs = 3;
            config.outputs = 2;
            config.sensors = 5;
            sim::Unit u(config);
            ASSERT_TRUE(u.start(0));
            const int m = zxxml_open("127.0.0.1", u.port(), nullptr, nullptr);
            ASSERT_EQ(zxxml_wait_finish(m, 0, 5), 0);
            ASSERT_EQ(zxxml_get_values(m), 0);
            ASSERT_EQ(zxxml_wait_finish(m, 2, 10), 0);
            ASSERT_EQ(zxxml_get_setup(m), 0);
            ASSERT_EQ(zxxml_wait_finish(m, 4, 10), 0);
            zxxml_values_struct values;
            zxxml_values_count_struct vc;
            zxxml_setup_struct setup;
            zxxml_setup_count_struct sc;
            ASSERT_EQ(zxxml_get_values_cache_copy(m, &values, &vc), 0) << model << " " << dialect;
            ASSERT_EQ(zxxml_get_setup_cache_copy(m, &setup, &sc), 0) << model << " " << dialect;
            EXPECT_STREQ(values.Agent_Model, model);
            EXPECT_STREQ(values.Agent_XmlVer, dialect);
            EXPECT_STREQ(setup.Agent_XmlVer, dialect);
            EXPECT_EQ(vc.BinaryInSet, 3);
            EXPECT_EQ(vc.SenSet, 5);
            EXPECT_EQ(sc.BinaryOutSet, 2);
            EXPECT_EQ(sc.SnmpTraps, 2);
            zxxml_close(m);
            u.stop();
        }
    }
}

TEST_F(XmlRequest, ListsBeyondCapacityStopAtTheCapacity) {
    sim::UnitConfig config;
    config.inputs = 80;
    config.outputs = 70;
    config.sensors = 50;
    start_unit(config);
    const int m = open_unit();
    ASSERT_EQ(zxxml_get_setup(m), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 4, 10), 0);
    zxxml_setup_struct *setup;
    zxxml_setup_count_struct *counts;
    if (zxxml_get_setup_cache(m, &setup, &counts) == 0) {
        EXPECT_LE(counts->BinaryInSet, 64);
        EXPECT_LE(counts->BinaryOutSet, 64);
        EXPECT_LE(counts->SenSet, 42);
    } else {
        EXPECT_EQ(xml_code(m), 12) << "or the document did not fit the receive buffer";
    }
}

TEST_F(XmlRequest, BodyAtTheBufferLimitFailsWithCode12) {
    start_unit();
    sim::Fault big;
    big.body = "<?xml version=\"1.0\"?><Root>" + std::string(20000, 'x') + "</Root>";
    unit->set_fault("/values.xml", big);
    const int m = open_unit();
    ASSERT_EQ(zxxml_get_values(m), 0);
    ASSERT_EQ(zxxml_wait_finish(m, 2, 10), 0);
    EXPECT_TRUE(seen.events.wait_for("values:null"));
    EXPECT_EQ(xml_code(m), 12);
}

TEST_F(XmlRequest, CloseDuringASilentResponseEndsTheWorkerWithoutCallback) {
    start_unit();
    sim::Fault silent;
    silent.never_answer = true;
    unit->set_fault("/values.xml", silent);
    const int m = open_unit();
    ASSERT_EQ(zxxml_get_values(m), 0);
    ASSERT_TRUE(unit->wait_for_requests(1, 5000));
    EXPECT_EQ(zxxml_close(m), 0) << "the worker noticed within its wait slice";
    EXPECT_EQ(seen.events.count("values"), 0u);
    EXPECT_EQ(seen.events.count("values:null"), 0u);
}

TEST_F(XmlRequest, WaitOnAClosedModuleEnds) {
    start_unit();
    sim::Fault silent;
    silent.never_answer = true;
    unit->set_fault("/values.xml", silent);
    const int m = open_unit();
    ASSERT_EQ(zxxml_get_values(m), 0);
    std::thread closer([&] {
        unit->wait_for_requests(1, 5000);
        zxxml_close(m);
    });
    EXPECT_EQ(zxxml_wait_finish(m, 2, 60), -1);
    closer.join();
}

TEST_F(XmlRequest, GroupPassServesActiveMembersThenReportsOnce) {
    sim::Unit a, b, c;
    ASSERT_TRUE(a.start(0));
    ASSERT_TRUE(b.start(0));
    ASSERT_TRUE(c.start(0));
    const int g = zxxml_open_many(&seen);
    ASSERT_EQ(zxxml_wait_finish(g, 0, 5), 0);
    const zxxml_callback_struct cb = recording_callbacks();
    ASSERT_EQ(zxxml_callback(g, &cb), 0);
    ASSERT_EQ(zxxml_add_module(g, "127.0.0.1", a.port(), nullptr), 0);
    ASSERT_EQ(zxxml_add_module(g, "127.0.0.1", b.port(), nullptr), 1);
    ASSERT_EQ(zxxml_add_module(g, "127.0.0.1", c.port(), nullptr), 2);
    const int32_t active[3] = {1, 0, 1};
    ASSERT_EQ(zxxml_active_modules(g, active), 0);
    ASSERT_EQ(zxxml_get_values(g), 0);
    ASSERT_EQ(zxxml_wait_finish(g, 2, 15), 0);
    ASSERT_TRUE(seen.events.wait_for("values_many"));
    EXPECT_EQ(seen.events.count("values"), 2u);
    EXPECT_EQ(b.request_count(), 0u);
    const auto events = seen.events.all();
    EXPECT_EQ(events.back(), "values_many");

    char *text;
    int length;
    EXPECT_EQ(zxxml_get_values_xml_many(g, 0, &text, &length), 0);
    EXPECT_EQ(zxxml_get_values_xml_many(g, 2, &text, &length), 0);
    EXPECT_EQ(zxxml_get_values_xml_many(g, 1, &text, &length), -1);
    EXPECT_EQ(xml_code(g), 10) << "the inactive member has nothing";
    EXPECT_EQ(zxxml_get_values_xml_many(g, 3, &text, &length), -1);
    EXPECT_EQ(xml_code(g), 4);
    zxxml_values_struct values;
    zxxml_values_count_struct counts;
    ASSERT_EQ(zxxml_get_values_cache_many_copy(g, 2, &values, &counts), 0);
    EXPECT_EQ(counts.SenSet, 3);
    int32_t when = 0;
    EXPECT_EQ(zxxml_get_values_many_status(g, 0, &when), 0);
    EXPECT_GT(when, 0);
}

TEST_F(XmlRequest, GroupMemberFailureIsKeptPerMember) {
    sim::Unit a;
    ASSERT_TRUE(a.start(0));
    const int g = zxxml_open_many(&seen);
    ASSERT_EQ(zxxml_wait_finish(g, 0, 5), 0);
    const zxxml_callback_struct cb = recording_callbacks();
    zxxml_callback(g, &cb);
    zxxml_add_module(g, "127.0.0.1", sim::refused_port(), nullptr);
    zxxml_add_module(g, "127.0.0.1", a.port(), nullptr);
    ASSERT_EQ(zxxml_get_setup(g), 0);
    ASSERT_EQ(zxxml_wait_finish(g, 4, 15), 0);
    ASSERT_TRUE(seen.events.wait_for("setup_many"));
    EXPECT_EQ(seen.events.count("setup:null"), 1u);
    EXPECT_EQ(seen.events.count("setup"), 1u);
    zx_error_struct e{};
    ASSERT_EQ(zxxml_error_many(g, 0, &e), 0);
    EXPECT_EQ(e.code, 28);
    ASSERT_EQ(zxxml_error_many(g, 1, &e), 0);
    EXPECT_EQ(e.code, 0);
    int32_t when = 0;
    EXPECT_EQ(zxxml_get_setup_many_status(g, 0, &when), -1);
    EXPECT_GT(when, 0) << "the time of the failed attempt is still given";
    EXPECT_EQ(xml_code(g), 10);
    char *text;
    int length;
    EXPECT_EQ(zxxml_get_setup_xml_many(g, 0, &text, &length), -1);
    EXPECT_EQ(xml_code(g), 28) << "the member's failure is copied into the module";
}
