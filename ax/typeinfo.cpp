// ITypeInfo, ITypeLib and IRecordInfo over the static descriptions.
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>

#include "ax/object.h"

namespace kalax::ax {
namespace {

constexpr MEMBERID kFirstVar = 0x40000000;  // enumerators and record fields

HREFTYPE href_of(const TypeDesc &owner, const TypeDesc *target) {
    return owner.library ? static_cast<HREFTYPE>(owner.library->index_of(target)) : 0;
}

size_t size_of(VARTYPE vt) {
    switch (vt) {
    case VT_UI1: case VT_I1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: return 4;
    case VT_VARIANT: return sizeof(VARIANT);
    default: return 8;
    }
}

VARTYPE storage_type(const TypeRef &t) {
    return t.vt == VT_USERDEFINED && t.user && t.user->kind == TKIND_ENUM ? static_cast<VARTYPE>(VT_I4) : t.vt;
}

// A TYPEDESC tree for one type, pointer level `by_ref`, kept alive by `keep`.
void describe(const TypeDesc &owner, const TypeRef &t, bool by_ref, TYPEDESC &out,
              std::vector<std::unique_ptr<TYPEDESC>> &keep) {
    TYPEDESC inner{};
    inner.vt = t.vt;
    if (t.vt == VT_USERDEFINED) inner.hreftype = href_of(owner, t.user);
    if (!by_ref) {
        out = inner;
        return;
    }
    keep.push_back(std::make_unique<TYPEDESC>(inner));
    out = TYPEDESC{};
    out.vt = VT_PTR;
    out.lptdesc = keep.back().get();
}


class TypeInfo final : public Simple<ITypeInfo> {
public:
    explicit TypeInfo(const TypeDesc &t) : Simple(IID_ITypeInfo), t_(t) {}

    HRESULT GetTypeAttr(TYPEATTR **out) override {
        if (!out) return E_INVALIDARG;
        auto *a = new (std::nothrow) TYPEATTR{};
        if (!a) return E_OUTOFMEMORY;
        a->guid = t_.guid;
        a->lcid = t_.library ? t_.library->lcid : 0;
        a->memidConstructor = MEMBERID_NIL;
        a->memidDestructor = MEMBERID_NIL;
        a->typekind = t_.kind;
        a->wTypeFlags = t_.flags;
        a->wMajorVerNum = t_.library ? t_.library->major : 0;
        a->wMinorVerNum = t_.library ? t_.library->minor : 0;
        a->cbAlignment = 8;
        switch (t_.kind) {
        case TKIND_DISPATCH: {
            a->cFuncs = static_cast<WORD>(t_.members.size());
            short slots = 7;
            for (const MemberDesc &m : t_.members)
                if (m.slot >= slots) slots = static_cast<short>(m.slot + 1);
            a->cbSizeVft = static_cast<WORD>(slots * sizeof(void *));
            a->cbSizeInstance = sizeof(void *);
            break;
        }
        case TKIND_ENUM:
            a->cVars = static_cast<WORD>(t_.items.size());
            a->cbSizeInstance = 4;
            a->cbAlignment = 4;
            break;
        case TKIND_RECORD:
            a->cVars = static_cast<WORD>(t_.fields.size());
            a->cbSizeInstance = t_.size;
            a->cbAlignment = t_.align;
            break;
        case TKIND_COCLASS:
            a->cImplTypes = static_cast<WORD>(t_.impls.size());
            break;
        default:
            break;
        }
        *out = a;
        return S_OK;
    }
    void ReleaseTypeAttr(TYPEATTR *a) override { delete a; }

    HRESULT GetTypeComp(ITypeComp **out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }

    HRESULT GetFuncDesc(UINT index, FUNCDESC **out) override {
        if (!out) return E_INVALIDARG;
        *out = nullptr;
        if (index >= t_.members.size()) return TYPE_E_ELEMENTNOTFOUND;
        const MemberDesc &m = t_.members[index];
        auto block = std::make_unique<FuncBlock>();
        FUNCDESC &f = block->desc;
        f.memid = m.dispid;
        f.invkind = m.kind;
        f.callconv = CC_STDCALL;
        block->params.resize(m.params.size());
        for (size_t i = 0; i < m.params.size(); ++i) {
            const ParamDesc &p = m.params[i];
            const bool by_ref = (p.flags & PARAMFLAG_FOUT) ||
                                (p.type.user && p.type.user->kind == TKIND_RECORD);
            describe(t_, p.type, by_ref, block->params[i].tdesc, block->keep);
            block->params[i].paramdesc.wParamFlags = p.flags;
        }
        f.cParams = static_cast<SHORT>(m.params.size());
        f.lprgelemdescParam = block->params.empty() ? nullptr : block->params.data();
        if (m.call) {  // a vtable member returning HRESULT
            f.funckind = FUNC_PUREVIRTUAL;
            f.oVft = static_cast<SHORT>(m.slot * static_cast<short>(sizeof(void *)));
            f.elemdescFunc.tdesc.vt = VT_HRESULT;
        } else {
            f.funckind = FUNC_DISPATCH;
            f.elemdescFunc.tdesc.vt = VT_VOID;
        }
        *out = &block->desc;
        funcs_[&block->desc] = std::move(block);
        return S_OK;
    }
    void ReleaseFuncDesc(FUNCDESC *f) override { funcs_.erase(f); }

    HRESULT GetVarDesc(UINT index, VARDESC **out) override {
        if (!out) return E_INVALIDARG;
        *out = nullptr;
        auto block = std::make_unique<VarBlock>();
        VARDESC &v = block->desc;
        v.memid = kFirstVar + static_cast<MEMBERID>(index);
        if (t_.kind == TKIND_ENUM && index < t_.items.size()) {
            zxax_VariantInit(&block->value);
            block->value.vt = VT_I4;
            block->value.lVal = t_.items[index].value;
            v.lpvarValue = &block->value;
            v.varkind = VAR_CONST;
            v.elemdescVar.tdesc.vt = VT_I4;
        } else if (t_.kind == TKIND_RECORD && index < t_.fields.size()) {
            const FieldDesc &fd = t_.fields[index];
            v.oInst = fd.offset;
            v.varkind = VAR_PERINSTANCE;
            describe(t_, fd.type, false, v.elemdescVar.tdesc, block->keep);
        } else {
            return TYPE_E_ELEMENTNOTFOUND;
        }
        *out = &block->desc;
        vars_[&block->desc] = std::move(block);
        return S_OK;
    }
    void ReleaseVarDesc(VARDESC *v) override { vars_.erase(v); }

    HRESULT GetNames(MEMBERID memid, BSTR *names, UINT max, UINT *count) override {
        if (!names || !count) return E_INVALIDARG;
        *count = 0;
        std::vector<std::string> found;
        if (const MemberDesc *m = member(memid)) {
            found.push_back(m->name);
            for (const ParamDesc &p : m->params)
                if (!(p.flags & PARAMFLAG_FRETVAL) && m->kind != INVOKE_PROPERTYPUT) found.push_back(p.name);
        } else if (const std::string *n = var_name(memid)) {
            found.push_back(*n);
        } else {
            return TYPE_E_ELEMENTNOTFOUND;
        }
        for (UINT i = 0; i < max && i < found.size(); ++i) {
            names[i] = bstr_from_utf8(found[i]);
            ++*count;
        }
        return S_OK;
    }

    HRESULT GetRefTypeOfImplType(UINT index, HREFTYPE *out) override {
        if (!out) return E_INVALIDARG;
        if (index >= t_.impls.size()) return TYPE_E_ELEMENTNOTFOUND;
        *out = href_of(t_, t_.impls[index].iface);
        return S_OK;
    }
    HRESULT GetImplTypeFlags(UINT index, INT *out) override {
        if (!out) return E_INVALIDARG;
        if (index >= t_.impls.size()) return TYPE_E_ELEMENTNOTFOUND;
        *out = t_.impls[index].flags;
        return S_OK;
    }
    HRESULT GetIDsOfNames(LPOLESTR *names, UINT count, MEMBERID *ids) override {
        return dispatch_ids(t_, names, count, ids);
    }
    HRESULT Invoke(void *instance, MEMBERID memid, WORD flags, DISPPARAMS *params, VARIANT *result, EXCEPINFO *excep,
                   UINT *arg_err) override {
        if (!instance) return E_INVALIDARG;
        if (t_.kind != TKIND_DISPATCH || !t_.dual()) return E_NOTIMPL;
        return dispatch_invoke(t_, instance, memid, flags, params, result, excep, arg_err);
    }
    HRESULT GetDocumentation(MEMBERID memid, BSTR *name, BSTR *doc, DWORD *context, BSTR *help) override {
        const std::string *n = nullptr, *d = nullptr;
        if (memid == MEMBERID_NIL) {
            n = &t_.name;
            d = &t_.doc;
        } else if (const MemberDesc *m = member(memid)) {
            n = &m->name;
            d = &m->doc;
        } else if ((n = var_name(memid)) == nullptr) {
            return TYPE_E_ELEMENTNOTFOUND;
        }
        if (name) *name = bstr_from_utf8(*n);
        if (doc) *doc = d && !d->empty() ? bstr_from_utf8(*d) : nullptr;
        if (context) *context = 0;
        if (help) *help = nullptr;
        return S_OK;
    }
    HRESULT GetDllEntry(MEMBERID, INVOKEKIND, BSTR *, BSTR *, WORD *) override { return TYPE_E_ELEMENTNOTFOUND; }
    HRESULT GetRefTypeInfo(HREFTYPE href, ITypeInfo **out) override {
        if (!out) return E_INVALIDARG;
        *out = nullptr;
        if (!t_.library || href >= t_.library->types.size()) return TYPE_E_ELEMENTNOTFOUND;
        return type_info_of(*t_.library->types[href], out);
    }
    HRESULT AddressOfMember(MEMBERID, INVOKEKIND, void **out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }
    HRESULT CreateInstance(IUnknown *, REFIID, void **out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;  // a coclass is created through zxax_CoCreateInstance
    }
    HRESULT GetMops(MEMBERID, BSTR *out) override {
        if (out) *out = nullptr;
        return S_OK;
    }
    HRESULT GetContainingTypeLib(ITypeLib **lib, UINT *index) override {
        if (!t_.library) return E_NOTIMPL;
        if (index) *index = static_cast<UINT>(t_.library->index_of(&t_));
        if (lib) return type_lib_of(*t_.library, lib);
        return S_OK;
    }

private:
    struct FuncBlock {
        FUNCDESC desc{};
        std::vector<ELEMDESC> params;
        std::vector<std::unique_ptr<TYPEDESC>> keep;
    };
    struct VarBlock {
        VARDESC desc{};
        VARIANT value{};
        std::vector<std::unique_ptr<TYPEDESC>> keep;
    };

    const MemberDesc *member(MEMBERID id) const {
        for (const MemberDesc &m : t_.members)
            if (m.dispid == id) return &m;
        return nullptr;
    }
    const std::string *var_name(MEMBERID id) const {
        const int64_t i = static_cast<int64_t>(id) - kFirstVar;
        if (t_.kind == TKIND_ENUM && i >= 0 && i < static_cast<int64_t>(t_.items.size())) return &t_.items[i].name;
        if (t_.kind == TKIND_RECORD && i >= 0 && i < static_cast<int64_t>(t_.fields.size())) return &t_.fields[i].name;
        return nullptr;
    }

    const TypeDesc &t_;
    std::map<FUNCDESC *, std::unique_ptr<FuncBlock>> funcs_;
    std::map<VARDESC *, std::unique_ptr<VarBlock>> vars_;
};

class TypeLib final : public Simple<ITypeLib> {
public:
    explicit TypeLib(const LibraryDesc &l) : Simple(IID_ITypeLib), l_(l) {}

    UINT GetTypeInfoCount() override { return static_cast<UINT>(l_.types.size()); }
    HRESULT GetTypeInfo(UINT index, ITypeInfo **out) override {
        if (!out) return E_INVALIDARG;
        *out = nullptr;
        if (index >= l_.types.size()) return TYPE_E_ELEMENTNOTFOUND;
        return type_info_of(*l_.types[index], out);
    }
    HRESULT GetTypeInfoType(UINT index, TYPEKIND *out) override {
        if (!out) return E_INVALIDARG;
        if (index >= l_.types.size()) return TYPE_E_ELEMENTNOTFOUND;
        *out = l_.types[index]->kind;
        return S_OK;
    }
    HRESULT GetTypeInfoOfGuid(REFGUID guid, ITypeInfo **out) override {
        if (!out) return E_INVALIDARG;
        *out = nullptr;
        for (const TypeDesc *t : l_.types)
            if (t->kind != TKIND_ENUM && t->guid == guid) return type_info_of(*t, out);
        return TYPE_E_ELEMENTNOTFOUND;
    }
    HRESULT GetLibAttr(TLIBATTR **out) override {
        if (!out) return E_INVALIDARG;
        auto *a = new (std::nothrow) TLIBATTR{};
        if (!a) return E_OUTOFMEMORY;
        a->guid = l_.libid;
        a->lcid = l_.lcid;
        a->syskind = SYS_WIN64;
        a->wMajorVerNum = l_.major;
        a->wMinorVerNum = l_.minor;
        *out = a;
        return S_OK;
    }
    void ReleaseTLibAttr(TLIBATTR *a) override { delete a; }
    HRESULT GetTypeComp(ITypeComp **out) override {
        if (out) *out = nullptr;
        return E_NOTIMPL;
    }
    HRESULT GetDocumentation(INT index, BSTR *name, BSTR *doc, DWORD *context, BSTR *help) override {
        const std::string *n, *d;
        if (index == -1) {
            n = &l_.name;
            d = &l_.doc;
        } else if (index >= 0 && static_cast<size_t>(index) < l_.types.size()) {
            n = &l_.types[index]->name;
            d = &l_.types[index]->doc;
        } else {
            return TYPE_E_ELEMENTNOTFOUND;
        }
        if (name) *name = bstr_from_utf8(*n);
        if (doc) *doc = d->empty() ? nullptr : bstr_from_utf8(*d);
        if (context) *context = 0;
        if (help) *help = nullptr;
        return S_OK;
    }
    HRESULT IsName(LPOLESTR name, ULONG, BOOL *found) override {
        if (!name || !found) return E_INVALIDARG;
        *found = find(name, nullptr) != nullptr;
        return S_OK;
    }
    HRESULT FindName(LPOLESTR name, ULONG, ITypeInfo **infos, MEMBERID *ids, USHORT *count) override {
        if (!name || !infos || !ids || !count) return E_INVALIDARG;
        MEMBERID id = MEMBERID_NIL;
        const TypeDesc *t = *count ? find(name, &id) : nullptr;
        *count = 0;
        if (!t) return S_OK;
        const HRESULT hr = type_info_of(*t, &infos[0]);
        if (FAILED(hr)) return hr;
        ids[0] = id;
        *count = 1;
        return S_OK;
    }

private:
    const TypeDesc *find(LPOLESTR name, MEMBERID *id) const {
        std::string n;
        if (!utf16_to_utf8(std::u16string_view(name), n)) return nullptr;
        for (const TypeDesc *t : l_.types) {
            if (iequals(t->name, n)) {
                if (id) *id = MEMBERID_NIL;
                return t;
            }
            for (const MemberDesc &m : t->members)
                if (iequals(m.name, n)) {
                    if (id) *id = m.dispid;
                    return t;
                }
        }
        return nullptr;
    }

    const LibraryDesc &l_;
};

class RecordInfo final : public Simple<IRecordInfo> {
public:
    explicit RecordInfo(const TypeDesc &t) : Simple(IID_IRecordInfo), t_(t) {}

    HRESULT RecordInit(void *p) override {
        if (!p) return E_INVALIDARG;
        std::memset(p, 0, t_.size);
        return S_OK;
    }
    HRESULT RecordClear(void *p) override {
        if (!p) return E_INVALIDARG;
        for (const FieldDesc &f : t_.fields) {
            char *at = static_cast<char *>(p) + f.offset;
            if (f.type.vt == VT_BSTR) {
                BSTR b;
                std::memcpy(&b, at, sizeof b);
                zxax_SysFreeString(b);
            } else if (f.type.vt == VT_VARIANT) {
                zxax_VariantClear(reinterpret_cast<VARIANT *>(at));
            }
        }
        std::memset(p, 0, t_.size);
        return S_OK;
    }
    HRESULT RecordCopy(void *from, void *to) override {
        if (!from || !to) return E_INVALIDARG;
        RecordClear(to);
        std::memcpy(to, from, t_.size);
        for (const FieldDesc &f : t_.fields) {
            char *at = static_cast<char *>(to) + f.offset;
            if (f.type.vt == VT_BSTR) {
                BSTR b;
                std::memcpy(&b, at, sizeof b);
                b = b ? zxax_SysAllocStringLen(b, zxax_SysStringLen(b)) : nullptr;
                std::memcpy(at, &b, sizeof b);
            } else if (f.type.vt == VT_VARIANT) {
                auto *v = reinterpret_cast<VARIANT *>(at);
                const VARIANT src = *v;
                zxax_VariantInit(v);
                zxax_VariantCopy(v, &src);
            }
        }
        return S_OK;
    }
    HRESULT GetGuid(GUID *out) override {
        if (!out) return E_INVALIDARG;
        *out = t_.guid;
        return S_OK;
    }
    HRESULT GetName(BSTR *out) override {
        if (!out) return E_INVALIDARG;
        *out = bstr_from_utf8(t_.name);
        return *out ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT GetSize(ULONG *out) override {
        if (!out) return E_INVALIDARG;
        *out = t_.size;
        return S_OK;
    }
    HRESULT GetTypeInfo(ITypeInfo **out) override { return type_info_of(t_, out); }
    HRESULT GetField(void *p, LPCOLESTR name, VARIANT *out) override {
        const FieldDesc *f = field(name);
        if (!p || !out) return E_INVALIDARG;
        if (!f) return TYPE_E_ELEMENTNOTFOUND;
        VARIANT v;
        zxax_VariantInit(&v);
        const VARTYPE vt = storage_type(f->type);
        const char *at = static_cast<const char *>(p) + f->offset;
        if (vt == VT_VARIANT) return zxax_VariantCopy(out, reinterpret_cast<const VARIANT *>(at));
        std::memcpy(&v.llVal, at, size_of(vt));
        v.vt = vt;
        return zxax_VariantCopy(out, &v);  // copies a BSTR; `v` only borrows it
    }
    HRESULT GetFieldNoCopy(void *p, LPCOLESTR name, VARIANT *out, void **data) override {
        const FieldDesc *f = field(name);
        if (!p || !out || !data) return E_INVALIDARG;
        if (!f) return TYPE_E_ELEMENTNOTFOUND;
        char *at = static_cast<char *>(p) + f->offset;
        zxax_VariantClear(out);
        out->vt = static_cast<VARTYPE>(VT_BYREF | storage_type(f->type));
        out->byref = at;
        *data = at;
        return S_OK;
    }
    HRESULT PutField(ULONG, void *p, LPCOLESTR name, VARIANT *value) override {
        const FieldDesc *f = field(name);
        if (!p || !value) return E_INVALIDARG;
        if (!f) return TYPE_E_ELEMENTNOTFOUND;
        const VARTYPE vt = storage_type(f->type);
        char *at = static_cast<char *>(p) + f->offset;
        if (vt == VT_VARIANT) return zxax_VariantCopy(reinterpret_cast<VARIANT *>(at), value);
        Variant v;
        const HRESULT hr = zxax_VariantChangeType(&v, value, 0, vt);
        if (FAILED(hr)) return hr;
        if (vt == VT_BSTR) {
            BSTR old;
            std::memcpy(&old, at, sizeof old);
            zxax_SysFreeString(old);
            BSTR b = v.bstrVal;
            v.vt = VT_EMPTY;  // handed to the record
            std::memcpy(at, &b, sizeof b);
            return S_OK;
        }
        std::memcpy(at, &v.llVal, size_of(vt));
        return S_OK;
    }
    HRESULT PutFieldNoCopy(ULONG flags, void *p, LPCOLESTR name, VARIANT *value) override {
        return PutField(flags, p, name, value);
    }
    HRESULT GetFieldNames(ULONG *count, BSTR *names) override {
        if (!count) return E_INVALIDARG;
        if (!names) {
            *count = static_cast<ULONG>(t_.fields.size());
            return S_OK;
        }
        ULONG n = 0;
        for (; n < *count && n < t_.fields.size(); ++n) names[n] = bstr_from_utf8(t_.fields[n].name);
        *count = n;
        return S_OK;
    }
    BOOL IsMatchingType(IRecordInfo *other) override {
        GUID g{};
        return other && SUCCEEDED(other->GetGuid(&g)) && g == t_.guid;
    }
    void *RecordCreate() override { return std::calloc(1, t_.size ? t_.size : 1); }
    HRESULT RecordCreateCopy(void *from, void **to) override {
        if (!from || !to) return E_INVALIDARG;
        *to = RecordCreate();
        if (!*to) return E_OUTOFMEMORY;
        return RecordCopy(from, *to);
    }
    HRESULT RecordDestroy(void *p) override {
        if (!p) return S_OK;
        RecordClear(p);
        std::free(p);
        return S_OK;
    }

private:
    const FieldDesc *field(LPCOLESTR name) const {
        std::string n;
        if (!name || !utf16_to_utf8(std::u16string_view(name), n)) return nullptr;
        for (const FieldDesc &f : t_.fields)
            if (iequals(f.name, n)) return &f;
        return nullptr;
    }

    const TypeDesc &t_;
};

}  // namespace

HRESULT type_info_of(const TypeDesc &type, ITypeInfo **out) {
    if (!out) return E_INVALIDARG;
    *out = new (std::nothrow) TypeInfo(type);
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT type_lib_of(const LibraryDesc &lib, ITypeLib **out) {
    if (!out) return E_INVALIDARG;
    *out = new (std::nothrow) TypeLib(lib);
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT record_info_of(const TypeDesc &type, IRecordInfo **out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (type.kind != TKIND_RECORD) return E_INVALIDARG;
    *out = new (std::nothrow) RecordInfo(type);
    return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace kalax::ax
