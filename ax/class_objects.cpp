// The class objects of IoXml and KalLog, as both platforms' server entry points
// hand them out.
#include <iterator>
#include <mutex>

#include "ax/com.h"
#include "ax/kalax_objects.h"
#include "ax/object.h"
#include "kalax/zxpld.h"
#include "kalax/zxxml.h"
#include "sdk/runtime/event_signal.h"

namespace kalax::ax::lib {

namespace {

struct Creatable {
    const CLSID &clsid;
    CreateFunction create;
};

const Creatable kCreatable[] = {
    {CLSID_IoXml, &create_ioxml},
    {CLSID_KalLog, &create_kallog},
};

// One class object per class, made on the first request (once, whichever
// threads ask) and kept while the library is loaded. When the library is
// unloaded (or the process ends) both C clients are shut down whatever their
// reference counts, then the class objects go.
class ServerModule {
public:
    ServerModule() = default;
    ServerModule(const ServerModule &) = delete;
    ServerModule &operator=(const ServerModule &) = delete;
    ~ServerModule() {
        zxxml_count_ref2zero();
        zxxml_uninit();
        zxpld_count_ref2zero();
        zxpld_uninit();
        for (IClassFactory *f : factories_)
            if (f) f->Release();
    }
    IClassFactory *class_object(size_t i) {
        std::call_once(once_[i], [&] {
            void *p = nullptr;
            if (SUCCEEDED(class_factory(kCreatable[i].create, IID_IClassFactory, &p)))
                factories_[i] = static_cast<IClassFactory *>(p);
        });
        return factories_[i];
    }

private:
    std::once_flag once_[std::size(kCreatable)];
    IClassFactory *factories_[std::size(kCreatable)] = {};
};

ServerModule g_server;

}  // namespace

HRESULT get_class_object(REFCLSID rclsid, REFIID riid, void **ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    for (size_t i = 0; i < std::size(kCreatable); ++i) {
        if (rclsid != kCreatable[i].clsid) continue;
        IClassFactory *factory = g_server.class_object(i);
        return factory ? factory->QueryInterface(riid, ppv) : E_OUTOFMEMORY;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT can_unload_now() {
    if (module_locks() != 0) return S_FALSE;
#if defined(_WIN32)
    // A thread's event window runs this library's window procedure until the
    // thread ends, also after its last object went.
    if (platform::EventSignal::windows_open() != 0) return S_FALSE;
#endif
    return S_OK;
}

}  // namespace kalax::ax::lib
