// The device wrapper's item operations over the XML client's caches.
#include "zxapi/sensor_module.h"

#include "kalax/zxxml.h"

namespace zxapi {

namespace {

struct ModuleAddress {
    char ip[16] = {};
    int port = 0;
};

ModuleAddress AddressOf(int module) {
    ModuleAddress a;
    // The items carry whatever the client reports; a failure leaves them empty.
    (void)zxxml_get_module(module, a.ip, &a.port);
    a.ip[sizeof a.ip - 1] = '\0';
    return a;
}

// Runs `fn` on the buffer object for the module's cached record; -1 when the
// client has none.
template <class Fn>
int WithModuleBuffer(int module, bool setup, Fn &&fn) {
    if (!setup) {
        zxxml_values_struct *values = nullptr;
        zxxml_values_count_struct *counts = nullptr;
        if (zxxml_get_values_cache(module, &values, &counts) < 0 || values == nullptr || counts == nullptr) return -1;
        const ModuleAddress a = AddressOf(module);
        const TValuesXml<TValuesXmlBuffer> xml(MakeValuesBuffer(values, counts, a.ip, a.port));
        return fn(static_cast<const TValuesXml<TValuesXmlBuffer> &>(xml));
    }
    zxxml_setup_struct *record = nullptr;
    zxxml_setup_count_struct *counts = nullptr;
    if (zxxml_get_setup_cache(module, &record, &counts) < 0 || record == nullptr || counts == nullptr) return -1;
    const ModuleAddress a = AddressOf(module);
    const TSetupXml<TSetupXmlBuffer> xml(MakeSetupBuffer(record, counts, a.ip, a.port));
    return fn(static_cast<const TValuesXml<TSetupXmlBuffer> &>(xml));
}

}  // namespace

int CountXmlItems(int module, bool setup) {
    return WithModuleBuffer(module, setup, [](const auto &xml) { return xml.GetCount(); });
}

int GetXmlItem(int module, bool setup, int i, TXmlSensorEnum &item) {
    return WithModuleBuffer(module, setup, [&](const auto &xml) { return xml.GetItem(i, item) == -2 ? -3 : 0; });
}

}  // namespace zxapi
