// The in-process server: the entry points a host finds by name, and what
// registration makes known (the class objects are in class_objects.cpp).
#include <string>
#include <vector>

#include "ax/com.h"
#include "ax/kalax_objects.h"
#include "ax/object.h"
#include "ax/registry.h"
#include "kalax/ax.h"
#include "sdk/runtime/platform_files.h"

namespace kalax::ax::lib {

namespace {

struct ServerObject {
    const CLSID &clsid;
    const char *progid;
    const TypeDesc &(*coclass)();
};

const ServerObject kObjects[] = {
    {CLSID_IoXml, "KalAx.IoXml", &ioxml_coclass},
    {CLSID_KalLog, "KalAx.KalLog", &kalax::ax::lib::kallog_coclass},
};

const std::string kRoot = "HKEY_CLASSES_ROOT\\";
// The automation proxies of a dual interface and of a dispatch interface.
constexpr const char *kProxyDual = "{00020424-0000-0000-C000-000000000046}";
constexpr const char *kProxyDispatch = "{00020420-0000-0000-C000-000000000046}";

std::string folder_of(const std::string &path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
}

std::string version_text(const LibraryDesc &lib) {
    return std::to_string(lib.major) + "." + std::to_string(lib.minor);
}

}  // namespace

// What registering the library at `path` writes, in the order it is written.
std::vector<RegistryChange> registration_entries(const std::string &path) {
    const LibraryDesc &lib = kalax_library();
    const std::string libid = guid_text(lib.libid);
    const std::string version = version_text(lib);
    std::vector<RegistryChange> out;
    auto set = [&out](std::string key, std::string name, std::string data) {
        out.push_back({RegistryChange::SetString, kRoot + key, std::move(name), std::move(data)});
    };
    for (const ServerObject &o : kObjects) {
        const std::string clsid = "CLSID\\" + guid_text(o.clsid);
        const std::string &desc = o.coclass().doc;
        set(clsid, "", desc);
        set(clsid + "\\InprocServer32", "", path);
        set(clsid + "\\InprocServer32", "ThreadingModel", "Apartment");
        set(o.progid, "", desc);
        set(std::string(o.progid) + "\\CLSID", "", guid_text(o.clsid));
        set(clsid + "\\ProgID", "", o.progid);
        set(clsid + "\\Version", "", version);
        set(clsid + "\\Typelib", "", libid);
    }
    // The type library, as a Windows registration writes it, for this platform.
    char lcid[16];
    std::snprintf(lcid, sizeof lcid, "%x", static_cast<unsigned>(lib.lcid));
    const std::string tl = "TypeLib\\" + libid + "\\" + version;
    set(tl, "", lib.doc);
    set(tl + "\\" + lcid + "\\linux64", "", path);
    set(tl + "\\FLAGS", "", "0");
    set(tl + "\\HELPDIR", "", folder_of(path));
    for (const TypeDesc *t : lib.types) {
        if (t->kind != TKIND_DISPATCH) continue;
        const std::string key = "Interface\\" + guid_text(t->guid);
        const char *proxy = t->dual() ? kProxyDual : kProxyDispatch;
        set(key, "", t->name);
        set(key + "\\ProxyStubClsid", "", proxy);
        set(key + "\\ProxyStubClsid32", "", proxy);
        set(key + "\\TypeLib", "", libid);
        set(key + "\\TypeLib", "Version", version);
    }
    return out;
}

std::vector<RegistryChange> unregistration_entries() {
    std::vector<RegistryChange> out;
    for (const ServerObject &o : kObjects) {
        out.push_back({RegistryChange::DeleteTree, kRoot + "CLSID\\" + guid_text(o.clsid), "", ""});
        out.push_back({RegistryChange::DeleteTree, kRoot + o.progid, "", ""});
    }
    return out;
}

}  // namespace kalax::ax::lib

using namespace kalax::ax;
using namespace kalax::ax::lib;

extern "C" {

ZX_API HRESULT DllRegisterServer(void) {
    // The path is stored as it is: the registry file quotes every string, so a
    // blank needs no short form here.
    const std::string path = kalax::platform::loaded_file_of(reinterpret_cast<const void *>(&DllRegisterServer));
    if (path.empty())
        return report_error(E_FAIL, IID_NULL, "KalAx", "The library cannot tell the path it was loaded from");
    ComPtr<ITypeLib> typelib;
    ITypeLib *tl = nullptr;
    if (const HRESULT hr = type_lib_of(kalax_library(), &tl); FAILED(hr)) return hr;
    typelib = ComPtr<ITypeLib>::adopt(tl);
    std::string error;
    const HRESULT hr = Registry().apply(registration_entries(path), &error);
    return FAILED(hr) ? report_error(hr, IID_NULL, "registry", error) : S_OK;
}

ZX_API HRESULT DllUnregisterServer(void) {
    // Missing keys are no failure; the type library stays registered.
    std::string error;
    Registry().apply(unregistration_entries(), &error);
    return S_OK;
}

ZX_API HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void **ppv) {
    return get_class_object(rclsid, riid, ppv);
}

ZX_API HRESULT DllCanUnloadNow(void) { return can_unload_now(); }

}  // extern "C"
