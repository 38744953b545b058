// Small C++ helpers for writing and using component objects inside the library.
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <utility>

#include "kalax/ax.h"

namespace kalax::ax {

// Owns one reference to an interface.
template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes a new reference.
    explicit ComPtr(T *p) : p_(p) {
        if (p_) p_->AddRef();
    }
    ComPtr(const ComPtr &o) : ComPtr(o.p_) {}
    ComPtr(ComPtr &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ComPtr &operator=(ComPtr o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~ComPtr() { reset(); }
    // Takes over a reference the caller already holds.
    static ComPtr adopt(T *p) {
        ComPtr r;
        r.p_ = p;
        return r;
    }
    void reset() {
        if (T *p = std::exchange(p_, nullptr)) p->Release();
    }
    T *get() const { return p_; }
    T *operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For out parameters: releases what is held and hands out the slot.
    T **put() {
        reset();
        return &p_;
    }
    T *detach() { return std::exchange(p_, nullptr); }

private:
    T *p_ = nullptr;
};

// A reference-counted object with one interface `I` (besides IUnknown), whose
// IID is given at construction. Released to zero, it deletes itself.
template <typename I>
class Simple : public I {
public:
    explicit Simple(const IID &iid) : iid_(iid) {}
    virtual ~Simple() = default;
    HRESULT QueryInterface(REFIID riid, void **ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == iid_) {
            *ppv = static_cast<I *>(this);
            this->AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (!left) delete this;
        return left;
    }

private:
    std::atomic<ULONG> refs_{1};
    IID iid_;
};

// The library's texts are char16_t. OLECHAR is char16_t here and wchar_t on
// Windows, both 16-bit UTF-16 code units: a BSTR is viewed as char16_t text.
inline const char16_t *u16_of(const OLECHAR *s) { return reinterpret_cast<const char16_t *>(s); }
inline const OLECHAR *ole_of(const char16_t *s) { return reinterpret_cast<const OLECHAR *>(s); }

// Owns a BSTR.
class Bstr {
public:
    Bstr() = default;
    explicit Bstr(BSTR b) : b_(b) {}
    Bstr(const Bstr &) = delete;
    Bstr &operator=(const Bstr &) = delete;
    Bstr(Bstr &&o) noexcept : b_(std::exchange(o.b_, nullptr)) {}
    Bstr &operator=(Bstr &&o) noexcept {
        std::swap(b_, o.b_);
        return *this;
    }
    ~Bstr() { zxax_SysFreeString(b_); }
    BSTR get() const { return b_; }
    BSTR *put() {
        zxax_SysFreeString(std::exchange(b_, nullptr));
        return &b_;
    }
    BSTR detach() { return std::exchange(b_, nullptr); }
    UINT size() const { return zxax_SysStringLen(b_); }
    std::u16string_view view() const { return {b_ ? u16_of(b_) : u"", size()}; }

private:
    BSTR b_ = nullptr;
};

// Owns a VARIANT's contents.
struct Variant : VARIANT {
    Variant() { zxax_VariantInit(this); }
    Variant(const Variant &) = delete;
    Variant &operator=(const Variant &) = delete;
    ~Variant() { zxax_VariantClear(this); }
};

// ---- text ---------------------------------------------------------------------
// UTF-8 <-> UTF-16. Invalid input fails (false), nothing is replaced.
bool utf8_to_utf16(std::string_view in, std::u16string &out);
bool utf16_to_utf8(std::u16string_view in, std::string &out);
// A BSTR of the text; null when it cannot be allocated.
BSTR bstr_from(std::u16string_view text);
BSTR bstr_from_utf8(std::string_view text);  // null also for invalid UTF-8
// ASCII-only case folding, the rule for member and registry key names.
bool iequals(std::u16string_view a, std::u16string_view b);
bool iequals(std::string_view a, std::string_view b);

// A deep copy of a one-dimensional array.
HRESULT safearray_copy(const SAFEARRAY *src, SAFEARRAY **out);

// ---- GUIDs ----------------------------------------------------------------------
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
std::string guid_text(const GUID &g);
bool guid_parse(std::string_view text, GUID &out);

// ---- the module's lock count ----------------------------------------------------
// Live objects and IClassFactory::LockServer of the servers built from this
// library's pieces; DllCanUnloadNow is S_OK only at 0.
void module_lock();
void module_unlock();
long module_locks();

}  // namespace kalax::ax
