#include "ax/connection.h"

#include <new>

namespace kalax::ax {
namespace {

// A snapshot enumerator over items that are AddRef'ed while held.
template <typename IEnum, typename Item>
class Enumerator final : public Simple<IEnum> {
public:
    explicit Enumerator(std::vector<Item> items) : Simple<IEnum>(own_iid()), items_(std::move(items)) {
        for (Item &i : items_) ref(i);
    }
    ~Enumerator() {
        for (Item &i : items_) unref(i);
    }
    HRESULT Next(ULONG count, Item *out, ULONG *fetched) override {
        if (!out || (count > 1 && !fetched)) return E_POINTER;
        ULONG n = 0;
        while (n < count && at_ < items_.size()) {
            out[n] = items_[at_++];
            ref(out[n]);
            ++n;
        }
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG count) override {
        const size_t left = items_.size() - at_;
        at_ += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        at_ = 0;
        return S_OK;
    }
    HRESULT Clone(IEnum **out) override {
        if (!out) return E_POINTER;
        auto *e = new (std::nothrow) Enumerator(items_);
        if (!e) return E_OUTOFMEMORY;
        e->at_ = at_;
        *out = e;
        return S_OK;
    }

private:
    static const IID &own_iid() {
        if constexpr (std::is_same_v<IEnum, IEnumConnections>) return IID_IEnumConnections;
        else return IID_IEnumConnectionPoints;
    }
    static void ref(Item &i) {
        if constexpr (std::is_same_v<Item, CONNECTDATA>) i.pUnk->AddRef();
        else i->AddRef();
    }
    static void unref(Item &i) {
        if constexpr (std::is_same_v<Item, CONNECTDATA>) i.pUnk->Release();
        else i->Release();
    }

    std::vector<Item> items_;
    size_t at_ = 0;
};

}  // namespace

ConnectionPoint::~ConnectionPoint() {
    for (IDispatch *&s : sinks_)
        if (IDispatch *p = std::exchange(s, nullptr)) p->Release();
}

size_t ConnectionPoint::connections() const {
    size_t n = 0;
    for (IDispatch *s : sinks_) n += s != nullptr;
    return n;
}

HRESULT ConnectionPoint::fire(DISPID id, const VARIANT *args, UINT count) {
    if (!owner_.current()) return RPC_E_WRONG_THREAD;
    // Declared first, released last: the object outlives this call even when a
    // sink drops its last reference. Nothing of *this is touched after the
    // snapshot's sinks are released.
    ComPtr<IUnknown> keep(object_);
    std::array<ComPtr<IDispatch>, kSlots> snapshot;
    for (size_t i = 0; i < kSlots; ++i) snapshot[i] = ComPtr<IDispatch>(sinks_[i]);
    std::vector<VARIANT> reversed(count);
    for (ComPtr<IDispatch> &sink : snapshot) {
        if (!sink) continue;
        DISPPARAMS params{count ? reversed.data() : nullptr, nullptr, count, 0};
        // A sink may change what it was given: each one gets the event's own values.
        for (UINT i = 0; i < count; ++i) reversed[i] = args[count - 1 - i];
        VARIANT result;
        zxax_VariantInit(&result);
        sink->Invoke(id, IID_NULL, LOCALE_SYSTEM_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
        zxax_VariantClear(&result);
    }
    return S_OK;
}

HRESULT ConnectionPoint::QueryInterface(REFIID riid, void **ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
        *ppv = static_cast<IConnectionPoint *>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

HRESULT ConnectionPoint::GetConnectionInterface(IID *pIID) {
    if (!pIID) return E_POINTER;
    *pIID = iid_;
    return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer **ppCPC) {
    if (!ppCPC) return E_POINTER;
    *ppCPC = container_;
    container_->AddRef();
    return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown *pUnkSink, DWORD *pdwCookie) {
    if (!pUnkSink || !pdwCookie) return E_POINTER;
    *pdwCookie = 0;
    if (!owner_.current()) return RPC_E_WRONG_THREAD;
    size_t free_slot = kSlots;
    for (size_t i = 0; i < kSlots && free_slot == kSlots; ++i)
        if (!sinks_[i]) free_slot = i;
    if (free_slot == kSlots) return CONNECT_E_ADVISELIMIT;
    // The event interface itself, or plain IDispatch (what script hosts offer).
    void *sink = nullptr;
    if (FAILED(pUnkSink->QueryInterface(iid_, &sink)) && FAILED(pUnkSink->QueryInterface(IID_IDispatch, &sink)))
        return CONNECT_E_CANNOTCONNECT;
    // The query may have run code that advised another sink meanwhile.
    if (sinks_[free_slot]) {
        static_cast<IDispatch *>(sink)->Release();
        return CONNECT_E_ADVISELIMIT;
    }
    sinks_[free_slot] = static_cast<IDispatch *>(sink);
    *pdwCookie = static_cast<DWORD>(free_slot + 1);
    return S_OK;
}

HRESULT ConnectionPoint::Unadvise(DWORD dwCookie) {
    if (!owner_.current()) return RPC_E_WRONG_THREAD;
    if (dwCookie == 0 || dwCookie > kSlots || !sinks_[dwCookie - 1]) return CONNECT_E_NOCONNECTION;
    IDispatch *sink = std::exchange(sinks_[dwCookie - 1], nullptr);
    sink->Release();  // may run the sink's destructor; the slot is already free
    return S_OK;
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections **ppEnum) {
    if (!ppEnum) return E_POINTER;
    *ppEnum = nullptr;
    std::vector<CONNECTDATA> items;
    for (size_t i = 0; i < kSlots; ++i)
        if (sinks_[i]) items.push_back({sinks_[i], static_cast<DWORD>(i + 1)});
    auto *e = new (std::nothrow) Enumerator<IEnumConnections, CONNECTDATA>(std::move(items));
    if (!e) return E_OUTOFMEMORY;
    *ppEnum = e;
    return S_OK;
}

HRESULT find_connection_point(std::initializer_list<ConnectionPoint *> points, REFIID riid, IConnectionPoint **ppCP) {
    if (!ppCP) return E_POINTER;
    *ppCP = nullptr;
    for (ConnectionPoint *p : points)
        if (p->iid() == riid) {
            p->AddRef();
            *ppCP = p;
            return S_OK;
        }
    return CONNECT_E_NOCONNECTION;
}

HRESULT enum_connection_points(std::initializer_list<ConnectionPoint *> points, IEnumConnectionPoints **ppEnum) {
    if (!ppEnum) return E_POINTER;
    std::vector<IConnectionPoint *> items(points.begin(), points.end());
    auto *e = new (std::nothrow) Enumerator<IEnumConnectionPoints, IConnectionPoint *>(std::move(items));
    if (!e) return E_OUTOFMEMORY;
    *ppEnum = e;
    return S_OK;
}

}  // namespace kalax::ax
