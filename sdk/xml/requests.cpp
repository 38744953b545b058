// The request-queueing calls and the parse of a slot's texts into its records.
#include <cstring>
#include <memory>
#include <new>

#include "sdk/xml/client.h"

namespace kalax::xml {

int xml_parse(int module, char *text, int length, int kind) {
    Client &c = client();
    Module &m = c.modules[rt::clamp_slot(module)];
    if (kind == kValues) {
        if (!m.values_counts) m.values_counts.reset(new (std::nothrow) zxxml_values_count_struct{});
        if (m.values_counts && !m.values_record) m.values_record.reset(new (std::nothrow) zxxml_values_struct{});
        if (!m.values_counts || !m.values_record) return c.rt.fail(module, kMEMORY);
        const int code = xmldoc::parse_values(text, length, m.values_record.get(), m.values_counts.get());
        if (code) c.rt.set_error(module, code);
        return code ? -1 : 0;
    }
    if (kind == kSetup) {
        if (!m.setup_counts) m.setup_counts.reset(new (std::nothrow) zxxml_setup_count_struct{});
        if (m.setup_counts && !m.setup_record) m.setup_record.reset(new (std::nothrow) zxxml_setup_struct{});
        if (!m.setup_counts || !m.setup_record) return c.rt.fail(module, kMEMORY);
        const int code = xmldoc::parse_setup(text, length, m.setup_record.get(), m.setup_counts.get());
        if (code) c.rt.set_error(module, code);
        return code ? -1 : 0;
    }
    return -1;
}


}  // namespace kalax::xml

using namespace kalax;
using namespace kalax::xml;

namespace {

// The common shape of the four queueing calls: state check and flag under the
// slot lock, then one post of the request semaphore.
template <typename Mark>
int queue(int module, Mark mark) {
    if (!check_module(module)) return -1;
    Client &c = client();
    Module &m = c.modules[module];
    {
        rt::SlotLock lock(c.rt, module);
        if (!require_running(c, module)) return -1;
        mark(m);
    }
    c.post_request(module);
    return 0;
}

int load(int module, const char *text, int length, bool values) {
    if (!check_module(module)) return -1;
    Client &c = client();
    if (length >= LENGTH_MAX) return c.rt.fail(module, kLENGTH_LIMIT);
    if (!text || length < 0) return c.rt.fail(module, kNULL_POINTER);
    return queue(module, [&](Module &m) {
        char *buffer = values ? m.values : m.setup;
        std::memset(buffer, 0, kBufferSize);
        std::memcpy(buffer, text, strnlen(text, static_cast<size_t>(length)));
        if (values) {
            m.load_values_flag = kPending;
            m.values_length = length;
        } else {
            m.load_setup_flag = kPending;
            m.setup_length = length;
            m.snmp_extract = 0;
        }
    });
}

}  // namespace

extern "C" {

int zxxml_get_values(int module) {
    return queue(module, [](Module &m) {
        m.values_flag = kPending;
        m.values[0] = '\0';
        m.values_length = 0;
    });
}

int zxxml_get_setup(int module) {
    return queue(module, [](Module &m) {
        m.setup_flag = kPending;
        m.setup[0] = '\0';
        m.setup_length = 0;
        m.snmp_extract = 0;
    });
}

int zxxml_load_values(int module, const char *text, int length) { return load(module, text, length, true); }

int zxxml_load_setup(int module, const char *text, int length) { return load(module, text, length, false); }

}  // extern "C"
