// BSTR, VARIANT and their conversions: the exported C functions and the text
// helpers the rest of the runtime uses.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "ax/com.h"
#include "ax/date.h"
#include "kalax/ax.h"

static_assert(sizeof(OLECHAR) == 2);
static_assert(sizeof(GUID) == 16);
static_assert(sizeof(VARIANT) == 24 && offsetof(VARIANT, vt) == 0 && offsetof(VARIANT, lVal) == 8);
static_assert(offsetof(VARIANT, brecVal.pRecInfo) == 16);
static_assert(sizeof(DECIMAL) == 16 && sizeof(CY) == 8);
static_assert(sizeof(SAFEARRAYBOUND) == 8);
static_assert(sizeof(SAFEARRAY) == 32 && offsetof(SAFEARRAY, fFeatures) == 2 &&
              offsetof(SAFEARRAY, cbElements) == 4 && offsetof(SAFEARRAY, cLocks) == 8 &&
              offsetof(SAFEARRAY, pvData) == 16 && offsetof(SAFEARRAY, rgsabound) == 24);
static_assert(sizeof(DISPPARAMS) == 24 && offsetof(DISPPARAMS, rgdispidNamedArgs) == 8 &&
              offsetof(DISPPARAMS, cArgs) == 16 && offsetof(DISPPARAMS, cNamedArgs) == 20);
static_assert(sizeof(EXCEPINFO) == 64 && offsetof(EXCEPINFO, bstrSource) == 8 &&
              offsetof(EXCEPINFO, bstrDescription) == 16 && offsetof(EXCEPINFO, bstrHelpFile) == 24 &&
              offsetof(EXCEPINFO, dwHelpContext) == 32 && offsetof(EXCEPINFO, pvReserved) == 40 &&
              offsetof(EXCEPINFO, pfnDeferredFillIn) == 48 && offsetof(EXCEPINFO, scode) == 56);
static_assert(sizeof(CONNECTDATA) == 16);
static_assert(sizeof(TYPEDESC) == 16 && sizeof(IDLDESC) == 16 && sizeof(PARAMDESC) == 16 &&
              sizeof(ELEMDESC) == 32);
static_assert(sizeof(TYPEATTR) == 96 && offsetof(TYPEATTR, lcid) == 16 &&
              offsetof(TYPEATTR, memidConstructor) == 24 && offsetof(TYPEATTR, lpstrSchema) == 32 &&
              offsetof(TYPEATTR, cbSizeInstance) == 40 && offsetof(TYPEATTR, typekind) == 44 &&
              offsetof(TYPEATTR, cFuncs) == 48 && offsetof(TYPEATTR, cbSizeVft) == 54 &&
              offsetof(TYPEATTR, wTypeFlags) == 58 && offsetof(TYPEATTR, wMajorVerNum) == 60 &&
              offsetof(TYPEATTR, tdescAlias) == 64 && offsetof(TYPEATTR, idldescType) == 80);
static_assert(sizeof(FUNCDESC) == 88 && offsetof(FUNCDESC, lprgscode) == 8 &&
              offsetof(FUNCDESC, lprgelemdescParam) == 16 && offsetof(FUNCDESC, funckind) == 24 &&
              offsetof(FUNCDESC, invkind) == 28 && offsetof(FUNCDESC, callconv) == 32 &&
              offsetof(FUNCDESC, cParams) == 36 && offsetof(FUNCDESC, oVft) == 40 &&
              offsetof(FUNCDESC, elemdescFunc) == 48 && offsetof(FUNCDESC, wFuncFlags) == 80);
static_assert(sizeof(VARDESC) == 64 && offsetof(VARDESC, lpstrSchema) == 8 &&
              offsetof(VARDESC, oInst) == 16 && offsetof(VARDESC, elemdescVar) == 24 &&
              offsetof(VARDESC, wVarFlags) == 56 && offsetof(VARDESC, varkind) == 60);
static_assert(sizeof(TLIBATTR) == 32 && offsetof(TLIBATTR, syskind) == 20 &&
              offsetof(TLIBATTR, wMajorVerNum) == 24 && offsetof(TLIBATTR, wLibFlags) == 28);

namespace kalax::ax {
namespace {

// A BSTR's block: 4 bytes of padding keep the text 8-aligned, then the 4-byte
// byte length right before the first character.
constexpr size_t kBstrHeader = 8;

BSTR bstr_alloc(const OLECHAR *text, size_t chars) {
    if (chars > (UINT32_MAX - kBstrHeader - 2) / 2) return nullptr;
    auto *block = static_cast<char *>(std::malloc(kBstrHeader + chars * 2 + 2));
    if (!block) return nullptr;
    const auto bytes = static_cast<uint32_t>(chars * 2);
    std::memcpy(block + 4, &bytes, 4);
    auto *s = reinterpret_cast<OLECHAR *>(block + kBstrHeader);
    if (text)
        std::memcpy(s, text, chars * 2);
    else
        std::memset(s, 0, chars * 2);
    s[chars] = 0;
    return s;
}


}  // namespace

BSTR bstr_from(std::u16string_view text) { return bstr_alloc(text.data(), text.size()); }


namespace {

// ---- conversions ---------------------------------------------------------------
// A source value reduced to one of three forms.
struct Value {
    enum Kind { Int, UInt, Real, Text, Bool } kind = Int;
    int64_t i = 0;
    uint64_t u = 0;
    double r = 0;
    std::u16string_view text;
};

bool is_numeric(VARTYPE vt) {
    switch (vt) {
    case VT_I1: case VT_I2: case VT_I4: case VT_I8: case VT_INT: case VT_UI1: case VT_UI2:
    case VT_UI4: case VT_UI8: case VT_UINT: case VT_R4: case VT_R8: case VT_DATE: case VT_BOOL:
    case VT_BSTR: case VT_EMPTY:
        return true;
    default:
        return false;
    }
}

HRESULT read_value(const VARIANT &v, Value &out) {
    switch (v.vt) {
    case VT_EMPTY: out.kind = Value::Int; out.i = 0; return S_OK;
    case VT_I1: out.kind = Value::Int; out.i = static_cast<signed char>(v.cVal); return S_OK;
    case VT_I2: out.kind = Value::Int; out.i = v.iVal; return S_OK;
    case VT_I4: case VT_INT: out.kind = Value::Int; out.i = v.lVal; return S_OK;
    case VT_I8: out.kind = Value::Int; out.i = v.llVal; return S_OK;
    case VT_UI1: out.kind = Value::UInt; out.u = v.bVal; return S_OK;
    case VT_UI2: out.kind = Value::UInt; out.u = v.uiVal; return S_OK;
    case VT_UI4: case VT_UINT: out.kind = Value::UInt; out.u = v.ulVal; return S_OK;
    case VT_UI8: out.kind = Value::UInt; out.u = v.ullVal; return S_OK;
    case VT_R4: out.kind = Value::Real; out.r = v.fltVal; return S_OK;
    case VT_R8: case VT_DATE: out.kind = Value::Real; out.r = v.dblVal; return S_OK;
    case VT_BOOL: out.kind = Value::Bool; out.i = v.boolVal ? -1 : 0; return S_OK;
    case VT_BSTR:
        out.kind = Value::Text;
        out.text = {v.bstrVal ? v.bstrVal : u"", zxax_SysStringLen(v.bstrVal)};
        return S_OK;
    default:
        return DISP_E_TYPEMISMATCH;
    }
}

std::string narrow_trimmed(std::u16string_view t) {
    size_t b = 0, e = t.size();
    while (b < e && (t[b] == u' ' || t[b] == u'\t')) ++b;
    while (e > b && (t[e - 1] == u' ' || t[e - 1] == u'\t')) --e;
    std::string s;
    for (size_t i = b; i < e; ++i) {
        if (t[i] > 0x7F) return {};
        s.push_back(static_cast<char>(t[i]));
    }
    return s;
}

// "yyyy-mm-dd[ hh:mm[:ss]]" or with "/" between the date's fields.
bool parse_date(const std::string &s, DATE &out) {
    DateParts p;
    char sep1 = 0, sep2 = 0;
    int used = 0;
    if (std::sscanf(s.c_str(), "%4d%c%2d%c%2d%n", &p.year, &sep1, &p.month, &sep2, &p.day, &used) != 5 ||
        sep1 != sep2 || (sep1 != '-' && sep1 != '/'))
        return false;
    const char *rest = s.c_str() + used;
    if (*rest) {
        int n = 0;
        if (std::sscanf(rest, " %2d:%2d%n", &p.hour, &p.minute, &n) != 2) return false;
        rest += n;
        if (*rest == ':') {
            if (std::sscanf(rest, ":%2d%n", &p.second, &n) != 1) return false;
            rest += n;
        }
        if (*rest) return false;
    }
    return date_from_parts(p, out);
}

// Text to a number: integers exactly, anything else as a double.
HRESULT parse_number(std::u16string_view t, Value &out) {
    const std::string s = narrow_trimmed(t);
    if (s.empty()) return DISP_E_TYPEMISMATCH;
    const char *b = s.data(), *e = s.data() + s.size();
    const char *num = *b == '+' ? b + 1 : b;
    int64_t i = 0;
    auto [p, ec] = std::from_chars(num, e, i);
    if (ec == std::errc() && p == e) {
        out.kind = Value::Int;
        out.i = i;
        return S_OK;
    }
    if (ec == std::errc::result_out_of_range && *num != '-') {
        uint64_t u = 0;
        auto [pu, ecu] = std::from_chars(num, e, u);
        if (ecu == std::errc() && pu == e) {
            out.kind = Value::UInt;
            out.u = u;
            return S_OK;
        }
    }
    double r = 0;
    auto [pr, ecr] = std::from_chars(num, e, r);
    if (ecr == std::errc::result_out_of_range) return DISP_E_OVERFLOW;
    if (ecr != std::errc() || pr != e) return DISP_E_TYPEMISMATCH;
    out.kind = Value::Real;
    out.r = r;
    return S_OK;
}

template <typename T>
HRESULT to_integer(const Value &v, T &out) {
    using L = std::numeric_limits<T>;
    switch (v.kind) {
    case Value::Int:
    case Value::Bool:
        if constexpr (L::is_signed) {
            if (v.i < static_cast<int64_t>(L::min()) || v.i > static_cast<int64_t>(L::max())) return DISP_E_OVERFLOW;
        } else {
            if (v.i < 0 || static_cast<uint64_t>(v.i) > static_cast<uint64_t>(L::max())) return DISP_E_OVERFLOW;
        }
        out = static_cast<T>(v.i);
        return S_OK;
    case Value::UInt:
        if (v.u > static_cast<uint64_t>(L::max())) return DISP_E_OVERFLOW;
        out = static_cast<T>(v.u);
        return S_OK;
    case Value::Real: {
        if (!std::isfinite(v.r)) return DISP_E_OVERFLOW;
        const double r = std::nearbyint(v.r);  // to nearest, ties to even
        if (r < static_cast<double>(L::min()) || r >= std::ldexp(1.0, L::digits)) return DISP_E_OVERFLOW;
        out = static_cast<T>(r);
        return S_OK;
    }
    case Value::Text: {
        Value n;
        const HRESULT hr = parse_number(v.text, n);
        if (FAILED(hr)) return hr;
        return to_integer(n, out);
    }
    }
    return DISP_E_TYPEMISMATCH;
}

HRESULT to_real(const Value &v, double &out) {
    switch (v.kind) {
    case Value::Int: case Value::Bool: out = static_cast<double>(v.i); return S_OK;
    case Value::UInt: out = static_cast<double>(v.u); return S_OK;
    case Value::Real: out = v.r; return S_OK;
    case Value::Text: {
        Value n;
        const HRESULT hr = parse_number(v.text, n);
        if (FAILED(hr)) return hr;
        return to_real(n, out);
    }
    }
    return DISP_E_TYPEMISMATCH;
}

HRESULT to_bool(const Value &v, VARIANT_BOOL &out) {
    if (v.kind == Value::Text) {
        if (iequals(v.text, u"True") || iequals(v.text, u"#TRUE#")) { out = VARIANT_TRUE; return S_OK; }
        if (iequals(v.text, u"False") || iequals(v.text, u"#FALSE#")) { out = VARIANT_FALSE; return S_OK; }
        Value n;
        const HRESULT hr = parse_number(v.text, n);
        if (FAILED(hr)) return hr;
        return to_bool(n, out);
    }
    const bool set = v.kind == Value::Real ? v.r != 0 : v.kind == Value::UInt ? v.u != 0 : v.i != 0;
    out = set ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

std::string real_text(double r, int digits) {
    char buf[64];
    auto [p, ec] = std::to_chars(buf, buf + sizeof buf, r, std::chars_format::general, digits);
    if (ec != std::errc()) return "0";
    std::string s(buf, p);
    for (char &c : s)
        if (c == 'e') c = 'E';
    return s;
}

HRESULT to_text(const Value &v, VARTYPE from, USHORT flags, BSTR &out) {
    std::string s;
    switch (v.kind) {
    case Value::Text:
        out = bstr_from(v.text);
        return out ? S_OK : E_OUTOFMEMORY;
    case Value::Bool:
        s = flags & VARIANT_ALPHABOOL ? (v.i ? "True" : "False") : (v.i ? "-1" : "0");
        break;
    case Value::Int: s = std::to_string(v.i); break;
    case Value::UInt: s = std::to_string(v.u); break;
    case Value::Real:
        if (from == VT_DATE) {
            DateParts p;
            if (!date_to_parts(v.r, p)) return DISP_E_OVERFLOW;
            char buf[32];
            if (p.hour || p.minute || p.second)
                std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day, p.hour,
                              p.minute, p.second);
            else
                std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", p.year, p.month, p.day);
            s = buf;
        } else {
            s = real_text(v.r, from == VT_R4 ? 7 : 15);
        }
        break;
    }
    if (from == VT_EMPTY) s.clear();
    out = bstr_from_utf8(s);
    return out ? S_OK : E_OUTOFMEMORY;
}

HRESULT change_type(VARIANT &dest, const VARIANT &src, USHORT flags, VARTYPE vt) {
    if (src.vt & VT_BYREF) {
        if (!src.byref) return E_INVALIDARG;
        VARIANT plain;
        zxax_VariantInit(&plain);
        const VARTYPE base = src.vt & ~VT_BYREF;
        if (base == VT_VARIANT) return change_type(dest, *src.pvarVal, flags, vt);
        plain.vt = base;
        switch (base) {
        case VT_I1: case VT_UI1: plain.bVal = *src.pbVal; break;
        case VT_I2: case VT_UI2: case VT_BOOL: plain.iVal = *src.piVal; break;
        case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR: plain.lVal = *src.plVal; break;
        case VT_I8: case VT_UI8: case VT_R8: case VT_DATE: case VT_CY: plain.llVal = *src.pllVal; break;
        case VT_BSTR: plain.bstrVal = *src.pbstrVal; break;
        case VT_UNKNOWN: case VT_DISPATCH: plain.punkVal = *src.ppunkVal; break;
        default: return DISP_E_TYPEMISMATCH;
        }
        return change_type(dest, plain, flags, vt);  // `plain` borrows, never cleared
    }
    if (src.vt == vt) return zxax_VariantCopy(&dest, &src);
    if (vt == VT_EMPTY) return S_OK;
    if (src.vt == VT_NULL) return DISP_E_TYPEMISMATCH;
    if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        if ((src.vt != VT_UNKNOWN && src.vt != VT_DISPATCH) || !src.punkVal) return DISP_E_TYPEMISMATCH;
        void *p = nullptr;
        const HRESULT hr = src.punkVal->QueryInterface(vt == VT_UNKNOWN ? IID_IUnknown : IID_IDispatch, &p);
        if (FAILED(hr)) return DISP_E_TYPEMISMATCH;
        dest.vt = vt;
        dest.punkVal = static_cast<IUnknown *>(p);
        return S_OK;
    }
    if (!is_numeric(src.vt)) return DISP_E_TYPEMISMATCH;
    Value v;
    HRESULT hr = read_value(src, v);
    if (FAILED(hr)) return hr;
    VARIANT out;
    zxax_VariantInit(&out);
    switch (vt) {
    case VT_I1: { int8_t x = 0; hr = to_integer(v, x); out.cVal = static_cast<char>(x); break; }
    case VT_I2: hr = to_integer(v, out.iVal); break;
    case VT_I4: case VT_INT: hr = to_integer(v, out.lVal); break;
    case VT_I8: hr = to_integer(v, out.llVal); break;
    case VT_UI1: hr = to_integer(v, out.bVal); break;
    case VT_UI2: hr = to_integer(v, out.uiVal); break;
    case VT_UI4: case VT_UINT: hr = to_integer(v, out.ulVal); break;
    case VT_UI8: hr = to_integer(v, out.ullVal); break;
    case VT_R4: {
        double r = 0;
        hr = to_real(v, r);
        if (SUCCEEDED(hr) && std::isfinite(r) && std::fabs(r) > std::numeric_limits<float>::max()) hr = DISP_E_OVERFLOW;
        out.fltVal = static_cast<float>(r);
        break;
    }
    case VT_R8: hr = to_real(v, out.dblVal); break;
    case VT_DATE: {
        if (v.kind == Value::Text) {
            const std::string s = narrow_trimmed(v.text);
            if (!parse_date(s, out.date)) hr = DISP_E_TYPEMISMATCH;
            break;
        }
        hr = to_real(v, out.date);
        DateParts p;
        if (SUCCEEDED(hr) && !date_to_parts(out.date, p)) hr = DISP_E_OVERFLOW;
        break;
    }
    case VT_BOOL: hr = to_bool(v, out.boolVal); break;
    case VT_BSTR: hr = to_text(v, src.vt, flags, out.bstrVal); break;
    default: return DISP_E_TYPEMISMATCH;
    }
    if (FAILED(hr)) return hr;
    out.vt = vt;
    dest = out;
    return S_OK;
}

}  // namespace
}  // namespace kalax::ax

using namespace kalax::ax;

extern "C" {

BSTR zxax_SysAllocString(const OLECHAR *psz) {
    if (!psz) return nullptr;
    return bstr_alloc(psz, std::char_traits<char16_t>::length(psz));
}

BSTR zxax_SysAllocStringLen(const OLECHAR *psz, UINT ui) { return bstr_alloc(psz, ui); }

void zxax_SysFreeString(BSTR bstr) {
    if (bstr) std::free(reinterpret_cast<char *>(bstr) - kBstrHeader);
}

UINT zxax_SysStringLen(BSTR bstr) {
    if (!bstr) return 0;
    uint32_t bytes = 0;
    std::memcpy(&bytes, reinterpret_cast<char *>(bstr) - 4, 4);
    return bytes / 2;
}

void zxax_VariantInit(VARIANTARG *pvarg) {
    if (!pvarg) return;
    std::memset(pvarg, 0, sizeof *pvarg);
}

HRESULT zxax_VariantClear(VARIANTARG *pvarg) {
    if (!pvarg) return E_INVALIDARG;
    if (!(pvarg->vt & VT_BYREF)) {
        if (pvarg->vt & VT_ARRAY) {
            const HRESULT hr = zxax_SafeArrayDestroy(pvarg->parray);
            if (FAILED(hr)) return hr;
        } else {
            switch (pvarg->vt) {
            case VT_BSTR: zxax_SysFreeString(pvarg->bstrVal); break;
            case VT_UNKNOWN: case VT_DISPATCH:
                if (pvarg->punkVal) pvarg->punkVal->Release();
                break;
            case VT_RECORD:
                if (pvarg->brecVal.pRecInfo) {
                    if (pvarg->brecVal.pvRecord) pvarg->brecVal.pRecInfo->RecordDestroy(pvarg->brecVal.pvRecord);
                    pvarg->brecVal.pRecInfo->Release();
                }
                break;
            default: break;
            }
        }
    }
    zxax_VariantInit(pvarg);
    return S_OK;
}

HRESULT zxax_VariantCopy(VARIANTARG *pvargDest, const VARIANTARG *pvargSrc) {
    if (!pvargDest || !pvargSrc) return E_INVALIDARG;
    if (pvargDest == pvargSrc) return S_OK;
    VARIANT out = *pvargSrc;
    if (!(out.vt & VT_BYREF)) {
        if (out.vt & VT_ARRAY) {
            out.parray = nullptr;
            if (pvargSrc->parray) {
                const HRESULT hr = safearray_copy(pvargSrc->parray, &out.parray);
                if (FAILED(hr)) return hr;
            }
        } else {
            switch (out.vt) {
            case VT_BSTR:
                if (out.bstrVal) {
                    out.bstrVal = zxax_SysAllocStringLen(pvargSrc->bstrVal, zxax_SysStringLen(pvargSrc->bstrVal));
                    if (!out.bstrVal) return E_OUTOFMEMORY;
                }
                break;
            case VT_UNKNOWN: case VT_DISPATCH:
                if (out.punkVal) out.punkVal->AddRef();
                break;
            case VT_RECORD:
                if (out.brecVal.pRecInfo) {
                    void *copy = nullptr;
                    if (out.brecVal.pvRecord) {
                        const HRESULT hr = out.brecVal.pRecInfo->RecordCreateCopy(out.brecVal.pvRecord, &copy);
                        if (FAILED(hr)) return hr;
                    }
                    out.brecVal.pvRecord = copy;
                    out.brecVal.pRecInfo->AddRef();
                }
                break;
            default: break;
            }
        }
    }
    const HRESULT hr = zxax_VariantClear(pvargDest);
    if (FAILED(hr)) {
        zxax_VariantClear(&out);
        return hr;
    }
    *pvargDest = out;
    return S_OK;
}

HRESULT zxax_VariantChangeType(VARIANTARG *pvargDest, const VARIANTARG *pvarSrc, USHORT wFlags, VARTYPE vt) {
    if (!pvargDest || !pvarSrc) return E_INVALIDARG;
    VARIANT out;
    zxax_VariantInit(&out);
    const HRESULT hr = change_type(out, *pvarSrc, wFlags, vt);
    if (FAILED(hr)) return hr;
    // Only now is the destination given up: it may be the source itself.
    if (pvargDest == pvarSrc) {
        VARIANT old = *pvargDest;
        *pvargDest = out;
        zxax_VariantClear(&old);
        return S_OK;
    }
    zxax_VariantClear(pvargDest);
    *pvargDest = out;
    return S_OK;
}

}  // extern "C"
