// Library start and stop, the module table, opens, closes and group members.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "support/xml_fixture.h"

using namespace kalax::test;

namespace {

// Opens a unit that is never contacted and waits until its worker runs.
int open_idle(const char *host = "127.0.0.1", int port = 9) {
    const int m = zxxml_open(host, port, nullptr, nullptr);
    if (m > 0) {
        EXPECT_EQ(zxxml_wait_finish(m, 0, 5), 0);
    }
    return m;
}

}  // namespace

TEST(XmlLibrary, NestedInitIsCountedAndReported) {
    ASSERT_EQ(zxxml_init(), 0);
    EXPECT_EQ(zxxml_init(), -1);
    EXPECT_EQ(xml_code(0), 80);
    const int m = open_idle();  // the library keeps working
    EXPECT_EQ(m, 1);
    EXPECT_EQ(zxxml_uninit(), -1);
    EXPECT_EQ(xml_code(0), 80);
    EXPECT_EQ(zxxml_uninit(), 0);
    EXPECT_EQ(zxxml_uninit(), 0);  // not initialised: nothing to do
    // After a full stop the library starts again from slot 1.
    ASSERT_EQ(zxxml_init(), 0);
    EXPECT_EQ(open_idle(), 1);
    EXPECT_EQ(zxxml_uninit(), 0);
}

TEST(XmlLibrary, CountRefToZeroLetsOneUninitStopEverything) {
    ASSERT_EQ(zxxml_init(), 0);
    zxxml_init();
    zxxml_init();
    const int m = open_idle();
    ASSERT_GT(m, 0);
    zxxml_count_ref2zero();
    EXPECT_EQ(zxxml_uninit(), 0);
    EXPECT_EQ(zxxml_type_of(m), -1) << "uninit closed the unit";
}

TEST_F(XmlClient, OpenRejectsTooLongHostWithoutTakingTheGate) {
    const std::string host(100, 'h');
    EXPECT_EQ(zxxml_open(host.c_str(), 80, nullptr, nullptr), -1);
    EXPECT_EQ(xml_code(0), 13);
    EXPECT_EQ(zxxml_open(nullptr, 80, nullptr, nullptr), -1);
    EXPECT_EQ(open_idle(std::string(99, 'h').c_str()), 1) << "gate still open, 99 characters accepted";
}

TEST_F(XmlClient, SlotsAreHandedOutInOrderAndReused) {
    EXPECT_EQ(open_idle(), 1);
    EXPECT_EQ(open_idle(), 2);
    EXPECT_EQ(open_idle(), 3);
    EXPECT_EQ(zxxml_close(2), 0);
    EXPECT_EQ(open_idle(), 4) << "the cursor moves on while the next slot is free";
}

TEST_F(XmlClient, NinetyNinthUnitNeverRunsAndLeavesCode18) {
    for (int i = 1; i <= 98; ++i) ASSERT_EQ(open_idle(), i);
    const int last = zxxml_open("127.0.0.1", 9, nullptr, nullptr);
    EXPECT_EQ(last, 99);
    EXPECT_EQ(zxxml_wait_finish(last, 0, 0), -1) << "its worker never runs";
    EXPECT_EQ(zxxml_type_of(last), -1);
    EXPECT_EQ(xml_code(last), 40);
    // The worker failed to move the cursor: code 18 in slot 0, the next open finds slot 99 taken.
    EXPECT_EQ(zxxml_open("127.0.0.1", 9, nullptr, nullptr), -1);
    EXPECT_EQ(xml_code(0), 17);
    EXPECT_EQ(zxxml_close(last), 0);
    EXPECT_EQ(zxxml_close(5), 0);
    EXPECT_EQ(open_idle(), 99) << "slot 99 is at the cursor again";
}

TEST_F(XmlClient, ModuleNumbersOutsideTheTableAreRefused) {
    for (int bad : {-1, 0, 100, 1000}) {
        EXPECT_EQ(zxxml_type_of(bad), -1);
        EXPECT_EQ(xml_code(0), 18) << bad;
        EXPECT_EQ(zxxml_get_values(bad), -1);
        EXPECT_EQ(zxxml_close(bad), -1);
        EXPECT_EQ(zxxml_add_module(bad, "1.2.3.4", 80, nullptr), -1);
        EXPECT_EQ(zxxml_count_modules(bad), -1);
    }
    zx_error_struct e{};
    EXPECT_EQ(zxxml_error(100, &e), -1);
    EXPECT_EQ(zxxml_error(-3, &e), -1);
}

TEST_F(XmlClient, GetModuleBeforeAnyRequestHasEmptyAddress) {
    const int m = open_idle("localhost", 8081);
    char address[16] = "garbage";
    int port = 0;
    ASSERT_EQ(zxxml_get_module(m, address, &port), 0);
    EXPECT_STREQ(address, "");
    EXPECT_EQ(port, 8081);
    EXPECT_EQ(zxxml_type_of(m), 0);
}

TEST_F(XmlClient, GroupMembersAreCheckedInOrder) {
    const int single = open_idle();
    EXPECT_EQ(zxxml_add_module(single, "10.0.0.1", 80, nullptr), -1);
    EXPECT_EQ(xml_code(single), 16);
    EXPECT_EQ(zxxml_count_modules(single), -1);
    EXPECT_EQ(xml_code(single), 16);

    const int g = zxxml_open_many(nullptr);
    ASSERT_GT(g, 0);
    ASSERT_EQ(zxxml_wait_finish(g, 0, 5), 0);
    EXPECT_EQ(zxxml_type_of(g), 1);
    EXPECT_EQ(zxxml_get_module(g, nullptr, nullptr), -1);
    EXPECT_EQ(xml_code(g), 16);
    EXPECT_EQ(zxxml_add_module(g, "192.168.100.100x", 80, nullptr), -1) << "16 characters";
    EXPECT_EQ(xml_code(g), 13);
    EXPECT_EQ(zxxml_add_module(g, "10.0.0.1", 80, nullptr), 0);
    EXPECT_EQ(zxxml_add_module(g, "10.0.0.1", 80, nullptr), -1);
    EXPECT_EQ(xml_code(g), 15);
    EXPECT_EQ(zxxml_add_module(g, "10.0.0.1", 81, nullptr), 1) << "same address, other port";
    for (int i = 2; i < 500; ++i) ASSERT_EQ(zxxml_add_module(g, "10.0.0.2", 1000 + i, nullptr), i);
    EXPECT_EQ(zxxml_add_module(g, "10.0.0.3", 80, nullptr), -1);
    EXPECT_EQ(xml_code(g), 41);
    EXPECT_EQ(zxxml_count_modules(g), 500);

    char address[16];
    int port = 0;
    EXPECT_EQ(zxxml_get_module_many(g, 1, address, &port), 0);
    EXPECT_STREQ(address, "10.0.0.1");
    EXPECT_EQ(port, 81);
    EXPECT_EQ(zxxml_get_module_many(g, 500, address, &port), -1);
    EXPECT_EQ(xml_code(g), 3);
    EXPECT_EQ(zxxml_get_module_many(g, -1, address, &port), -1);
    EXPECT_EQ(zxxml_get_module_many(single, 0, address, &port), -1);
    EXPECT_EQ(xml_code(single), 16);
}

TEST_F(XmlClient, ClosedGroupSlotReopensAsSingleUnit) {
    const int g = zxxml_open_many(nullptr);
    ASSERT_EQ(zxxml_wait_finish(g, 0, 5), 0);
    zxxml_add_module(g, "10.0.0.1", 80, nullptr);
    ASSERT_EQ(zxxml_close(g), 0);
    // Walk the cursor back round to the same slot.
    int m = 0;
    for (int i = 0; i < 99 && m != g; ++i) {
        m = open_idle();
        if (m != g) zxxml_close(m);
    }
    ASSERT_EQ(m, g);
    EXPECT_EQ(zxxml_type_of(m), 0);
    EXPECT_EQ(zxxml_count_modules(m), -1);
}

TEST_F(XmlClient, ErrorOfMembersIsReadPerMember) {
    const int g = zxxml_open_many(nullptr);
    ASSERT_EQ(zxxml_wait_finish(g, 0, 5), 0);
    zxxml_add_module(g, "10.0.0.1", 80, nullptr);
    zx_error_struct e;
    std::memset(&e, 0xAB, sizeof e);
    EXPECT_EQ(zxxml_error_many(g, 0, &e), 0);
    EXPECT_EQ(e.code, 0);
    EXPECT_STREQ(e.text, "") << "a new member starts with a zeroed record";
    EXPECT_EQ(zxxml_error_many(g, 1, &e), -1);
}

TEST_F(XmlClient, FinishKindsAndTheirChecks) {
    const int m = open_idle();
    EXPECT_EQ(zxxml_finish(m, 0), 0);
    EXPECT_EQ(zxxml_finish(m, 1), 0);
    EXPECT_EQ(zxxml_finish(m, 2), -1) << "values never requested";
    EXPECT_EQ(xml_code(0), 1);
    EXPECT_EQ(zxxml_finish(m, 7), 0) << "the send flag starts done";
    EXPECT_EQ(zxxml_finish(m, 6), 0) << "so does the SNMP flag";
    EXPECT_EQ(zxxml_finish(m, 11), -1);
    EXPECT_EQ(xml_code(0), 2);
    EXPECT_EQ(zxxml_wait_finish(m, 11, 1), -1);
    EXPECT_EQ(xml_code(0), 2);
    EXPECT_EQ(zxxml_finish(m, -1), -1);
}

TEST_F(XmlClient, WaitForTheWorkerOnAFreeSlotEndsAtItsTimeout) {
    for (int kind : {0, 1}) {
        EXPECT_EQ(zxxml_wait_finish(5, kind, 1), -1);  // never opened: nothing will ever run there
        EXPECT_EQ(xml_code(0), 19);
    }
}

TEST_F(XmlClient, WaitWithZeroTimeoutEndsWithCode19) {
    const int m = open_idle();
    EXPECT_EQ(zxxml_wait_finish(m, 3, 0), -1);
    EXPECT_EQ(xml_code(0), 19);
}

TEST_F(XmlClient, RequestsNeedARunningWorker) {
    const int m = open_idle();
    ASSERT_EQ(zxxml_close(m), 0);
    EXPECT_EQ(zxxml_get_values(m), -1);
    EXPECT_EQ(xml_code(m), 40);
    EXPECT_EQ(zxxml_wait_finish(m, 2, 1), -1);
    EXPECT_EQ(xml_code(m), 40);
    zxxml_callback_struct cb{};
    EXPECT_EQ(zxxml_callback(m, &cb), -1);
    EXPECT_EQ(xml_code(m), 40);
}

TEST_F(XmlClient, ClearingSettingsAndCallbacks) {
    zxxml_settings_struct s;
    std::memset(&s, 0x5A, sizeof s);
    EXPECT_EQ(zxxml_clr_settings_struct(&s), 0);
    const zxxml_settings_struct zero{};
    EXPECT_EQ(std::memcmp(&s, &zero, sizeof s), 0);
    zxxml_callback_struct cb;
    std::memset(&cb, 0x5A, sizeof cb);
    EXPECT_EQ(zxxml_clr_callback(12345, &cb), 0);
    EXPECT_EQ(cb.on_values, nullptr);
    EXPECT_EQ(cb.on_error, nullptr);
}

TEST_F(XmlClient, CredentialLengthsAreCheckedUserFirst) {
    const int m = open_idle();
    const std::string long_text(100, 'u');
    EXPECT_EQ(zxxml_authenticate_get(m, long_text.c_str(), long_text.c_str()), -1);
    EXPECT_EQ(xml_code(m), 43);
    EXPECT_EQ(zxxml_authenticate_set(m, "user", long_text.c_str()), -1);
    EXPECT_EQ(xml_code(m), 42);
    EXPECT_EQ(zxxml_authenticate_set(m, std::string(99, 'u').c_str(), std::string(99, 'p').c_str()), 0);
}

// ---- zxxml_close_for_callback ---------------------------------------------------

namespace {

struct SelfClose {
    std::atomic<bool> unwound{false};    // a frame of the callback was left by unwinding
    std::atomic<bool> returned{false};   // the call came back (it must not)
    std::atomic<bool> ran{false};
};

struct SetOnUnwind {
    std::atomic<bool> &flag;
    ~SetOnUnwind() { flag = true; }
};

void close_self(int module, void *owner, int, zxxml_values_struct *, zxxml_values_count_struct *) {
    auto *s = static_cast<SelfClose *>(owner);
    s->ran = true;
    SetOnUnwind guard{s->unwound};
    zxxml_close_for_callback(module);
    s->returned = true;
}

constexpr char kTinyValues[] = "<?xml version=\"1.0\"?><Root></Root>";

}  // namespace

TEST_F(XmlClient, CloseForCallbackEndsItsOwnWorkerAndFreesTheSlot) {
    SelfClose self;
    zxxml_settings_struct settings{};
    settings.callbacks.on_values = close_self;
    const int m = zxxml_open("127.0.0.1", 9, &settings, &self);
    ASSERT_EQ(m, 1);
    ASSERT_EQ(zxxml_wait_finish(m, 0, 5), 0);
    ASSERT_EQ(zxxml_load_values(m, kTinyValues, static_cast<int>(sizeof kTinyValues - 1)), 0);
    for (int i = 0; i < 500 && !self.unwound; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(self.ran);
    EXPECT_TRUE(self.unwound) << "the thread did not end through its own frames";
    EXPECT_FALSE(self.returned);
    EXPECT_EQ(zxxml_get_values(m), -1);
    EXPECT_EQ(xml_code(m), 40);
    EXPECT_EQ(zxxml_type_of(m), -1);
    // The slot goes back to the allocator: the cursor comes round to it.
    int reopened = -1;
    for (int i = 0; i < 99 && reopened != m; ++i) reopened = zxxml_open("127.0.0.1", 9, nullptr, nullptr);
    EXPECT_EQ(reopened, m);
}

TEST_F(XmlClient, CloseForCallbackFromAnotherThreadLeavesTheModuleOpen) {
    const int m = open_idle();
    zxxml_close_for_callback(m);  // the test's thread is not the module's worker
    EXPECT_EQ(xml_code(m), 39);
    EXPECT_EQ(zxxml_type_of(m), 0) << "the module still runs";
    EXPECT_EQ(zxxml_load_values(m, kTinyValues, static_cast<int>(sizeof kTinyValues - 1)), 0);
    EXPECT_EQ(zxxml_wait_finish(m, 9, 5), 0);
    std::thread other([m] { zxxml_close_for_callback(m); });
    other.join();
    EXPECT_EQ(zxxml_type_of(m), 0);
    zxxml_close_for_callback(0);
    EXPECT_EQ(xml_code(0), 18);
    zxxml_close_for_callback(100);
    EXPECT_EQ(xml_code(0), 18);
    EXPECT_EQ(zxxml_close(m), 0);
}
