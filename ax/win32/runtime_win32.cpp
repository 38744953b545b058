// The runtime pieces the automation objects use, on the platform's own
// component model: strings and error info from oleaut32, and IDispatch through
// ITypeInfo::Invoke with the type information of the type library that this
// library carries as its resource TYPELIB 1.
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "ax/apartment.h"
#include "ax/com.h"
#include "ax/describe.h"
#include "ax/win32/module_win32.h"

namespace kalax::ax {

BSTR bstr_from(std::u16string_view text) {
    return SysAllocStringLen(ole_of(text.data()), static_cast<UINT>(text.size()));
}

BSTR bstr_from_utf8(std::string_view text) {
    std::u16string u;
    if (!utf8_to_utf16(text, u)) return nullptr;
    return bstr_from(u);
}

HRESULT report_error(HRESULT hr, const IID &iid, std::string_view source, std::string_view description) {
    ComPtr<ICreateErrorInfo> create;
    if (FAILED(CreateErrorInfo(create.put()))) return hr;
    Bstr src(bstr_from_utf8(source)), desc(bstr_from_utf8(description));
    create->SetGUID(iid);
    create->SetSource(src.get());
    create->SetDescription(desc.get());
    ComPtr<IErrorInfo> info;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void **>(info.put()))))
        SetErrorInfo(0, info.get());
    return hr;
}

void fill_excepinfo(EXCEPINFO *info, HRESULT hr) {
    if (!info) return;  // the error info stays for GetErrorInfo
    ComPtr<IErrorInfo> error;
    if (GetErrorInfo(0, error.put()) != S_OK) error.reset();
    std::memset(info, 0, sizeof *info);
    info->scode = hr;
    if (error) {
        error->GetSource(&info->bstrSource);
        error->GetDescription(&info->bstrDescription);
        error->GetHelpFile(&info->bstrHelpFile);
        error->GetHelpContext(&info->dwHelpContext);
    }
}

namespace win32 {

namespace {

// The carried type library, loaded once and kept while the library is loaded.
class CarriedTypeLib {
public:
    HRESULT get(ITypeLib **out) {
        std::call_once(once_, [this] {
            const std::wstring path = module_path();
            if (path.empty()) {
                hr_ = HRESULT_FROM_WIN32(GetLastError());
                return;
            }
            hr_ = LoadTypeLibEx(path.c_str(), REGKIND_NONE, lib_.put());
        });
        if (FAILED(hr_)) return hr_;
        *out = lib_.get();
        (*out)->AddRef();
        return S_OK;
    }

private:
    std::once_flag once_;
    HRESULT hr_ = E_UNEXPECTED;
    ComPtr<ITypeLib> lib_;
};

CarriedTypeLib g_typelib;

}  // namespace

HRESULT carried_type_lib(ITypeLib **out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    return g_typelib.get(out);
}

}  // namespace win32

HRESULT type_lib_of(const LibraryDesc &, ITypeLib **out) { return win32::carried_type_lib(out); }

// The type information the description `type` stands for in the carried library.
HRESULT type_info_of(const TypeDesc &type, ITypeInfo **out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    ComPtr<ITypeLib> lib;
    if (const HRESULT hr = win32::carried_type_lib(lib.put()); FAILED(hr)) return hr;
    return lib->GetTypeInfoOfGuid(type.guid, out);
}

namespace {

// A dual interface's calls go through its vtable half: the dispatch half's
// members would be invoked through IDispatch::Invoke, that is, back here.
HRESULT vtable_info_of(const TypeDesc &type, ITypeInfo **out) {
    ComPtr<ITypeInfo> info;
    if (const HRESULT hr = type_info_of(type, info.put()); FAILED(hr)) return hr;
    HREFTYPE ref = 0;
    if (SUCCEEDED(info->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref))) return info->GetRefTypeInfo(ref, out);
    *out = info.detach();
    return S_OK;
}

}  // namespace

HRESULT dispatch_ids(const TypeDesc &type, LPOLESTR *names, UINT count, DISPID *ids) {
    if (!names || !ids) return E_POINTER;
    ComPtr<ITypeInfo> info;
    if (const HRESULT hr = vtable_info_of(type, info.put()); FAILED(hr)) return hr;
    return DispGetIDsOfNames(info.get(), names, count, ids);
}

HRESULT dispatch_invoke(const TypeDesc &type, void *self, DISPID id, WORD flags, DISPPARAMS *params,
                        VARIANT *result, EXCEPINFO *excep, UINT *arg_err) {
    ComPtr<ITypeInfo> info;
    if (const HRESULT hr = vtable_info_of(type, info.put()); FAILED(hr)) return hr;
    return info->Invoke(self, id, flags, params, result, excep, arg_err);
}

}  // namespace kalax::ax
