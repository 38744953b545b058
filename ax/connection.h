// Connection points: a source object's outgoing dispatch interface with a fixed
// number of sink slots.
//
// Firing runs on the calling thread, which must be the object's owner; it
// holds a reference to the object and to each sink for the whole call, so a
// sink may unadvise, or release the object's last reference, inside an event.
// Events that begin on worker threads reach the owner through its event queue
// (zx_events_*), and the component fires from that delivery.
#pragma once

#include <array>
#include <initializer_list>
#include <vector>

#include "ax/object.h"

namespace kalax::ax {

class ConnectionPoint final : public IConnectionPoint {
public:
    static constexpr size_t kSlots = 5;

    // `object` is the controlling unknown of the source object: the connection
    // point lives inside it and shares its reference count.
    ConnectionPoint(IUnknown *object, IConnectionPointContainer *container, const IID &iid, const OwnerThread &owner)
        : object_(object), container_(container), iid_(iid), owner_(owner) {}
    ~ConnectionPoint();
    ConnectionPoint(const ConnectionPoint &) = delete;
    ConnectionPoint &operator=(const ConnectionPoint &) = delete;

    const IID &iid() const { return iid_; }
    size_t connections() const;

    // Calls IDispatch::Invoke(id, IID_NULL, 0x0800, DISPATCH_METHOD) on each
    // connected sink in slot order, with `args` in declared order (rgvarg gets
    // them last-first). Results and failures of sinks are ignored.
    // RPC_E_WRONG_THREAD, and nothing fired, off the owner thread.
    HRESULT fire(DISPID id, const VARIANT *args, UINT count);
    HRESULT fire(DISPID id, std::initializer_list<VARIANT> args) {
        return fire(id, args.begin(), static_cast<UINT>(args.size()));
    }

    HRESULT QueryInterface(REFIID riid, void **ppv) override;
    ULONG AddRef() override { return object_->AddRef(); }
    ULONG Release() override { return object_->Release(); }
    HRESULT GetConnectionInterface(IID *pIID) override;
    HRESULT GetConnectionPointContainer(IConnectionPointContainer **ppCPC) override;
    HRESULT Advise(IUnknown *pUnkSink, DWORD *pdwCookie) override;
    HRESULT Unadvise(DWORD dwCookie) override;
    HRESULT EnumConnections(IEnumConnections **ppEnum) override;

private:
    IUnknown *object_;
    IConnectionPointContainer *container_;
    IID iid_;
    const OwnerThread &owner_;
    std::array<IDispatch *, kSlots> sinks_{};  // each holds one reference
};

// IConnectionPointContainer's two methods over the object's connection points.
HRESULT find_connection_point(std::initializer_list<ConnectionPoint *> points, REFIID riid, IConnectionPoint **ppCP);
HRESULT enum_connection_points(std::initializer_list<ConnectionPoint *> points, IEnumConnectionPoints **ppEnum);

// A VARIANT holding a 32-bit integer, for fire().
inline VARIANT variant_i4(LONG value) {
    VARIANT v;
    zxax_VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

// An automation class: dual interface `I` (IID `Iid`, described by `Describe`),
// one outgoing event interface served through `events_`, and error info. The
// derived class implements I's members and fires through `events_`.
template <typename I, const TypeDesc &(*Describe)(), const IID &Iid>
class AutomationObject : public Object<Dispatch<I, Describe>, IConnectionPointContainer, ISupportErrorInfo> {
public:
    HRESULT EnumConnectionPoints(IEnumConnectionPoints **ppEnum) override {
        if (const HRESULT hr = this->owner().check(); FAILED(hr)) return hr;
        return enum_connection_points({&events_}, ppEnum);
    }
    HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint **ppCP) override {
        if (const HRESULT hr = this->owner().check(); FAILED(hr)) return hr;
        return find_connection_point({&events_}, riid, ppCP);
    }
    HRESULT InterfaceSupportsErrorInfo(REFIID riid) override { return riid == Iid ? S_OK : S_FALSE; }

protected:
    AutomationObject(IUnknown *outer, const IID &events_iid)
        : AutomationObject::Object(outer), events_(this->controlling(), this, events_iid, this->owner()) {}

    HRESULT query(REFIID riid, void **ppv) override {
        if (riid == IID_IDispatch || riid == Iid)
            *ppv = static_cast<I *>(this);
        else if (riid == IID_IConnectionPointContainer)
            *ppv = static_cast<IConnectionPointContainer *>(this);
        else if (riid == IID_ISupportErrorInfo)
            *ppv = static_cast<ISupportErrorInfo *>(this);
        else
            return E_NOINTERFACE;
        this->AddRef();
        return S_OK;
    }

    ConnectionPoint events_;
};

}  // namespace kalax::ax
