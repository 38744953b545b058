// Apartments, per-thread error info, GUID texts and creating objects from the registry.
#include "ax/apartment.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "ax/registry.h"
#include "sdk/runtime/platform_files.h"

namespace kalax::ax {
namespace {

struct ThreadState {
    int initialized = 0;
    ComPtr<IErrorInfo> error;
};

ThreadState &thread_state() {
    thread_local ThreadState state;
    return state;
}

class ErrorInfo final : public Simple<IErrorInfo> {
public:
    ErrorInfo(const GUID &iid, BSTR source, BSTR description)
        : Simple(IID_IErrorInfo), iid_(iid), source_(source), description_(description) {}

    HRESULT GetGUID(GUID *pGUID) override {
        if (!pGUID) return E_INVALIDARG;
        *pGUID = iid_;
        return S_OK;
    }
    HRESULT GetSource(BSTR *out) override { return copy(source_, out); }
    HRESULT GetDescription(BSTR *out) override { return copy(description_, out); }
    HRESULT GetHelpFile(BSTR *out) override {
        if (!out) return E_INVALIDARG;
        *out = nullptr;
        return S_OK;
    }
    HRESULT GetHelpContext(DWORD *out) override {
        if (!out) return E_INVALIDARG;
        *out = 0;
        return S_OK;
    }

private:
    static HRESULT copy(const Bstr &from, BSTR *out) {
        if (!out) return E_INVALIDARG;
        *out = from.get() ? zxax_SysAllocStringLen(from.get(), from.size()) : nullptr;
        return from.get() && !*out ? E_OUTOFMEMORY : S_OK;
    }

    GUID iid_;
    Bstr source_, description_;
};

}  // namespace

bool apartment_active() { return thread_state().initialized > 0; }

HRESULT report_error(HRESULT hr, const IID &iid, std::string_view source, std::string_view description) {
    auto *info = new (std::nothrow) ErrorInfo(iid, bstr_from_utf8(source), bstr_from_utf8(description));
    if (info) {
        zxax_SetErrorInfo(0, info);
        info->Release();
    }
    return hr;
}

}  // namespace kalax::ax

using namespace kalax::ax;

namespace {

bool narrow(LPCOLESTR s, std::string &out) {
    if (!s) return false;
    return utf16_to_utf8(std::u16string_view(s), out);
}

}  // namespace

extern "C" {

HRESULT zxax_GetErrorInfo(ULONG, IErrorInfo **pperrinfo) {
    if (!pperrinfo) return E_INVALIDARG;
    *pperrinfo = thread_state().error.detach();
    return *pperrinfo ? S_OK : S_FALSE;
}

HRESULT zxax_SetErrorInfo(ULONG, IErrorInfo *perrinfo) {
    thread_state().error = ComPtr<IErrorInfo>(perrinfo);
    return S_OK;
}

HRESULT zxax_CoInitialize(void *) {
    ThreadState &state = thread_state();
    return state.initialized++ ? S_FALSE : S_OK;
}

void zxax_CoUninitialize(void) {
    ThreadState &state = thread_state();
    if (state.initialized > 0 && --state.initialized == 0) state.error.reset();
}

HRESULT zxax_CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
    if (!pclsid) return E_INVALIDARG;
    std::string text;
    if (!narrow(lpsz, text)) return CO_E_CLASSSTRING;
    if (!text.empty() && text[0] != '{') return zxax_CLSIDFromProgID(lpsz, pclsid);
    return guid_parse(text, *pclsid) ? S_OK : CO_E_CLASSSTRING;
}

HRESULT zxax_CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
    if (!lpszProgID || !lpclsid) return E_INVALIDARG;
    std::string progid, value, error;
    if (!narrow(lpszProgID, progid) || progid.empty() || progid.find('\\') != std::string::npos)
        return CO_E_CLASSSTRING;
    const HRESULT hr = Registry().get_string("HKEY_CLASSES_ROOT\\" + progid + "\\CLSID", "", value, &error);
    if (FAILED(hr)) return report_error(hr, IID_NULL, "registry", error);
    if (hr != S_OK || !guid_parse(value, *lpclsid)) return CO_E_CLASSSTRING;
    return S_OK;
}

int zxax_StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    if (!lpsz || cchMax < 39) return 0;
    const std::string text = guid_text(rguid);
    for (size_t i = 0; i < text.size(); ++i) lpsz[i] = static_cast<OLECHAR>(text[i]);
    lpsz[text.size()] = 0;
    return 39;
}

HRESULT zxax_CoCreateInstance(REFCLSID rclsid, IUnknown *pUnkOuter, DWORD dwClsContext, REFIID riid, void **ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!apartment_active()) return CO_E_NOTINITIALIZED;
    if (!(dwClsContext & (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER))) return REGDB_E_CLASSNOTREG;
    std::string path, error;
    const std::string key = "HKEY_CLASSES_ROOT\\CLSID\\" + guid_text(rclsid) + "\\InprocServer32";
    HRESULT hr = Registry().get_string(key, "", path, &error);
    if (FAILED(hr)) return report_error(hr, IID_NULL, "registry", error);
    if (hr != S_OK || path.empty()) return REGDB_E_CLASSNOTREG;
    kalax::platform::Library library;
    if (!library.open(path, error)) return report_error(CO_E_DLLNOTFOUND, IID_NULL, path, error);
    auto get = reinterpret_cast<LPFNGETCLASSOBJECT>(library.symbol("DllGetClassObject"));
    if (!get) return report_error(CO_E_ERRORINDLL, IID_NULL, path, "no DllGetClassObject");
    ComPtr<IClassFactory> factory;
    hr = get(rclsid, IID_IClassFactory, reinterpret_cast<void **>(factory.put()));
    if (FAILED(hr)) return hr;
    if (!factory) return CO_E_ERRORINDLL;
    return factory->CreateInstance(pUnkOuter, riid, ppv);
}

}  // extern "C"
