// Changing a unit: setup uploads, the SNMP manager, credentials and callbacks.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "sdk/xml/client.h"

using namespace kalax;
using namespace kalax::xml;

namespace {

constexpr char kUploadRequest[] =
    "POST /setup.xml HTTP/1.0\r\n%sContent-Type: text/xml\r\nContent-Length: %i\r\n\r\n%s";
constexpr char kSnmpRequest[] = "POST /setup.xml HTTP/1.0\r\nContent-Type: text/xml\r\nContent-Length: %i\r\n\r\n%s";
constexpr char kTrapDocument[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>\n<SnmpTraps>\n<Entry>\n<Idx>1</Idx>\n"
    "<Community>orchid</Community>\n<IPaddr>%s</IPaddr>\n<Port>%i</Port>\n<E>1</E>\n</Entry>\n"
    "</SnmpTraps>\n</Root>";

// Writes the POST of a reduced document into `send`; code 75 when the whole
// request would not fit, and then nothing is left in the buffer.
int write_request(int module, const zxxml_settings_struct &settings, const char *document, char *send) {
    Client &c = client();
    char auth[400] = "";
    if (settings.set_user[0] &&
        rt::authorization_line(settings.set_user, settings.set_password, auth, sizeof auth) < 0) {
        c.rt.set_error(module, kBUFFER_FULL);
        return -1;
    }
    std::memset(send, 0, kBufferSize);
    const int n = std::snprintf(send, kBufferSize, kUploadRequest, auth, static_cast<int>(std::strlen(document)),
                                document);
    if (n < 0 || n >= kBufferSize) {
        std::memset(send, 0, kBufferSize);
        c.rt.set_error(module, kBUFFER_FULL);
        return -1;
    }
    return 0;
}

// Reduces a caller's document in a working copy of `capacity` bytes and writes
// the request for it.
int build_from_text(int module, const char *text, int capacity, const zxxml_settings_struct &settings, char *send) {
    Client &c = client();
    std::unique_ptr<char[]> copy(new (std::nothrow) char[static_cast<size_t>(capacity) + 1]);
    if (!copy) return c.rt.fail(module, kMEMORY);
    std::memset(copy.get(), 0, static_cast<size_t>(capacity) + 1);
    std::memcpy(copy.get(), text, strnlen(text, static_cast<size_t>(capacity)));
    if (const int code = xmldoc::prepare_setup(copy.get(), static_cast<size_t>(capacity))) return c.rt.fail(module, code);
    return write_request(module, settings, copy.get(), send);
}

// Writes the document of a record pair, reduces it and writes the request.
int build_from_record(int module, const zxxml_setup_struct &setup, const zxxml_setup_count_struct &counts,
                      const zxxml_settings_struct &settings, char *send) {
    Client &c = client();
    // Not a vector: its bad_alloc would leave through the C interface.
    std::unique_ptr<char[]> text(new (std::nothrow) char[kBufferSize]());
    if (!text) return c.rt.fail(module, kMEMORY);
    if (const int code = xmldoc::write_setup(setup, counts, text.get(), kBufferSize)) return c.rt.fail(module, code);
    if (const int code = xmldoc::prepare_setup(text.get(), std::strlen(text.get()))) return c.rt.fail(module, code);
    return write_request(module, settings, text.get(), send);
}

// Queues an upload: the state check, the send flag set pending, the requests
// built by `build`, one post. A failed build puts the flag back as it was, so
// the next wake never sends a stale or half-written buffer.
template <typename Build>
int queue_upload(int module, Build build) {
    if (!check_module(module)) return -1;
    Client &c = client();
    Module &m = c.modules[module];
    int32_t before;
    {
        rt::SlotLock lock(c.rt, module);
        if (!require_running(c, module)) return -1;
        before = m.send_flag;
        m.send_flag = kPending;
    }
    if (build(m) != 0) {
        rt::SlotLock lock(c.rt, module);
        m.send_flag = before;
        return -1;
    }
    c.post_request(module);
    return 0;
}

// Every member in index order, active or not; the first failure ends it.
template <typename Each>
int for_each_member(Module &m, Each each) {
    for (int i = 0; i < m.member_count; ++i)
        if (each(*m.members[i]) != 0) return -1;
    return 0;
}

int set_credentials(int module, const char *user, const char *password, bool for_get) {
    if (!check_module(module)) return -1;
    Client &c = client();
    user = user ? user : "";
    password = password ? password : "";
    if (std::strlen(user) >= AUTHENTICATE_MAX) return c.rt.fail(module, kUSER_TOO_LONG);
    if (std::strlen(password) >= AUTHENTICATE_MAX) return c.rt.fail(module, kPASSWORD_TOO_LONG);
    Module &m = c.modules[module];
    rt::SlotLock lock(c.rt, module);
    char *u = for_get ? m.settings.get_user : m.settings.set_user;
    char *p = for_get ? m.settings.get_password : m.settings.set_password;
    std::snprintf(u, AUTHENTICATE_MAX, "%s", user);
    std::snprintf(p, AUTHENTICATE_MAX, "%s", password);
    return 0;
}

int null_argument(int module) {
    client().rt.set_error(module, kNULL_POINTER);
    return -1;
}

}  // namespace

extern "C" {

int zxxml_send_setup_xml(int module, const char *text, int length) {
    if (!check_module(module)) return -1;
    if (!text) return null_argument(module);
    const int capacity = (length > 0 ? length : 0) + 1024;
    return queue_upload(module, [&](Module &m) {
        return build_from_text(module, text, capacity, m.settings, m.send);
    });
}

int zxxml_send_setup_xml_many(int module, const char *text, int length) {
    if (!check_module(module)) return -1;
    if (!text) return null_argument(module);
    const int capacity = (length > 0 ? length : 0) + 1024;
    return queue_upload(module, [&](Module &m) {
        return for_each_member(m, [&](Member &member) {
            return build_from_text(module, text, capacity, member.settings, member.send);
        });
    });
}

int zxxml_send_setup(int module, const zxxml_setup_struct *setup, const zxxml_setup_count_struct *counts) {
    if (!check_module(module)) return -1;
    if (!setup || !counts) return null_argument(module);
    return queue_upload(module, [&](Module &m) {
        return build_from_record(module, *setup, *counts, m.settings, m.send);
    });
}

int zxxml_send_setup_many(int module, zxxml_setup_modifier_t modifier) {
    return queue_upload(module, [&](Module &m) {
        return for_each_member(m, [&](Member &member) {
            if (modifier) modifier(&member.setup_record);
            return build_from_record(module, member.setup_record, member.setup_counts, member.settings,
                                     member.send);
        });
    });
}

int zxxml_set_snmp_manager(int module, const char *address, int port) {
    if (!check_module(module)) return -1;
    Client &c = client();
    if (!address) return null_argument(module);
    if (c.modules[module].is_group()) {
        // A group's worker sends only its members' buffers: this would never leave.
        c.rt.set_error(module, kACTION_NOT_VALID);
        return -1;
    }
    return queue_upload(module, [&](Module &m) {
        char document[512];
        const int d = std::snprintf(document, sizeof document, kTrapDocument, address, port);
        if (d < 0 || static_cast<size_t>(d) >= sizeof document) return c.rt.fail(module, kBUFFER_FULL);
        std::memset(m.send, 0, kBufferSize);
        std::snprintf(m.send, kBufferSize, kSnmpRequest, d, document);
        return 0;
    });
}

int zxxml_get_snmp_manager(int module) {
    if (!check_module(module)) return -1;
    Client &c = client();
    Module &m = c.modules[module];
    {
        rt::SlotLock lock(c.rt, module);
        if (!require_running(c, module)) return -1;
        m.setup_flag = kPending;
        m.snmp_flag = kPending;
        m.snmp_extract = 1;
        m.setup[0] = '\0';
        m.setup_length = 0;
    }
    c.post_request(module);
    return 0;
}

int zxxml_get_snmp_manager_cache(int module, char *address, int *port) {
    if (!check_module(module)) return -1;
    Client &c = client();
    Module &m = c.modules[module];
    rt::SlotLock lock(c.rt, module);
    if (!m.snmp_address[0]) return c.rt.fail(module, kIP_PORT_NOT_FOUND);
    if (address) {
        std::memset(address, 0, kAddressSize);
        std::memcpy(address, m.snmp_address, strnlen(m.snmp_address, 15));
    }
    if (port) *port = m.snmp_port;
    return 0;
}

int zxxml_authenticate_get(int module, const char *user, const char *password) {
    return set_credentials(module, user, password, true);
}

int zxxml_authenticate_set(int module, const char *user, const char *password) {
    return set_credentials(module, user, password, false);
}

int zxxml_callback(int module, const zxxml_callback_struct *callbacks) {
    if (!check_module(module)) return -1;
    Client &c = client();
    Module &m = c.modules[module];
    rt::SlotLock lock(c.rt, module);
    if (!require_running(c, module)) return -1;
    if (callbacks)
        m.settings.callbacks = *callbacks;
    else
        std::memset(&m.settings.callbacks, 0, sizeof m.settings.callbacks);
    return 0;
}

int zxxml_clr_callback(int, zxxml_callback_struct *callbacks) {
    if (callbacks) std::memset(callbacks, 0, sizeof *callbacks);
    return 0;
}

}  // extern "C"
