// The class factory of a creatable class.
#include <new>

#include "ax/object.h"

namespace kalax::ax {

namespace {

class ClassFactory final : public Simple<IClassFactory> {
public:
    explicit ClassFactory(CreateFunction create) : Simple(IID_IClassFactory), create_(create) {}
    HRESULT CreateInstance(IUnknown *outer, REFIID riid, void **ppv) override { return create_(outer, riid, ppv); }
    HRESULT LockServer(BOOL lock) override {
        if (lock)
            module_lock();
        else
            module_unlock();
        return S_OK;
    }

private:
    CreateFunction create_;
};

}  // namespace

HRESULT class_factory(CreateFunction create, REFIID riid, void **ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    auto *f = new (std::nothrow) ClassFactory(create);
    if (!f) return E_OUTOFMEMORY;
    const HRESULT hr = f->QueryInterface(riid, ppv);
    f->Release();
    return hr;
}

}  // namespace kalax::ax
