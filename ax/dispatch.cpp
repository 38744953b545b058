// IDispatch from a description: names to DISPIDs and calls by DISPID.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ax/object.h"
#include "ax/unwritten.h"

namespace kalax::ax {

namespace {

VARTYPE invoke_type(const TypeRef &t) {
    if (t.vt == VT_USERDEFINED && t.user) return t.user->kind == TKIND_ENUM ? VT_I4 : VT_RECORD;
    return t.vt;
}

void *value_of(VARIANT &v, VARTYPE vt) { return vt == VT_VARIANT ? static_cast<void *>(&v) : &v.llVal; }

// A record made for an [out] parameter starts as the unwritten pattern (the
// members write all its fields or none).
bool record_size(const VARIANT &made, ULONG &size) {
    return SUCCEEDED(made.brecVal.pRecInfo->GetSize(&size));
}
void mark_record_unwritten(const VARIANT &made) {
    ULONG size = 0;
    if (record_size(made, size)) std::memset(made.brecVal.pvRecord, kUnwrittenByte, size);
}
// Zero again, so that clearing the record frees nothing it does not hold.
void clear_unwritten_record(const VARIANT &made) {
    ULONG size = 0;
    if (record_size(made, size)) std::memset(made.brecVal.pvRecord, 0, size);
}
bool record_written(const VARIANT &made) {
    ULONG size = 0;
    if (!record_size(made, size)) return true;
    const auto *bytes = static_cast<const unsigned char *>(made.brecVal.pvRecord);
    for (ULONG i = 0; i < size; ++i)
        if (bytes[i] != kUnwrittenByte) return true;
    return false;
}

// Moves a value of type `vt` held in `from` into the variant `to`.
void store(VARIANT &to, VARIANT &from, VARTYPE vt) {
    to = from;
    if (vt != VT_VARIANT) to.vt = vt;
    zxax_VariantInit(&from);
}

struct Slots {
    std::vector<ArgSlot> slots;
    std::vector<char> owned;  // the slot's value is ours to clear
    ~Slots() {
        for (size_t i = 0; i < slots.size(); ++i)
            if (owned[i]) zxax_VariantClear(&slots[i].value);
    }
};

}  // namespace

HRESULT dispatch_ids(const TypeDesc &type, LPOLESTR *names, UINT count, DISPID *ids) {
    if (!names || !ids || count == 0) return E_INVALIDARG;
    const MemberDesc *found = nullptr;
    for (const MemberDesc &m : type.members) {
        std::u16string wide;
        if (utf8_to_utf16(m.name, wide) && names[0] && iequals(std::u16string_view(names[0]), wide)) {
            found = &m;
            break;
        }
    }
    HRESULT hr = S_OK;
    ids[0] = found ? found->dispid : DISPID_UNKNOWN;
    if (!found) hr = DISP_E_UNKNOWNNAME;
    // The other names are the member's parameters; their DISPIDs are their positions.
    for (UINT i = 1; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        if (!found) continue;
        for (size_t k = 0; k < found->params.size(); ++k) {
            std::u16string wide;
            if (names[i] && utf8_to_utf16(found->params[k].name, wide) &&
                iequals(std::u16string_view(names[i]), wide))
                ids[i] = static_cast<DISPID>(k);
        }
        if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT dispatch_invoke(const TypeDesc &type, void *self, DISPID id, WORD flags, DISPPARAMS *params,
                        VARIANT *result, EXCEPINFO *excep, UINT *arg_err) {
    if (!params || (params->cArgs && !params->rgvarg) || (params->cNamedArgs && !params->rgdispidNamedArgs) ||
        params->cNamedArgs > params->cArgs)
        return E_INVALIDARG;
    const MemberDesc *m = nullptr;
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        m = type.find(id, INVOKE_PROPERTYPUT);
    } else {
        if (flags & DISPATCH_METHOD) m = type.find(id, INVOKE_FUNC);
        if (!m && (flags & DISPATCH_PROPERTYGET)) m = type.find(id, INVOKE_PROPERTYGET);
    }
    if (!m || !m->call) return DISP_E_MEMBERNOTFOUND;
    const UINT n = static_cast<UINT>(m->arg_count());
    const UINT named = params->cNamedArgs;
    const bool put = m->kind == INVOKE_PROPERTYPUT;
    if (put && (named != 1 || params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)) return DISP_E_PARAMNOTOPTIONAL;
    if (params->cArgs != n) return DISP_E_BADPARAMCOUNT;
    const auto fail_at = [&](HRESULT hr, UINT index) {
        if (arg_err) *arg_err = index;
        return hr;
    };
    // Where each declared parameter sits in rgvarg: the named ones first, then
    // the positional ones last-first.
    std::vector<int> where(n, -1);
    for (UINT k = 0; k < named; ++k) {
        const DISPID nid = params->rgdispidNamedArgs[k];
        const int at = put && nid == DISPID_PROPERTYPUT ? static_cast<int>(n) - 1 : nid;
        if (at < 0 || at >= static_cast<int>(n) || where[at] != -1) return fail_at(DISP_E_PARAMNOTFOUND, k);
        where[at] = static_cast<int>(k);
    }
    for (UINT j = 0; j < n - named; ++j) {
        if (where[j] != -1) return fail_at(DISP_E_PARAMNOTFOUND, params->cArgs - 1 - j);
        where[j] = static_cast<int>(params->cArgs - 1 - j);
    }

    Slots s;
    s.slots.resize(m->params.size());
    s.owned.assign(m->params.size(), 0);
    for (ArgSlot &a : s.slots) {
        zxax_VariantInit(&a.value);
        a.ref = nullptr;
    }
    std::vector<VARIANT *> out_targets(m->params.size(), nullptr);  // [out] through a VT_VARIANT reference
    VARIANT retval;
    zxax_VariantInit(&retval);
    // Records made for [out] parameters, and where each goes once the call succeeds.
    struct MadeRecords : std::vector<VARIANT> {
        ~MadeRecords() {
            for (VARIANT &v : *this) zxax_VariantClear(&v);
        }
    } made_records;
    made_records.reserve(m->params.size());  // stable addresses while slots point into them
    std::vector<VARIANT *> record_targets;
    for (size_t i = 0; i < m->params.size(); ++i) {
        const ParamDesc &p = m->params[i];
        const VARTYPE vt = invoke_type(p.type);
        ArgSlot &slot = s.slots[i];
        if (p.flags & PARAMFLAG_FRETVAL) {
            slot.ref = value_of(retval, vt);
            continue;
        }
        const UINT at = static_cast<UINT>(where[i]);
        VARIANT &arg = params->rgvarg[at];
        if (vt == VT_RECORD) {
            // An [out] record into an empty variant: the record is made here and
            // handed out with its record info, so a host needs no IRecordInfo
            // of its own to receive one (scripts and C hosts pass empty variants).
            if ((p.flags & PARAMFLAG_FOUT) && p.type.user && arg.vt == (VT_BYREF | VT_VARIANT) && arg.pvarVal &&
                arg.pvarVal->vt == VT_EMPTY) {
                VARIANT &made = made_records.emplace_back();
                zxax_VariantInit(&made);
                if (FAILED(record_info_of(*p.type.user, &made.brecVal.pRecInfo))) return E_OUTOFMEMORY;
                made.vt = VT_RECORD;
                made.brecVal.pvRecord = made.brecVal.pRecInfo->RecordCreate();
                if (!made.brecVal.pvRecord) return E_OUTOFMEMORY;
                mark_record_unwritten(made);
                slot.ref = made.brecVal.pvRecord;
                record_targets.push_back(arg.pvarVal);
                continue;
            }
            const VARIANT *src = arg.vt == (VT_BYREF | VT_VARIANT) && arg.pvarVal ? arg.pvarVal : &arg;
            if ((src->vt & ~VT_BYREF) != VT_RECORD || !src->brecVal.pvRecord || !src->brecVal.pRecInfo)
                return fail_at(DISP_E_TYPEMISMATCH, at);
            GUID g{};
            if (p.type.user && (FAILED(src->brecVal.pRecInfo->GetGuid(&g)) || g != p.type.user->guid))
                return fail_at(DISP_E_TYPEMISMATCH, at);
            slot.ref = src->brecVal.pvRecord;
            continue;
        }
        if (p.flags & PARAMFLAG_FOUT) {
            if (arg.vt == (VT_BYREF | vt) && arg.byref) {
                slot.ref = arg.byref;
            } else if (arg.vt == (VT_BYREF | VT_VARIANT) && arg.pvarVal) {
                slot.ref = value_of(slot.value, vt);
                // vt stays VT_EMPTY until written
                if (vt != VT_VARIANT && !(p.flags & PARAMFLAG_FIN)) mark_unwritten(slot.value);
                s.owned[i] = 1;
                out_targets[i] = arg.pvarVal;
            } else {
                return fail_at(DISP_E_TYPEMISMATCH, at);
            }
            continue;
        }
        const VARIANT *src = arg.vt == (VT_BYREF | VT_VARIANT) && arg.pvarVal ? arg.pvarVal : &arg;
        if (vt == VT_VARIANT) {
            slot.value = *src;  // lent to the member for the call
            continue;
        }
        const HRESULT hr = zxax_VariantChangeType(&slot.value, src, 0, vt);
        if (FAILED(hr)) return fail_at(hr == DISP_E_OVERFLOW ? DISP_E_OVERFLOW : DISP_E_TYPEMISMATCH, at);
        s.owned[i] = 1;
    }

    const HRESULT hr = m->call(self, s.slots.data());
    const VARTYPE ret_vt = m->has_retval() ? invoke_type(m->params.back().type) : static_cast<VARTYPE>(VT_EMPTY);
    if (FAILED(hr)) {
        // What the member may have written into our temporaries is dropped with them.
        for (size_t i = 0; i < out_targets.size(); ++i) {
            const VARTYPE t = invoke_type(m->params[i].type);
            if (out_targets[i] && t != VT_VARIANT && was_written(s.slots[i].value)) s.slots[i].value.vt = t;
        }
        if (m->has_retval()) {
            if (ret_vt != VT_VARIANT) retval.vt = ret_vt;
            zxax_VariantClear(&retval);
        }
        fill_excepinfo(excep, hr);
        return DISP_E_EXCEPTION;
    }
    for (size_t i = 0; i < out_targets.size(); ++i) {
        if (!out_targets[i]) continue;
        const VARTYPE t = invoke_type(m->params[i].type);
        if (t != VT_VARIANT && !was_written(s.slots[i].value)) continue;
        zxax_VariantClear(out_targets[i]);
        store(*out_targets[i], s.slots[i].value, t);
    }
    for (size_t k = 0; k < record_targets.size(); ++k) {
        if (!record_written(made_records[k])) {  // the variable stays empty
            clear_unwritten_record(made_records[k]);
            continue;
        }
        *record_targets[k] = made_records[k];
        zxax_VariantInit(&made_records[k]);
    }
    if (m->has_retval()) {
        if (result) {
            store(*result, retval, ret_vt);
        } else {
            if (ret_vt != VT_VARIANT) retval.vt = ret_vt;
            zxax_VariantClear(&retval);
        }
    } else if (result) {
        zxax_VariantInit(result);
    }
    return hr;
}


}  // namespace kalax::ax
