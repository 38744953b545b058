// The in-process server on Windows: the four entry points regsvr32 and
// CoCreateInstance find by name, and the registry entries of both classes with
// the registration of the carried type library (the class objects are in
// class_objects.cpp).
#include <string>
#include <vector>

#include "ax/com.h"
#include "ax/kalax_objects.h"
#include "ax/object.h"
#include "ax/win32/module_win32.h"
#include "kalax/ax.h"

namespace kalax::ax::win32 {

std::wstring module_path() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&module_path), &self))
        return {};
    // The path may be longer than MAX_PATH: grow until it fits.
    for (DWORD size = MAX_PATH; size <= 32768; size *= 2) {
        std::wstring path(size, L'\0');
        const DWORD n = GetModuleFileNameW(self, path.data(), size);
        if (n == 0) return {};
        if (n < size) {
            path.resize(n);
            return path;
        }
    }
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return {};
}

}  // namespace kalax::ax::win32

namespace kalax::ax::lib {

namespace {

struct ServerObject {
    const CLSID &clsid;
    const wchar_t *progid;
};

const ServerObject kObjects[] = {
    {CLSID_IoXml, L"KalAx.IoXml"},
    {CLSID_KalLog, L"KalAx.KalLog"},
};

std::wstring guid_wtext(const GUID &g) {
    wchar_t buf[40];
    return StringFromGUID2(g, buf, 40) ? std::wstring(buf) : std::wstring();
}

// An open registry key, closed when it goes.
class Key {
public:
    Key() = default;
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;
    ~Key() {
        if (h_) RegCloseKey(h_);
    }
    HKEY *put() { return &h_; }
    HKEY get() const { return h_; }

private:
    HKEY h_ = nullptr;
};

// Writes one string value (`name` empty: the key's default value) under HKEY_CLASSES_ROOT.
HRESULT set_string(const std::wstring &key, const wchar_t *name, const std::wstring &data) {
    Key k;
    LSTATUS rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                 nullptr, k.put(), nullptr);
    if (rc == ERROR_SUCCESS)
        rc = RegSetValueExW(k.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE *>(data.c_str()),
                            static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc);
}

// The path as registered: its short (8.3) form when it holds white space, so
// that hosts splitting the value at blanks still find the file.
std::wstring registered_path(const std::wstring &path) {
    if (path.find_first_of(L" \t") == std::wstring::npos) return path;
    const DWORD n = GetShortPathNameW(path.c_str(), nullptr, 0);
    if (n == 0) return path;
    std::wstring s(n, L'\0');
    const DWORD m = GetShortPathNameW(path.c_str(), s.data(), n);
    if (m == 0 || m >= n) return path;
    s.resize(m);
    return s;
}

std::wstring folder_of(const std::wstring &path) {
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

HRESULT register_object(const ServerObject &o, ITypeLib *lib, const std::wstring &path, const std::wstring &version,
                        const std::wstring &libid) {
    ComPtr<ITypeInfo> coclass;
    if (const HRESULT hr = lib->GetTypeInfoOfGuid(o.clsid, coclass.put()); FAILED(hr)) return hr;
    Bstr doc;
    if (const HRESULT hr = coclass->GetDocumentation(MEMBERID_NIL, nullptr, doc.put(), nullptr, nullptr); FAILED(hr))
        return hr;
    const std::wstring desc(doc.get() ? doc.get() : L"", doc.size());
    const std::wstring clsid = L"CLSID\\" + guid_wtext(o.clsid);
    const struct {
        std::wstring key;
        const wchar_t *name;
        std::wstring data;
    } entries[] = {
        {clsid, nullptr, desc},
        {clsid + L"\\InprocServer32", nullptr, path},
        {clsid + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
        {o.progid, nullptr, desc},
        {std::wstring(o.progid) + L"\\CLSID", nullptr, guid_wtext(o.clsid)},
        {clsid + L"\\ProgID", nullptr, o.progid},
        {clsid + L"\\Version", nullptr, version},
        {clsid + L"\\Typelib", nullptr, libid},
    };
    for (const auto &e : entries)
        if (const HRESULT hr = set_string(e.key, e.name, e.data); FAILED(hr)) return hr;
    return S_OK;
}

}  // namespace

}  // namespace kalax::ax::lib

using namespace kalax::ax;
using namespace kalax::ax::lib;

extern "C" {

ZX_API HRESULT STDAPICALLTYPE DllRegisterServer(void) {
    const std::wstring file = win32::module_path();
    if (file.empty()) return report_error(E_FAIL, IID_NULL, "KalAx", "The library cannot tell the path it was loaded from");
    const std::wstring path = registered_path(file);
    ComPtr<ITypeLib> lib;
    if (const HRESULT hr = win32::carried_type_lib(lib.put()); FAILED(hr)) return hr;
    TLIBATTR *attr = nullptr;
    if (const HRESULT hr = lib->GetLibAttr(&attr); FAILED(hr)) return hr;
    const std::wstring version = std::to_wstring(attr->wMajorVerNum) + L"." + std::to_wstring(attr->wMinorVerNum);
    const std::wstring libid = guid_wtext(attr->guid);
    lib->ReleaseTLibAttr(attr);
    for (const ServerObject &o : kObjects)
        if (const HRESULT hr = register_object(o, lib.get(), path, version, libid); FAILED(hr)) return hr;
    // The type library under the same path, its help directory the library's folder.
    std::wstring reg_path = path, help = folder_of(file);
    return RegisterTypeLib(lib.get(), reg_path.data(), help.data());
}

// Deletes both classes' CLSID and ProgID trees; missing keys are no failure and
// the type library stays registered.
ZX_API HRESULT STDAPICALLTYPE DllUnregisterServer(void) {
    for (const ServerObject &o : kObjects) {
        const std::wstring clsid = L"CLSID\\" + guid_wtext(o.clsid);
        RegDeleteTreeW(HKEY_CLASSES_ROOT, clsid.c_str());
        RegDeleteKeyW(HKEY_CLASSES_ROOT, clsid.c_str());
        RegDeleteTreeW(HKEY_CLASSES_ROOT, o.progid);
        RegDeleteKeyW(HKEY_CLASSES_ROOT, o.progid);
    }
    return S_OK;
}

ZX_API HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void **ppv) {
    return get_class_object(rclsid, riid, ppv);
}

ZX_API HRESULT STDAPICALLTYPE DllCanUnloadNow(void) { return can_unload_now(); }

}  // extern "C"
