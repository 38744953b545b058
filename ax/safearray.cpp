// One-dimensional safe arrays: what automation members return and take.
#include <cstdlib>
#include <cstring>

#include "ax/com.h"
#include "kalax/ax.h"

namespace kalax::ax {
namespace {

// 16 bytes before the descriptor, as the 64-bit layout has them: the element
// type sits in the last 4 (FADF_HAVEVARTYPE).
constexpr size_t kPrefix = 16;

ULONG element_size(VARTYPE vt) {
    switch (vt) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR: return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_DATE: case VT_CY: case VT_BSTR: case VT_UNKNOWN:
    case VT_DISPATCH: return 8;
    case VT_DECIMAL: return 16;
    case VT_VARIANT: return sizeof(VARIANT);
    default: return 0;
    }
}

VARTYPE element_type(const SAFEARRAY *psa) {
    if (!(psa->fFeatures & FADF_HAVEVARTYPE)) return VT_EMPTY;
    uint32_t vt = 0;
    std::memcpy(&vt, reinterpret_cast<const char *>(psa) - 4, 4);
    return static_cast<VARTYPE>(vt);
}

// Address of the element at `index`, or null when out of bounds.
void *element_at(SAFEARRAY *psa, const LONG *rgIndices) {
    const SAFEARRAYBOUND &b = psa->rgsabound[0];
    const int64_t at = static_cast<int64_t>(rgIndices[0]) - b.lLbound;
    if (at < 0 || at >= static_cast<int64_t>(b.cElements)) return nullptr;
    return static_cast<char *>(psa->pvData) + at * psa->cbElements;
}

void clear_elements(SAFEARRAY *psa) {
    const VARTYPE vt = element_type(psa);
    for (ULONG i = 0; i < psa->rgsabound[0].cElements; ++i) {
        char *at = static_cast<char *>(psa->pvData) + i * psa->cbElements;
        if (vt == VT_BSTR) {
            BSTR b;
            std::memcpy(&b, at, sizeof b);
            zxax_SysFreeString(b);
        } else if (vt == VT_VARIANT) {
            zxax_VariantClear(reinterpret_cast<VARIANT *>(at));
        } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
            IUnknown *p;
            std::memcpy(&p, at, sizeof p);
            if (p) p->Release();
        }
    }
}

// Copies one element value into `to` (uninitialised storage of the element's size).
HRESULT copy_element(VARTYPE vt, const void *from, void *to, ULONG size) {
    if (vt == VT_BSTR) {
        BSTR b;
        std::memcpy(&b, from, sizeof b);
        BSTR c = b ? zxax_SysAllocStringLen(b, zxax_SysStringLen(b)) : nullptr;
        if (b && !c) return E_OUTOFMEMORY;
        std::memcpy(to, &c, sizeof c);
        return S_OK;
    }
    if (vt == VT_VARIANT) {
        zxax_VariantInit(static_cast<VARIANT *>(to));
        return zxax_VariantCopy(static_cast<VARIANT *>(to), static_cast<const VARIANT *>(from));
    }
    std::memcpy(to, from, size);
    if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        IUnknown *p;
        std::memcpy(&p, from, sizeof p);
        if (p) p->AddRef();
    }
    return S_OK;
}

}  // namespace

HRESULT safearray_copy(const SAFEARRAY *src, SAFEARRAY **out) {
    *out = nullptr;
    if (!src || src->cDims != 1) return E_INVALIDARG;
    const VARTYPE vt = element_type(src);
    SAFEARRAY *d = zxax_SafeArrayCreateVector(vt, src->rgsabound[0].lLbound, src->rgsabound[0].cElements);
    if (!d) return E_OUTOFMEMORY;
    for (ULONG i = 0; i < src->rgsabound[0].cElements; ++i) {
        const HRESULT hr = copy_element(vt, static_cast<const char *>(src->pvData) + i * src->cbElements,
                                        static_cast<char *>(d->pvData) + i * d->cbElements, d->cbElements);
        if (FAILED(hr)) {
            // The elements not yet copied are still zero: clearing them is harmless.
            zxax_SafeArrayDestroy(d);
            return hr;
        }
    }
    *out = d;
    return S_OK;
}

}  // namespace kalax::ax

using namespace kalax::ax;

extern "C" {

SAFEARRAY *zxax_SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
    const ULONG size = element_size(vt);
    if (!size || cElements > (UINT32_MAX - 64) / size) return nullptr;
    auto *block = static_cast<char *>(std::calloc(1, kPrefix + sizeof(SAFEARRAY)));
    if (!block) return nullptr;
    void *data = std::calloc(cElements ? cElements : 1, size);
    if (!data) {
        std::free(block);
        return nullptr;
    }
    const uint32_t type = vt;
    std::memcpy(block + kPrefix - 4, &type, 4);
    auto *psa = reinterpret_cast<SAFEARRAY *>(block + kPrefix);
    psa->cDims = 1;
    psa->fFeatures = FADF_HAVEVARTYPE | (vt == VT_BSTR ? FADF_BSTR : vt == VT_VARIANT ? FADF_VARIANT
                                                       : vt == VT_UNKNOWN ? FADF_UNKNOWN
                                                       : vt == VT_DISPATCH ? FADF_DISPATCH : 0);
    psa->cbElements = size;
    psa->pvData = data;
    psa->rgsabound[0].cElements = cElements;
    psa->rgsabound[0].lLbound = lLbound;
    return psa;
}

HRESULT zxax_SafeArrayDestroy(SAFEARRAY *psa) {
    if (!psa) return S_OK;
    if (psa->cLocks) return DISP_E_ARRAYISLOCKED;
    clear_elements(psa);
    std::free(psa->pvData);
    std::free(reinterpret_cast<char *>(psa) - kPrefix);
    return S_OK;
}

HRESULT zxax_SafeArrayGetLBound(SAFEARRAY *psa, UINT nDim, LONG *plLbound) {
    if (!psa || !plLbound) return E_INVALIDARG;
    if (nDim != 1) return DISP_E_BADINDEX;
    *plLbound = psa->rgsabound[0].lLbound;
    return S_OK;
}

HRESULT zxax_SafeArrayGetUBound(SAFEARRAY *psa, UINT nDim, LONG *plUbound) {
    if (!psa || !plUbound) return E_INVALIDARG;
    if (nDim != 1) return DISP_E_BADINDEX;
    *plUbound = static_cast<LONG>(static_cast<int64_t>(psa->rgsabound[0].lLbound) + psa->rgsabound[0].cElements - 1);
    return S_OK;
}

HRESULT zxax_SafeArrayGetElement(SAFEARRAY *psa, LONG *rgIndices, void *pv) {
    if (!psa || !rgIndices || !pv) return E_INVALIDARG;
    void *at = element_at(psa, rgIndices);
    if (!at) return DISP_E_BADINDEX;
    return copy_element(element_type(psa), at, pv, psa->cbElements);
}

HRESULT zxax_SafeArrayPutElement(SAFEARRAY *psa, LONG *rgIndices, void *pv) {
    if (!psa || !rgIndices) return E_INVALIDARG;
    void *at = element_at(psa, rgIndices);
    if (!at) return DISP_E_BADINDEX;
    const VARTYPE vt = element_type(psa);
    // Strings and interfaces are passed as the value itself, everything else by address.
    if (vt == VT_BSTR || vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        char fresh[8];
        HRESULT hr = copy_element(vt, &pv, fresh, 8);
        if (FAILED(hr)) return hr;
        char old[8];
        std::memcpy(old, at, 8);
        std::memcpy(at, fresh, 8);
        if (vt == VT_BSTR) {
            BSTR b;
            std::memcpy(&b, old, 8);
            zxax_SysFreeString(b);
        } else {
            IUnknown *p;
            std::memcpy(&p, old, 8);
            if (p) p->Release();
        }
        return S_OK;
    }
    if (!pv) return E_INVALIDARG;
    if (vt == VT_VARIANT) return zxax_VariantCopy(static_cast<VARIANT *>(at), static_cast<VARIANT *>(pv));
    std::memcpy(at, pv, psa->cbElements);
    return S_OK;
}

HRESULT zxax_SafeArrayAccessData(SAFEARRAY *psa, void **ppvData) {
    if (!psa || !ppvData) return E_INVALIDARG;
    ++psa->cLocks;
    *ppvData = psa->pvData;
    return S_OK;
}

HRESULT zxax_SafeArrayUnaccessData(SAFEARRAY *psa) {
    if (!psa) return E_INVALIDARG;
    if (!psa->cLocks) return E_UNEXPECTED;
    --psa->cLocks;
    return S_OK;
}

}  // extern "C"
