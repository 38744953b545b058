// Component objects: reference counting with aggregation, creation through a
// class factory, the module's lock count, and IDispatch from a description.
#pragma once

#include <atomic>
#include <new>

#include "ax/apartment.h"
#include "ax/com.h"
#include "ax/describe.h"

namespace kalax::ax {

// The reference count and identity of one object. Created alone, the object is
// its own controlling unknown; aggregated, every interface's IUnknown methods
// go to the outer object, and only inner_unknown() answers for the object itself.
// Each live object holds one module lock.
class ObjectBase {
public:
    ObjectBase(const ObjectBase &) = delete;
    ObjectBase &operator=(const ObjectBase &) = delete;
    IUnknown *inner_unknown() { return &inner_; }
    IUnknown *controlling() const { return controlling_; }
    const OwnerThread &owner() const { return owner_; }

protected:
    explicit ObjectBase(IUnknown *outer) : inner_(this), controlling_(outer ? outer : &inner_) { module_lock(); }
    virtual ~ObjectBase() { module_unlock(); }
    // The object's own interfaces (not IUnknown): set *ppv and AddRef, or E_NOINTERFACE.
    virtual HRESULT query(REFIID riid, void **ppv) = 0;

private:
    struct Inner final : IUnknown {
        explicit Inner(ObjectBase *o) : self(o) {}
        HRESULT QueryInterface(REFIID riid, void **ppv) override {
            if (!ppv) return E_POINTER;
            *ppv = nullptr;
            if (riid == IID_IUnknown) {
                *ppv = static_cast<IUnknown *>(this);
                AddRef();
                return S_OK;
            }
            return self->query(riid, ppv);
        }
        ULONG AddRef() override { return ++refs; }
        ULONG Release() override {
            const ULONG left = --refs;
            if (!left) delete self;
            return left;
        }
        ObjectBase *self;
        std::atomic<ULONG> refs{1};
    };
    Inner inner_;
    IUnknown *controlling_;
    OwnerThread owner_;
};

// An object implementing `Ifaces`: their IUnknown methods go to the controlling unknown.
template <typename... Ifaces>
class Object : public ObjectBase, public Ifaces... {
public:
    HRESULT QueryInterface(REFIID riid, void **ppv) override { return controlling()->QueryInterface(riid, ppv); }
    ULONG AddRef() override { return controlling()->AddRef(); }
    ULONG Release() override { return controlling()->Release(); }

protected:
    using ObjectBase::ObjectBase;
};

// Creates a `T` (constructed from the outer unknown) and queries it for `riid`.
// An outer object may only ask for IUnknown (CLASS_E_NOAGGREGATION otherwise).
template <typename T>
HRESULT create_instance(IUnknown *outer, REFIID riid, void **ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
    T *object = new (std::nothrow) T(outer);
    if (!object) return E_OUTOFMEMORY;
    IUnknown *inner = object->inner_unknown();
    const HRESULT hr = inner->QueryInterface(riid, ppv);
    inner->Release();  // the constructor's reference: on failure this frees the object
    return hr;
}

using CreateFunction = HRESULT (*)(IUnknown *outer, REFIID riid, void **ppv);

// A class factory for one creatable class. LockServer holds the module lock;
// the factory itself does not.
HRESULT class_factory(CreateFunction create, REFIID riid, void **ppv);

// ---- IDispatch from a description ------------------------------------------------
HRESULT dispatch_ids(const TypeDesc &type, LPOLESTR *names, UINT count, DISPID *ids);
// Calls the member of `type` that `id` and `flags` select on `self` (a pointer
// to the interface the description was built from).
HRESULT dispatch_invoke(const TypeDesc &type, void *self, DISPID id, WORD flags, DISPPARAMS *params,
                        VARIANT *result, EXCEPINFO *excep, UINT *arg_err);

// Implements IDispatch's four methods of `I` from the description `Describe()`.
// Calls from a thread other than the owner's get RPC_E_WRONG_THREAD.
template <typename I, const TypeDesc &(*Describe)()>
class Dispatch : public I {
public:
    HRESULT GetTypeInfoCount(UINT *pctinfo) override {
        if (!pctinfo) return E_INVALIDARG;
        *pctinfo = 1;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT iTInfo, LCID, ITypeInfo **ppTInfo) override {
        if (!ppTInfo) return E_INVALIDARG;
        *ppTInfo = nullptr;
        if (iTInfo != 0) return DISP_E_BADINDEX;
        return type_info_of(Describe(), ppTInfo);
    }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR *rgszNames, UINT cNames, LCID, DISPID *rgDispId) override {
        return dispatch_ids(Describe(), rgszNames, cNames, rgDispId);
    }
    HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags, DISPPARAMS *pDispParams,
                   VARIANT *pVarResult, EXCEPINFO *pExcepInfo, UINT *puArgErr) override {
        if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
        if (!owner_.current()) return RPC_E_WRONG_THREAD;
        return dispatch_invoke(Describe(), static_cast<I *>(this), dispIdMember, wFlags, pDispParams, pVarResult,
                               pExcepInfo, puArgErr);
    }

private:
    OwnerThread owner_;
};

}  // namespace kalax::ax
