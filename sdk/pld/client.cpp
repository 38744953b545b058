// The data-log client's module table, its start and stop, opening and closing
// modules, queueing requests and the exported error and conversion functions.
#include "sdk/pld/client.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "sdk/pld/filter.h"
#include "sdk/runtime/no_destroy.h"
#include "sdk/pld/logformat.h"

namespace kalax::pld {

namespace {

// Request lines; %s is the authorisation line or nothing.
constexpr const char *kTemplates[] = {
    nullptr,
    "GET /spilog.txt HTTP/1.0\r\n%s\r\n",
    "GET /spilog.bin HTTP/1.0\r\n%s\r\n",
    "GET /spilog.del HTTP/1.0\r\n%s\r\n",
    "GET /spilog.delall HTTP/1.0\r\n%s\r\n",
};

using rt::copy_text;

}  // namespace

// Everything a closed slot must not keep: a later open starts from a clean slot,
// and a conversion that names the slot filters nothing.
void Client::release(int slot) {
    Module &m = modules[slot];
    std::memset(m.address, 0, sizeof m.address);
    std::memset(m.user, 0, sizeof m.user);
    std::memset(m.password, 0, sizeof m.password);
    std::memset(m.request_text, 0, sizeof m.request_text);
    m.port = 0;
    m.type_filter = 0;
    m.group_filter = 0;
    m.auth = 0;
    m.user_data = nullptr;
    m.kind = kNone;
    m.callbacks = Callbacks{};
}

namespace {

// Undoes an open that could not start its worker: the slot is free again.
int fail_open(Client &c, int slot, int code) {
    if (slot > 0) {
        rt::SlotLock lock(c.rt, slot);
        c.modules[slot].state = kFree;
        c.modules[slot].request.reset();
    }
    c.rt.set_error(0, code);
    c.open_gate();
    return -1;
}

// Module numbers from callers are checked before anything is touched: those
// outside the table, and for requests and close those that name no module,
// give code 16 on slot 0.
bool in_table(int module) {
    if (rt::valid_slot(module)) return true;
    client().rt.set_error(0, kID_NOT_FOUND);
    return false;
}

bool module_number(int module) {
    if (module >= 1 && module < kSlots) return true;
    client().rt.set_error(0, kID_NOT_FOUND);
    return false;
}

bool is_open(const Module &m) { return m.state.load() != kFree && !m.closing.load(); }

int queue(int module, uint8_t kind) {
    Client &c = client();
    if (!module_number(module)) return -1;
    Module &m = c.modules[module];
    {
        rt::SlotLock lock(c.rt, module);
        if (is_open(m)) {
            if (build_request(c, module, kind) != 0) return -1;
            m.kind = kind;
            c.post_request(module);  // the slot lock is recursive
            return 0;
        }
    }
    // Slot 0's record is never written while another slot's lock is held.
    c.rt.set_error(0, kID_NOT_FOUND);
    return -1;
}

}  // namespace

Client::Client() : filter_pass(csv_filter_pass) {}

Client &client() {
    // Never destroyed: workers may still run while the process exits.
    static rt::NoDestroy<Client> instance;
    return instance.get();
}

Callbacks callbacks_of(const zxpld_settings_struct &s) {
    Callbacks cb;
    cb.on_connect = s.on_connect;
    cb.on_connect_error = s.on_connect_error;
    cb.on_data = s.on_data;
    cb.on_csv = s.on_csv;
    cb.on_bin = s.on_bin;
    cb.on_del = s.on_del;
    cb.on_delall = s.on_delall;
    cb.on_csv_error = s.on_csv_error;
    cb.on_bin_error = s.on_bin_error;
    cb.on_del_error = s.on_del_error;
    cb.on_delall_error = s.on_delall_error;
    return cb;
}

int build_request(Client &c, int slot, uint8_t kind) {
    Module &m = c.modules[slot];
    char auth[kAuthLineSize] = {};
    if (m.auth && rt::authorization_line(m.user, m.password, auth, sizeof auth) < 0) {
        c.rt.set_error(slot, kBUFFER_FULL);
        return -1;
    }
    char text[kRequestSize];
    const int n = std::snprintf(text, sizeof text, kTemplates[kind], auth);
    if (n < 0 || static_cast<size_t>(n) >= sizeof text) {
        c.rt.set_error(slot, kBUFFER_FULL);
        return -1;
    }
    std::memcpy(m.request_text, text, static_cast<size_t>(n) + 1);
    return 0;
}

}  // namespace kalax::pld

using namespace kalax;
using namespace kalax::pld;

extern "C" {

int zxpld_init(void) {
    Client &c = client();
    if (!c.init_count.enter(c.rt)) return -1;
    if (!c.restart()) {
        c.init_count.reset();  // nothing was set up; the next init starts afresh
        c.rt.set_error(0, kSEM_INIT);
        return -1;
    }
    c.open_gate();
    for (int slot = 0; slot < kSlots; ++slot) {
        rt::SlotLock lock(c.rt, slot);
        c.modules[slot].state = kFree;
    }
    return 0;
}

int zxpld_uninit(void) {
    Client &c = client();
    switch (c.init_count.leave(c.rt)) {
    case rt::InitCount::Leave::NotInitialised: return 0;
    case rt::InitCount::Leave::Nested: return -1;
    case rt::InitCount::Leave::Last: break;
    }
    for (int slot = 1; slot < kSlots; ++slot) {
        bool open;
        {
            rt::SlotLock lock(c.rt, slot);
            open = is_open(c.modules[slot]);
        }
        if (open) zxpld_close(slot);
    }
    c.gate.reset();
    return 0;
}

void zxpld_count_ref2zero(void) {
    Client &c = client();
    c.init_count.to_zero();
}

int zxpld_clr_settings_struct(zxpld_settings_struct *settings) {
    if (!settings) {
        client().rt.set_error(0, kNULL_POINTER);
        return -1;
    }
    *settings = zxpld_settings_struct{};
    settings->port = 80;
    return 0;
}

int zxpld_open(const zxpld_settings_struct *settings) {
    Client &c = client();
    if (!settings) {
        c.rt.set_error(0, kNULL_POINTER);
        return -1;
    }
    if (!settings->address || strnlen(settings->address, kAddressSize) >= kAddressSize) {
        c.rt.set_error(0, kIP_NOT_VALID);
        return -1;
    }
    if (!c.init_count.initialised() || !c.gate) {
        c.rt.set_error(0, kTHREAD_NOT_RUN);
        return -1;
    }
    const int slot = c.take_slot();
    if (slot < 0) {
        c.rt.set_error(0, kID_IN_USE);
        return -1;
    }
    Module &m = c.modules[slot];
    {
        rt::SlotLock lock(c.rt, slot);
        m.state = kOpening;
        m.kind = kNone;
        m.auth = 0;
        copy_text(m.address, sizeof m.address, settings->address);
        // A user or a password given, even as an empty text, asks for credentials.
        copy_text(m.user, sizeof m.user, settings->user);
        copy_text(m.password, sizeof m.password, settings->password);
        if (settings->user || settings->password) m.auth = 1;
        std::memset(m.request_text, 0, sizeof m.request_text);
        m.user_data = settings->user_data;
        m.port = settings->port;
        m.type_filter = settings->type_filter;
        m.group_filter = settings->group_filter;
        m.callbacks = callbacks_of(*settings);
        m.socket = platform::kNoSocket;
    }
    switch (c.start_worker(slot, worker_entry, reinterpret_cast<void *>(static_cast<intptr_t>(slot)))) {
    case rt::ModuleTable::Start::Started: break;
    case rt::ModuleTable::Start::NoSemaphore: return fail_open(c, slot, kSEM_INIT);
    case rt::ModuleTable::Start::NoThread: return fail_open(c, slot, kTHREAD_CREATE);
    }
    // The gate stays closed: the new worker opens it once it has moved the cursor.
    return slot;
}

int zxpld_close(int module) {
    Client &c = client();
    if (!module_number(module)) return -1;
    switch (c.close(module, true)) {
    case rt::ModuleTable::Close::Closed:
        return 0;
    case rt::ModuleTable::Close::NotOpen:
    case rt::ModuleTable::Close::Concurrent:
        c.rt.set_error(0, kID_NOT_FOUND);
        return -1;
    case rt::ModuleTable::Close::OnOwnWorker:
        // From one of its own callbacks the worker would wait for itself; the
        // module stays open and the caller learns it cannot be done from here.
    case rt::ModuleTable::Close::NotEnded:
        // A worker stuck in a callback keeps the slot out of allocation until
        // its thread has ended.
        break;
    }
    c.rt.set_error(module, kTHREAD_NOT_EXIT);
    return -1;
}

int zxpld_get_spilog_csv(int module) { return queue(module, kCsv); }
int zxpld_get_spilog_bin(int module) { return queue(module, kBin); }
int zxpld_get_spilog_del(int module) { return queue(module, kDel); }
int zxpld_get_spilog_delall(int module) { return queue(module, kDelAll); }

int zxpld_error(int module, zx_error_struct *error) {
    Client &c = client();
    if (!in_table(module)) return -1;
    if (!error) {
        c.rt.set_error(0, kNULL_POINTER);
        return -1;
    }
    return c.rt.read_error(module, error);
}

int zxpld_error_print(int module) {
    if (!in_table(module)) return -1;
    return client().rt.print_error(module);
}

int zxpld_bin2csv(int module, const unsigned char *data, int length, char *text, int *text_length) {
    Client &c = client();
    if (!in_table(module)) return -1;
    int type_filter = 0;
    int group_filter = 0;
    if (module != 0) {
        rt::SlotLock lock(c.rt, module);
        type_filter = c.modules[module].type_filter;
        group_filter = c.modules[module].group_filter;
    }
    return bin2csv(type_filter, group_filter, data, length, text, text_length);
}

int zxpld_duplicate_seek(const char *file_name, const char *last_line, const char *text, int length, int *offset) {
    int code = 0;
    const int rc = duplicate_seek(file_name, last_line, text, length, offset, &code);
    if (code != 0) client().rt.set_error(0, code);
    return rc;
}

}  // extern "C"
