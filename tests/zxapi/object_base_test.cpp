// The shared pieces of the object layer: handler slots own their handler,
// error arguments copy a record as stored, host names resolve or leave the
// address alone.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "kalax/zxapi.h"

namespace {

using zxapi::TEventArgs;
using zxapi::TSdkErrorEventArgs;
using zxapi::TSdkSimpleEventArgs;

// Counts how many of its kind live, so a test sees which one a slot destroyed.
class CountedHandler : public zxapi::TEventCustom {
public:
    explicit CountedHandler(int &live, int &calls) : live_(live), calls_(calls) { ++live_; }
    ~CountedHandler() override { --live_; }
    void Invoke(TEventArgs &) override { ++calls_; }

private:
    int &live_;
    int &calls_;
};

TEST(HandlerSlot, OwnsOneHandlerAndKeepsTheOneSetAgain) {
    int live = 0, calls = 0;
    TSdkSimpleEventArgs args(nullptr);
    {
        zxapi::THandlerSlot<TSdkSimpleEventArgs> slot;
        EXPECT_FALSE(slot);
        slot.Raise(args);  // an empty slot raises nothing

        auto *first = new CountedHandler(live, calls);
        slot.Set(first);
        slot.Set(first);  // the same handler again: kept, not destroyed
        EXPECT_EQ(live, 1);
        EXPECT_EQ(slot.Get(), first);
        slot.Raise(args);
        EXPECT_EQ(calls, 1);

        auto *second = new CountedHandler(live, calls);
        slot.Set(second);  // a second handler destroys the first
        EXPECT_EQ(live, 1);
        EXPECT_EQ(slot.Get(), second);

        slot.Set(nullptr);
        EXPECT_EQ(live, 0);
        EXPECT_FALSE(slot);

        slot.Set(new CountedHandler(live, calls));
    }
    EXPECT_EQ(live, 0) << "the slot's handler outlived the slot";
}

struct Owner {
    void OnError(TSdkErrorEventArgs &args) { seen = args.SdkCode; }
    int seen = -1;
};

TEST(HandlerSlot, BindsAMemberFunctionOrACallable) {
    Owner owner;
    zxapi::THandlerSlot<TSdkErrorEventArgs> slot;
    slot.Set(&owner, &Owner::OnError);
    zx_error_struct record{};
    record.code = 28;
    TSdkErrorEventArgs args(nullptr, zxapi::IOXML_ERROR_OPEN, record);
    slot.Raise(args);
    EXPECT_EQ(owner.seen, 28);

    int code = -1;
    slot.Set([&](TSdkErrorEventArgs &a) { code = a.Code; });
    args.Code = zxapi::IOXML_ERROR_GET_SETUP_XML;
    slot.Raise(args);
    EXPECT_EQ(code, zxapi::IOXML_ERROR_GET_SETUP_XML);
}

TEST(ErrorArgs, CopyTheRecordAsStored) {
    zx_error_struct record{};
    record.code = 3;
    record.sys_code = 0;
    std::strcpy(record.text, "Index not found");
    zxapi::TSdkObject sender(nullptr);
    TSdkErrorEventArgs args(&sender, zxapi::KALLOG_ERROR_CONNECT, record);
    EXPECT_EQ(args.Sender, &sender);
    EXPECT_EQ(args.Code, zxapi::KALLOG_ERROR_CONNECT);
    EXPECT_EQ(args.SdkCode, 3);
    EXPECT_EQ(args.SysCode, 0);
    EXPECT_EQ(args.SdkDesc, "Index not found");
    EXPECT_EQ(args.SysDesc, "");

    // Texts without a terminator end at their field, never past it.
    std::memset(record.text, 'x', sizeof record.text);
    std::memset(record.sys_text, 'y', sizeof record.sys_text);
    const zxapi::TSdkError error(record);
    EXPECT_EQ(error.SdkDesc, std::string(sizeof record.text, 'x'));
    EXPECT_EQ(error.SysDesc, std::string(sizeof record.sys_text, 'y'));
    const zxapi::TSdkError empty;
    EXPECT_EQ(empty.SdkCode, 0);
    EXPECT_TRUE(empty.SdkDesc.empty());
}

TEST(ValuesArgs, AddressHoldsADottedAddressAtMost) {
    const zxapi::TIoXmlValuesEventArgs args(nullptr, nullptr, nullptr, "255.255.255.255-and-more", 80);
    EXPECT_STREQ(args.Address, "255.255.255.255");
    const zxapi::TIoXmlSetupEventArgs none(nullptr, nullptr, nullptr, nullptr, 80, zxapi::IOXML_STATUS_SET_NAME);
    EXPECT_STREQ(none.Address, "");
    EXPECT_EQ(none.Status, zxapi::IOXML_STATUS_SET_NAME);
}

TEST(ResolveHostIP, ResolvesANameOrLeavesTheAddressAlone) {
    std::string ip = "unchanged";
    EXPECT_EQ(zxapi::ResolveHostIP("localhost", ip), 0);
    EXPECT_EQ(ip, "127.0.0.1");
    ip = "unchanged";
    EXPECT_EQ(zxapi::ResolveHostIP("no-such-unit.invalid", ip), -1);  // .invalid never resolves
    EXPECT_EQ(ip, "unchanged");
    EXPECT_EQ(zxapi::ResolveHostIP(nullptr, ip), -1);
    EXPECT_EQ(ip, "unchanged");
}

}  // namespace
