// The agent XML client's state: its runtime instance, the module table, group
// members and the library-wide open gate, cursor and reference count.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "kalax/zxxml.h"
#include "sdk/runtime/module_table.h"
#include "sdk/runtime/runtime.h"
#include "sdk/runtime/transport.h"
#include "sdk/xml/limits.h"
#include "sdk/xmldoc/parser.h"
#include "sdk/xmldoc/reduce.h"
#include "sdk/xmldoc/writer.h"


namespace kalax::xml {

inline constexpr int kSlots = ZXXML_ID_COUNT_MAX;
inline constexpr int kMembersMax = ZXXML_MODULES_MAX;

// Action flags: never requested since open, queued, served (with or without success).
inline constexpr int32_t kNever = -1;
inline constexpr int32_t kPending = 0;
inline constexpr int32_t kDone = 1;

// Module states.
using rt::kFree;
using rt::kOpening;
using rt::kRunning;

// Action kinds of the dispatch and the parser.
inline constexpr int kValues = 0;
inline constexpr int kSetup = 1;
inline constexpr int kUpload = 2;

// One unit inside a group module.
struct Member {
    char address[kAddressSize] = {};
    int32_t active = 1;
    int32_t port = 0;
    int32_t values_length = 0;
    int32_t setup_length = 0;
    char values[kBufferSize] = {};
    char setup[kBufferSize] = {};
    char send[kBufferSize] = {};
    zxxml_values_struct values_record = {};
    zxxml_values_count_struct values_counts = {};
    zxxml_setup_struct setup_record = {};
    zxxml_setup_count_struct setup_counts = {};
    zx_error_struct error = {};
    zxxml_settings_struct settings = {};
};

// The lifecycle (state, closing, request semaphore) comes from the core.
struct Module : rt::SlotCore {
    char address[kAddressSize] = {};  // dotted address as last resolved
    char host[kHostSize] = {};
    int32_t port = 0;
    int32_t values_flag = kNever;
    int32_t setup_flag = kNever;
    int32_t load_values_flag = kNever;
    int32_t load_setup_flag = kNever;
    int32_t send_flag = kDone;
    int32_t snmp_flag = kDone;
    char snmp_address[kAddressSize] = {};
    int32_t snmp_port = 0;
    uint8_t snmp_extract = 0;
    int32_t values_length = 0;
    int32_t setup_length = 0;
    char values[kBufferSize] = {};
    char setup[kBufferSize] = {};
    char send[kBufferSize] = {};
    rt::Semaphore finish;
    int32_t deadline = 0;
    int32_t waiting = 0;
    void *owner = nullptr;
    zxxml_settings_struct settings = {};
    platform::Socket socket = platform::kNoSocket;

    // -1: a single unit; 0-500: a group module with that many members.
    int32_t member_count = -1;
    std::array<std::unique_ptr<Member>, kMembersMax> members;

    std::unique_ptr<zxxml_values_struct> values_record;
    std::unique_ptr<zxxml_values_count_struct> values_counts;
    std::unique_ptr<zxxml_setup_struct> setup_record;
    std::unique_ptr<zxxml_setup_count_struct> setup_counts;

    rt::Link link(rt::Runtime &rt, int slot) { return rt::Link{&rt, slot, &state, &socket}; }
    bool is_group() const { return member_count >= 0; }
    void release_records();
    void release_members();
};

struct Client final : rt::ModuleTable {
    std::array<Module, kSlots> modules;
    rt::InitCount init_count;
    std::atomic<int> timer_stop{0};
    uint8_t start_kind = kStartTimer;  // guarded by the gate

protected:
    rt::SlotCore &core(int slot) override { return modules[rt::clamp_slot(slot)]; }
    void release(int slot) override;
};

Client &client();

// Common entry of every thread of this client; runs the loop the start kind names.
void thread_entry(void *);

// A module number a caller gave: 1-99 name a unit. Anything else stores code 18
// in slot 0 and returns false.
bool check_module(int module);

// For calls that need the module's worker running: false, with code 40 in the
// slot, when it is not. The caller holds the slot lock.
inline bool require_running(Client &c, int module) {
    if (c.modules[module].state.load() == kRunning) return true;
    c.rt.set_error(module, kTHREAD_NOT_RUN);
    return false;
}

// Parses `text` into the slot's records of `kind` (0 values, 1 setup), creating
// them on first use. The caller holds the library lock. 0 or -1 (code stored).
int xml_parse(int module, char *text, int length, int kind);

// Posts the finish semaphore when a zxxml_wait_finish caller waits on the slot.
void wake_waiter(int module);

}  // namespace kalax::xml
