// The runtime pieces the automation objects use, on the platform's own
// component model: strings and error info from oleaut32, and IDispatch through
// ITypeInfo::Invoke with the type information of the type library that this
// library carries as its resource TYPELIB 1.
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "ax/apartment.h"
#include "ax/com.h"
#include "ax/describe.h"
#include "ax/unwritten.h"
#include "ax/win32/module_win32.h"

namespace kalax::ax {

BSTR bstr_from(std::u16string_view text) {
    return SysAllocStringLen(ole_of(text.data()), static_cast<UINT>(text.size()));
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

namespace {

// The automation type a parameter passed by reference points at: VT_EMPTY when
// it is not a pointer, points at a VARIANT, or at something other than a
// scalar, string or enumeration (a record stays the system's business).
VARTYPE pointee_type(ITypeInfo *info, const TYPEDESC &t) {
    if (t.vt != VT_PTR || !t.lptdesc) return VT_EMPTY;
    const TYPEDESC &inner = *t.lptdesc;
    if (inner.vt != VT_USERDEFINED) return inner.vt == VT_VARIANT || inner.vt == VT_PTR ? VARTYPE{VT_EMPTY} : inner.vt;
    ComPtr<ITypeInfo> ref;
    if (FAILED(info->GetRefTypeInfo(inner.hreftype, ref.put()))) return VT_EMPTY;
    TYPEATTR *attr = nullptr;
    if (FAILED(ref->GetTypeAttr(&attr))) return VT_EMPTY;
    VARTYPE vt = VT_EMPTY;
    if (attr->typekind == TKIND_ENUM) vt = VT_I4;
    else if (attr->typekind == TKIND_ALIAS) vt = attr->tdescAlias.vt;
    ref->ReleaseTypeAttr(attr);
    return vt;
}

// A variable a script passed by reference (VT_BYREF|VT_VARIANT) for a
// parameter of another type: the call gets a value of the parameter's type,
// and the variable receives it afterwards.
struct ByrefVariable {
    VARIANT *variable;
    VARIANT value;
    VARTYPE vt;
};

// The member `id` that `flags` selects; null when there is none.
FUNCDESC *member_of(ITypeInfo *info, DISPID id, WORD flags) {
    TYPEATTR *attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) return nullptr;
    const UINT count = attr->cFuncs;
    info->ReleaseTypeAttr(attr);
    for (UINT i = 0; i < count; ++i) {
        FUNCDESC *f = nullptr;
        if (FAILED(info->GetFuncDesc(i, &f))) continue;
        if (f->memid == id && (f->invkind & flags)) return f;
        info->ReleaseFuncDesc(f);
    }
    return nullptr;
}

}  // namespace

// The system's ITypeInfo::Invoke refuses a script's variables passed by
// reference for [out] parameters that are not VARIANTs (DISP_E_TYPEMISMATCH):
// those are passed as values of the parameter's own type and written back.
HRESULT dispatch_invoke(const TypeDesc &type, void *self, DISPID id, WORD flags, DISPPARAMS *params,
                        VARIANT *result, EXCEPINFO *excep, UINT *arg_err) {
    ComPtr<ITypeInfo> info;
    if (const HRESULT hr = vtable_info_of(type, info.put()); FAILED(hr)) return hr;
    if (!params || params->cArgs == 0 || params->cNamedArgs != 0 || !params->rgvarg)
        return info->Invoke(self, id, flags, params, result, excep, arg_err);
    bool byref_variables = false;
    for (UINT i = 0; i < params->cArgs; ++i) byref_variables |= params->rgvarg[i].vt == (VT_BYREF | VT_VARIANT);
    FUNCDESC *f = byref_variables ? member_of(info.get(), id, flags) : nullptr;
    if (!f) return info->Invoke(self, id, flags, params, result, excep, arg_err);

    std::vector<VARIANT> args(params->rgvarg, params->rgvarg + params->cArgs);
    std::vector<ByrefVariable> adapted;
    adapted.reserve(args.size());  // the arguments point into it
    HRESULT hr = S_OK;
    const UINT declared = static_cast<UINT>(f->cParams);
    for (UINT k = 0; k < args.size() && k < declared && SUCCEEDED(hr); ++k) {
        VARIANT &arg = args[args.size() - 1 - k];  // rgvarg holds the last argument first
        if (arg.vt != (VT_BYREF | VT_VARIANT) || !arg.pvarVal) continue;
        const ELEMDESC &param = f->lprgelemdescParam[k];
        const VARTYPE vt = pointee_type(info.get(), param.tdesc);
        if (vt == VT_EMPTY) continue;
        ByrefVariable &b = adapted.emplace_back(ByrefVariable{arg.pvarVal, {}, vt});
        VariantInit(&b.value);
        const bool in = (param.paramdesc.wParamFlags & PARAMFLAG_FIN) != 0;
        if (in && b.variable->vt != VT_EMPTY) {
            hr = VariantChangeType(&b.value, b.variable, 0, vt);
            if (FAILED(hr) && arg_err) *arg_err = static_cast<UINT>(args.size() - 1 - k);
        } else if (in) {
            b.value.vt = vt;  // zero of its type
        } else {
            mark_unwritten(b.value);  // typed once written
        }
        arg.vt = static_cast<VARTYPE>(VT_BYREF | vt);
        arg.byref = &b.value.llVal;
    }
    info->ReleaseFuncDesc(f);
    if (SUCCEEDED(hr)) {
        DISPPARAMS call{args.data(), nullptr, params->cArgs, 0};
        hr = info->Invoke(self, id, flags, &call, result, excep, arg_err);
    }
    for (ByrefVariable &b : adapted) {
        if (b.value.vt == VT_EMPTY) {
            if (!was_written(b.value)) continue;  // the variable keeps what it held
            b.value.vt = b.vt;
        }
        if (SUCCEEDED(hr)) {
            VariantClear(b.variable);
            *b.variable = b.value;  // the value's ownership moves to the variable
        } else {
            VariantClear(&b.value);
        }
    }
    return hr;
}

}  // namespace kalax::ax
