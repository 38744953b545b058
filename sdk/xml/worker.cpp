// The request cycle: the workers of single units and groups, their exchanges
// with the unit, callback dispatch, the timer thread and the common thread entry.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "sdk/runtime/platform.h"
#include "sdk/xml/client.h"
#include "sdk/xml/fixed_body.h"

namespace kalax::xml {

namespace {

constexpr char kValuesRequest[] = "GET /values.xml HTTP/1.0\r\n\r\n";
constexpr char kSetupRequest[] = "GET /setup.xml HTTP/1.0\r\n\r\n";
constexpr char kSetupRequestAuth[] = "GET /setup.xml HTTP/1.0\r\nAuthorization: Basic %s\r\n\r\n";

// Record copies handed to callbacks. One set per worker, so a callback never
// sees another slot's data and no lock is held while copying.
struct DispatchCopies {
    zxxml_values_struct values;
    zxxml_values_count_struct values_counts;
    zxxml_setup_struct setup;
    zxxml_setup_count_struct setup_counts;
};

struct Worker {
    int slot;
    std::unique_ptr<DispatchCopies> copies;
};

zxxml_callback_struct callbacks_of(Client &c, int slot) {
    rt::SlotLock lock(c.rt, slot);
    return c.modules[slot].settings.callbacks;
}

// Connects to the unit: resolves `host` when given (group members pass an empty
// host and an address that is already dotted), then reports through the callbacks.
int connect_unit(Client &c, int slot, int index, char *address, const char *host, int port) {
    Module &m = c.modules[slot];
    const rt::Link link = m.link(c.rt, slot);
    const zxxml_callback_struct cb = callbacks_of(c, slot);
    int rc = rt::kIoOk;
    if (host && host[0]) {
        char resolved[kAddressSize] = {};
        if (!platform::resolve_ipv4(host, resolved)) {
            std::memset(address, 0, kAddressSize);
            c.rt.set_error(slot, kRESOLVE);
            rc = rt::kIoFailed;
        } else {
            std::memcpy(address, resolved, sizeof resolved);
        }
    }
    if (rc == rt::kIoOk) rc = rt::connect_dotted(link, address, port);
    if (rc == rt::kIoStopped) return rc;
    if (rc != rt::kIoOk) {
        if (cb.on_error) cb.on_error(slot, m.owner, index, &c.rt.error(slot));
        return rc;
    }
    if (cb.on_connect) cb.on_connect(slot, m.owner, index);
    return rt::kIoOk;
}

// connect, send, receive into `buffer`, close. `*length` holds the capacity on
// entry and the body length on return (0 on failure).
int exchange(Client &c, int slot, int index, char *address, const char *host, int port, const char *request,
             char *buffer, int32_t *length) {
    Module &m = c.modules[slot];
    const rt::Link link = m.link(c.rt, slot);
    const int capacity = *length;
    *length = 0;
    buffer[0] = '\0';
    int rc = connect_unit(c, slot, index, address, host, port);
    if (rc != rt::kIoOk) return rc;
    rc = rt::send_all(link, request, std::strlen(request));
    if (rc == rt::kIoOk) {
        FixedBody body(buffer, capacity);
        rc = rt::receive_response(link, body);
        if (rc == rt::kIoOk) *length = body.length();
    }
    rt::close_socket(link);
    if (rc != rt::kIoOk) *length = 0;
    return rc;
}

int parse_locked(Client &c, int slot, char *text, int length, int kind) {
    rt::SlotLock library(c.rt, 0);
    return xml_parse(slot, text, length, kind);
}

int fetch(Client &c, int slot, int index, char *address, const char *host, int port, char *buffer, int32_t *length,
          int kind, const zxxml_settings_struct &credentials) {
    if (c.modules[slot].state.load() == kFree) return rt::kIoStopped;
    char request[512];
    if (kind == kValues) {
        std::snprintf(request, sizeof request, "%s", kValuesRequest);
    } else if (credentials.get_user[0]) {
        char encoded[360];
        if (rt::basic_credentials(credentials.get_user, credentials.get_password, encoded, sizeof encoded) < 0) {
            c.rt.set_error(slot, kBUFFER_FULL);
            *length = 0;
            return rt::kIoFailed;
        }
        std::snprintf(request, sizeof request, kSetupRequestAuth, encoded);
    } else {
        std::snprintf(request, sizeof request, "%s", kSetupRequest);
    }
    const int rc = exchange(c, slot, index, address, host, port, request, buffer, length);
    if (rc != rt::kIoOk) return rc;
    if (parse_locked(c, slot, buffer, *length, kind) != 0) {
        *length = 0;
        return rt::kIoFailed;
    }
    return rt::kIoOk;
}

// Writes the time of the attempt into the records of `kind`. Done before the
// action is marked done, so a caller woken by zxxml_wait_finish never reads a
// record whose time is still 0.
void stamp(Client &c, int slot, int index, int kind) {
    Module &m = c.modules[slot];
    const int32_t now = static_cast<int32_t>(platform::now_seconds());
    Member *member = index >= 0 && index < kMembersMax ? m.members[index].get() : nullptr;
    if (kind == kValues) {
        if (m.values_record) m.values_record->time = now;
        if (member) member->values_record.time = now;
    } else {
        if (m.setup_record) m.setup_record->time = now;
        if (member) member->setup_record.time = now;
    }
}

// Runs the callback of `kind` with copies of the slot's records (or none when
// the action failed). The records were stamped before.
void dispatch(Client &c, Worker &w, int index, int kind, bool failed) {
    Module &m = c.modules[w.slot];
    const zxxml_callback_struct cb = callbacks_of(c, w.slot);
    if (kind == kValues && cb.on_values) {
        if (failed || !m.values_record || !m.values_counts) {
            cb.on_values(w.slot, m.owner, index, nullptr, nullptr);
        } else {
            w.copies->values = *m.values_record;
            w.copies->values_counts = *m.values_counts;
            cb.on_values(w.slot, m.owner, index, &w.copies->values, &w.copies->values_counts);
        }
    }
    const zxxml_on_setup_t on_setup = kind == kSetup ? cb.on_setup : kind == kUpload ? cb.on_send_setup : nullptr;
    if (on_setup) {
        if (failed || !m.setup_record || !m.setup_counts) {
            on_setup(w.slot, m.owner, index, nullptr, nullptr);
        } else {
            w.copies->setup = *m.setup_record;
            w.copies->setup_counts = *m.setup_counts;
            on_setup(w.slot, m.owner, index, &w.copies->setup, &w.copies->setup_counts);
        }
    }
}

// Reads the first trap destination out of the slot's setup record into the
// SNMP manager cache, once a fetch asked for it has been served.
void extract_snmp_manager(Client &c, int slot) {
    Module &m = c.modules[slot];
    zxxml_setup_struct *setup = nullptr;
    zxxml_setup_count_struct *counts = nullptr;
    if (zxxml_get_setup_cache(slot, &setup, &counts) == 0) {
        rt::SlotLock lock(c.rt, slot);
        std::memset(m.snmp_address, 0, sizeof m.snmp_address);
        if (counts->SnmpTraps >= 1) {
            const char *ip = setup->SnmpTraps_Entry_IPaddr[0];
            std::memcpy(m.snmp_address, ip, strnlen(ip, sizeof m.snmp_address - 1));
            m.snmp_port = static_cast<int32_t>(std::strtol(setup->SnmpTraps_Entry_Port[0], nullptr, 10));
        }
    }
    rt::SlotLock lock(c.rt, slot);
    m.snmp_flag = kDone;
}

enum class Served { Values, Setup, Upload };

void mark_done(Client &c, int slot, Served what, uint8_t extract) {
    Module &m = c.modules[slot];
    {
        platform::DeferredWake wake;  // after the lock: the waiter's first step takes it
        rt::SlotLock lock(c.rt, slot);
        if (what == Served::Values) m.values_flag = kDone;
        if (what == Served::Setup || what == Served::Upload) m.setup_flag = kDone;
        if (what == Served::Upload) m.send_flag = kDone;
        // With no SNMP manager to read out first, the waiter is posted under the same lock.
        if (extract != 1) {
            if (m.waiting == 1) platform::sem_post_deferred(m.finish.get(), wake);
            return;
        }
    }
    extract_snmp_manager(c, slot);
    wake_waiter(slot);
}

// Sends the request text in `send` and parses the reply as a setup document.
int upload(Client &c, Worker &w, int index, char *address, const char *host, int port, const char *send, char *reply,
           int32_t *reply_length) {
    if (c.modules[w.slot].state.load() == kFree) return rt::kIoStopped;
    *reply_length = kBufferSize;
    int rc = exchange(c, w.slot, index, address, host, port, send, reply, reply_length);
    if (rc == rt::kIoOk && parse_locked(c, w.slot, reply, *reply_length, kSetup) != 0) rc = rt::kIoFailed;
    if (rc != rt::kIoStopped) stamp(c, w.slot, index, kUpload);
    if (rc == rt::kIoFailed) dispatch(c, w, index, kUpload, true);
    return rc;
}

// What a unit's worker reads from its slot, under the slot lock, for one request.
enum Action { None, GetValues, GetSetup, LoadValues, LoadSetup, Upload };
struct Request {
    int state = kFree;
    Action action = None;
    uint8_t extract = 0;  // a setup fetch also reads the SNMP manager
    zxxml_settings_struct settings{};
};

Request read_request(Client &c, int slot) {
    const Module &m = c.modules[slot];
    Request r;
    rt::SlotLock lock(c.rt, slot);
    r.state = m.state.load();
    if (m.values_flag == kPending) r.action = GetValues;
    else if (m.setup_flag == kPending) r.action = GetSetup;
    else if (m.load_values_flag == kPending) r.action = LoadValues;
    else if (m.load_setup_flag == kPending) r.action = LoadSetup;
    else if (m.send_flag == kPending) r.action = Upload;
    r.extract = m.snmp_extract;
    r.settings = m.settings;
    return r;
}

void unit_worker(Worker &w) {
    Client &c = client();
    Module &m = c.modules[w.slot];
    const rt::Link link = m.link(c.rt, w.slot);
    if (m.settings.connect_on_open) {
        if (connect_unit(c, w.slot, -1, m.address, m.host, m.port) == rt::kIoStopped) return;
        rt::close_socket(link);
    }
    {
        rt::SlotLock lock(c.rt, w.slot);
        int opening = kOpening;
        m.state.compare_exchange_strong(opening, kRunning);  // a close that came first wins
    }
    wake_waiter(w.slot);
    uint8_t extract = 0;
    for (;;) {
        c.wait_request(w.slot);
        const Request r = read_request(c, w.slot);
        if (r.state == kFree) return;
        c.rt.set_error(w.slot, kOK);
        const zxxml_settings_struct &settings = r.settings;
        int rc = rt::kIoOk;
        switch (r.action) {
        case None:
            break;
        case GetValues:
            m.values_length = kBufferSize;
            rc = fetch(c, w.slot, -1, m.address, m.host, m.port, m.values, &m.values_length, kValues, settings);
            if (rc == rt::kIoStopped) return;
            stamp(c, w.slot, -1, kValues);
            if (rc == rt::kIoOk) {
                mark_done(c, w.slot, Served::Values, 0);
                dispatch(c, w, -1, kValues, false);
            } else {
                dispatch(c, w, -1, kValues, true);
                mark_done(c, w.slot, Served::Values, 0);
            }
            extract = 0;
            break;
        case GetSetup:
            extract = r.extract;
            m.setup_length = kBufferSize;
            rc = fetch(c, w.slot, -1, m.address, m.host, m.port, m.setup, &m.setup_length, kSetup, settings);
            if (rc == rt::kIoStopped) return;
            stamp(c, w.slot, -1, kSetup);
            if (rc == rt::kIoOk) {
                mark_done(c, w.slot, Served::Setup, extract);
                dispatch(c, w, -1, kSetup, false);
            } else {
                dispatch(c, w, -1, kSetup, true);
                mark_done(c, w.slot, Served::Setup, extract);
            }
            break;
        case LoadValues:
        case LoadSetup: {
            const bool values = r.action == LoadValues;
            const int kind = values ? kValues : kSetup;
            const int failed = values ? parse_locked(c, w.slot, m.values, m.values_length, kValues)
                                      : parse_locked(c, w.slot, m.setup, m.setup_length, kSetup);
            stamp(c, w.slot, -1, kind);
            {
                rt::SlotLock lock(c.rt, w.slot);
                if (values) m.load_values_flag = m.values_flag = kDone;
                else m.load_setup_flag = m.setup_flag = kDone;
            }
            dispatch(c, w, -1, kind, failed != 0);
            wake_waiter(w.slot);
            break;
        }
        case Upload:
            rc = upload(c, w, -1, m.address, m.host, m.port, m.send, m.setup, &m.setup_length);
            if (rc == rt::kIoStopped) return;
            mark_done(c, w.slot, Served::Upload, extract);
            if (rc == rt::kIoOk) dispatch(c, w, -1, kUpload, false);
            break;
        }
    }
}

void copy_records_to(Module &m, Member &member, int kind) {
    if (kind == kValues) {
        if (m.values_record) member.values_record = *m.values_record;
        if (m.values_counts) member.values_counts = *m.values_counts;
    } else {
        if (m.setup_record) member.setup_record = *m.setup_record;
        if (m.setup_counts) member.setup_counts = *m.setup_counts;
    }
}

void group_worker(Worker &w) {
    Client &c = client();
    Module &m = c.modules[w.slot];
    {
        rt::SlotLock lock(c.rt, w.slot);
        int opening = kOpening;
        m.state.compare_exchange_strong(opening, kRunning);
    }
    wake_waiter(w.slot);
    for (;;) {
        c.wait_request(w.slot);
        if (m.state.load() == kFree) {
            rt::SlotLock lock(c.rt, w.slot);
            m.release_members();
            return;
        }
        int last_kind = -1;
        for (int j = 0;; ++j) {
            Member *member;
            {
                rt::SlotLock lock(c.rt, w.slot);
                if (j >= m.member_count) break;
                member = m.members[j].get();
            }
            if (!member->active) continue;
            c.rt.set_error(w.slot, kOK);
            c.rt.copy_error(w.slot, &member->error, &c.rt.error(w.slot));
            int kind;
            {
                rt::SlotLock lock(c.rt, w.slot);
                if (m.values_flag == kPending) kind = kValues;
                else if (m.setup_flag == kPending) kind = kSetup;
                else if (m.send_flag == kPending) kind = kUpload;
                else continue;
            }
            last_kind = kind;
            int rc;
            if (kind == kUpload) {
                rc = upload(c, w, j, member->address, "", member->port, member->send, member->setup,
                            &member->setup_length);
                if (rc == rt::kIoStopped) return;
                if (rc == rt::kIoOk) {
                    dispatch(c, w, j, kUpload, false);
                    copy_records_to(m, *member, kSetup);
                }
                continue;
            }
            char *buffer = kind == kValues ? member->values : member->setup;
            int32_t *length = kind == kValues ? &member->values_length : &member->setup_length;
            *length = kBufferSize;
            rc = fetch(c, w.slot, j, member->address, "", member->port, buffer, length, kind, member->settings);
            if (rc == rt::kIoStopped) return;
            stamp(c, w.slot, j, kind);
            if (rc != rt::kIoOk) {
                c.rt.copy_error(w.slot, &member->error, &c.rt.error(w.slot));
                dispatch(c, w, j, kind, true);
            } else {
                dispatch(c, w, j, kind, false);
                copy_records_to(m, *member, kind);
            }
        }
        c.rt.set_error(w.slot, kOK);
        const zxxml_callback_struct cb = callbacks_of(c, w.slot);
        if (last_kind == kValues && cb.on_values_many) cb.on_values_many(w.slot, m.owner);
        if (last_kind == kSetup && cb.on_setup_many) cb.on_setup_many(w.slot, m.owner);
        {
            rt::SlotLock lock(c.rt, w.slot);
            if (last_kind == kValues) m.values_flag = kDone;
            if (last_kind == kSetup) m.setup_flag = kDone;
            if (last_kind == kUpload) m.send_flag = m.setup_flag = kDone;
        }
        wake_waiter(w.slot);
    }
}

void timer_loop() {
    Client &c = client();
    c.open_gate();
    while (!c.timer_stop.load()) {
        for (int slot = 0; slot < kSlots; ++slot) {
            // Every slot, free ones too: a wait for kind 0 or 1 may sit on a
            // slot that never runs, and its timeout must still end it.
            Module &m = c.modules[slot];
            const int32_t now = static_cast<int32_t>(platform::now_seconds());
            rt::SlotLock lock(c.rt, slot);
            if (m.waiting == 1 && m.deadline < now) {
                m.deadline = 0;
                zx_sem_post(m.finish.get());
            }
        }
        // One check a second, but a stopping library should not wait a whole second.
        for (int i = 0; i < 10 && !c.timer_stop.load(); ++i) platform::sleep_ms(100);
    }
}

}  // namespace

void thread_entry(void *) {
    Client &c = client();
    const uint8_t kind = c.start_kind;
    if (kind == kStartTimer) {
        timer_loop();
        return;
    }
    Worker w{c.cursor, nullptr};
    if (!c.move_cursor(w.slot)) {
        c.open_gate();
        c.rt.set_error(0, kID_LIMIT);
        return;
    }
    w.copies.reset(new (std::nothrow) DispatchCopies);
    c.open_gate();
    if (!w.copies) {
        c.rt.set_error(0, kMEMORY);
        return;
    }
    if (kind == kStartUnit)
        unit_worker(w);
    else
        group_worker(w);
}

}  // namespace kalax::xml
