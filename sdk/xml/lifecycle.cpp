// Library start and stop, the module table, opening and closing units and groups.
#include <cstring>

#include "sdk/runtime/no_destroy.h"
#include "sdk/xml/client.h"

namespace kalax::xml {

namespace {

using rt::copy_text;

// Undoes an open that could not start its worker; the slot stays opening, as a
// caller must still close it, but holds nothing a later open could trip over.
int fail_open(Client &c, int code) {
    c.rt.set_error(0, code);
    c.open_gate();
    return -1;
}

// Common steps of both opens: the gate, the slot at the cursor, its start kind.
int begin_open(Client &c, uint8_t kind) {
    if (!c.init_count.initialised() || !c.gate) return c.rt.fail(0, kTHREAD_NOT_RUN);
    const int slot = c.take_slot();
    if (slot < 0) return c.rt.fail(0, kID_IN_USE);
    c.start_kind = kind;
    return slot;
}

int start_worker(Client &c, int slot) {
    switch (c.start_worker(slot, thread_entry, nullptr)) {
    case rt::ModuleTable::Start::Started: return slot;
    case rt::ModuleTable::Start::NoSemaphore: return fail_open(c, kSEM_INIT);
    case rt::ModuleTable::Start::NoThread: break;
    }
    return fail_open(c, kTHREAD_CREATE);
}

// A close wakes the slot's zxxml_wait_finish caller: nothing will finish there.
void wake_waiter_on_close(rt::ModuleTable &table, int slot) {
    Module &m = static_cast<Client &>(table).modules[slot];
    if (m.waiting == 1) zx_sem_post(m.finish.get());
}

}  // namespace

Client &client() {
    // Never destroyed: workers may still run while the process exits.
    static rt::NoDestroy<Client> instance;
    return instance.get();
}

bool check_module(int module) {
    if (module >= 1 && module < kSlots) return true;
    client().rt.set_error(0, kID_LIMIT);
    return false;
}

// Everything but the thread and the request semaphore: a closed or reaped slot
// keeps nothing of its old unit.
void Client::release(int slot) {
    Module &m = modules[slot];
    std::memset(m.address, 0, sizeof m.address);
    std::memset(m.host, 0, sizeof m.host);
    m.release_records();
    m.release_members();
}

void Module::release_records() {
    values_record.reset();
    setup_record.reset();
    setup_counts.reset();
    values_counts.reset();
}

void Module::release_members() {
    for (auto &member : members) {
        if (!member) break;
        member.reset();
    }
    member_count = -1;
}

}  // namespace kalax::xml

using namespace kalax;
using namespace kalax::xml;

extern "C" {

int zxxml_init(void) {
    Client &c = client();
    if (!c.init_count.enter(c.rt)) return -1;
    c.timer_stop = 0;
    if (!c.restart()) return c.rt.fail(0, kSEM_INIT);
    for (Module &m : c.modules) m.member_count = -1;
    c.start_kind = kStartTimer;
    if (c.rt.thread_start(0, thread_entry, nullptr) != 0) {
        c.open_gate();
        c.rt.set_error(0, kTHREAD0_CREATE);
        return -1;
    }
    c.rt.sem_wait(0, c.gate.get());  // the timer posts once it runs
    c.open_gate();
    return 0;
}

int zxxml_uninit(void) {
    Client &c = client();
    switch (c.init_count.leave(c.rt)) {
    case rt::InitCount::Leave::NotInitialised: return 0;
    case rt::InitCount::Leave::Nested: return -1;
    case rt::InitCount::Leave::Last: break;
    }
    c.timer_stop = 1;
    for (int slot = 1; slot < kSlots; ++slot)
        if (c.modules[slot].state.load() != kFree) zxxml_close(slot);
    if (c.rt.thread_end_wait(0, kEndWaitMs) != 0) return c.rt.fail(0, kTHREAD0_NOT_EXIT);
    c.gate.reset();
    return 0;
}

void zxxml_count_ref2zero(void) {
    Client &c = client();
    c.init_count.to_zero();
}

int zxxml_clr_settings_struct(zxxml_settings_struct *settings) {
    if (settings) std::memset(settings, 0, sizeof *settings);
    return 0;
}

int zxxml_open(const char *host, int port, const zxxml_settings_struct *settings, void *owner) {
    Client &c = client();
    if (!host || std::strlen(host) >= kHostSize) return c.rt.fail(0, kIP_NOT_VALID);
    const int slot = begin_open(c, kStartUnit);
    if (slot < 0) return -1;
    Module &m = c.modules[slot];
    {
        rt::SlotLock lock(c.rt, slot);
        if (settings)
            m.settings = *settings;
        else
            zxxml_clr_settings_struct(&m.settings);
        m.owner = owner;
        m.values_flag = m.setup_flag = m.load_values_flag = m.load_setup_flag = kNever;
        m.send_flag = m.snmp_flag = kDone;
        m.state = kOpening;
        std::memset(m.snmp_address, 0, sizeof m.snmp_address);
        m.snmp_port = 0;
        m.snmp_extract = 0;
        copy_text(m.host, sizeof m.host, host);
        std::memset(m.address, 0, sizeof m.address);
        m.port = port;
        m.values_length = m.setup_length = 0;
        m.waiting = 0;
        m.deadline = 0;
        m.member_count = -1;
    }
    return start_worker(c, slot);
}

int zxxml_open_many(void *owner) {
    Client &c = client();
    const int slot = begin_open(c, kStartGroup);
    if (slot < 0) return -1;
    Module &m = c.modules[slot];
    {
        rt::SlotLock lock(c.rt, slot);
        m.release_members();
        m.member_count = 0;
        m.owner = owner;
        m.values_flag = m.setup_flag = m.load_values_flag = m.load_setup_flag = kNever;
        m.send_flag = kDone;
        m.snmp_flag = kDone;
        m.state = kOpening;
        zxxml_clr_settings_struct(&m.settings);
        std::memset(m.host, 0, sizeof m.host);
        std::memset(m.address, 0, sizeof m.address);
        m.port = 0;
        m.waiting = 0;
        m.deadline = 0;
    }
    return start_worker(c, slot);
}

int zxxml_close(int module) {
    if (!check_module(module)) return -1;
    Client &c = client();
    switch (c.close(module, false, wake_waiter_on_close)) {
    case rt::ModuleTable::Close::Closed:
        return 0;
    case rt::ModuleTable::Close::OnOwnWorker:
        // It would wait for itself: callbacks close with zxxml_close_for_callback.
        return c.rt.fail(module, kTHREAD_NOT_EXIT);
    case rt::ModuleTable::Close::Concurrent:
        return c.rt.fail(module, kACTION_NOT_FINISH);  // another thread is closing it
    case rt::ModuleTable::Close::NotEnded:
    case rt::ModuleTable::Close::NotOpen:
        break;
    }
    return c.rt.fail(module, kTHREAD_NOT_EXIT);
}

void zxxml_close_for_callback(int module) {
    Client &c = client();
    if (!check_module(module)) return;
    if (!c.rt.on_slot_thread(module)) {
        // Only the worker may end itself; from anywhere else the module stays open.
        c.rt.set_error(module, kTHREAD_NOT_EXIT);
        return;
    }
    c.close_own(module);
    platform::thread_exit();
}

int zxxml_add_module(int module, const char *address, int port, const zxxml_settings_struct *settings) {
    if (!check_module(module)) return -1;
    Client &c = client();
    Module &m = c.modules[module];
    rt::SlotLock lock(c.rt, module);
    if (m.member_count < 0) return c.rt.fail(module, kID_NOT_FOUND);
    if (!address || std::strlen(address) >= kAddressSize) return c.rt.fail(module, kIP_NOT_VALID);
    if (m.member_count >= kMembersMax) return c.rt.fail(module, kMODULES_LIMIT);
    for (int i = 0; i < m.member_count; ++i) {
        const Member &other = *m.members[i];
        if (other.port == port && std::strcmp(other.address, address) == 0) return c.rt.fail(module, kIP_PORT_IN_USE);
    }
    auto member = std::unique_ptr<Member>(new (std::nothrow) Member);
    if (!member) return c.rt.fail(module, kMEMORY);
    copy_text(member->address, sizeof member->address, address);
    member->port = port;
    member->active = 1;
    if (settings) member->settings = *settings;
    const int index = m.member_count;
    m.members[index] = std::move(member);
    ++m.member_count;
    return index;
}

int zxxml_count_modules(int module) {
    if (!check_module(module)) return -1;
    Client &c = client();
    rt::SlotLock lock(c.rt, module);
    const int count = c.modules[module].member_count;
    if (count < 0) c.rt.set_error(module, kID_NOT_FOUND);
    return count < 0 ? -1 : count;
}

int zxxml_active_modules(int module, const int32_t *active) {
    if (!check_module(module)) return -1;
    Client &c = client();
    Module &m = c.modules[module];
    if (!active) return c.rt.fail(module, kNULL_POINTER);
    rt::SlotLock lock(c.rt, module);
    for (int i = 0; i < m.member_count; ++i) m.members[i]->active = active[i];
    return 0;
}

int zxxml_get_module(int module, char *address, int *port) {
    if (!check_module(module)) return -1;
    Client &c = client();
    Module &m = c.modules[module];
    rt::SlotLock lock(c.rt, module);
    if (!require_running(c, module)) return -1;
    if (m.is_group()) return c.rt.fail(module, kID_NOT_FOUND);
    if (address) copy_text(address, sizeof m.address, m.address);
    if (port) *port = m.port;
    return 0;
}

int zxxml_get_module_many(int module, int index, char *address, int *port) {
    if (!check_module(module)) return -1;
    Client &c = client();
    Module &m = c.modules[module];
    rt::SlotLock lock(c.rt, module);
    if (!m.is_group()) return c.rt.fail(module, kID_NOT_FOUND);
    if (index < 0 || index >= m.member_count) return c.rt.fail(module, kINDEX_NOT_FOUND);
    if (address) copy_text(address, kAddressSize, m.members[index]->address);
    if (port) *port = m.members[index]->port;
    return 0;
}

int zxxml_type_of(int module) {
    if (!check_module(module)) return -1;
    Client &c = client();
    Module &m = c.modules[module];
    rt::SlotLock lock(c.rt, module);
    if (!require_running(c, module)) return -1;
    return m.is_group() ? 1 : 0;
}

int zxxml_error(int module, zx_error_struct *error) {
    Client &c = client();
    if (!rt::valid_slot(module)) return c.rt.fail(0, kID_LIMIT);
    if (!error) return -1;
    return c.rt.read_error(module, error);
}

int zxxml_error_many(int module, int index, zx_error_struct *error) {
    if (!check_module(module)) return -1;
    Client &c = client();
    Module &m = c.modules[module];
    if (!error) return -1;
    rt::SlotLock lock(c.rt, module);
    if (index < 0 || index >= m.member_count) return c.rt.fail(module, kINDEX_NOT_VALID);
    return c.rt.copy_error(module, error, &m.members[index]->error);
}

int zxxml_error_print(int module) {
    Client &c = client();
    if (!rt::valid_slot(module)) return c.rt.fail(0, kID_LIMIT);
    return c.rt.print_error(module);
}

}  // extern "C"
