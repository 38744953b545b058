// The entry points of the dummy server library.
#include "dummy.h"

#define DUMMY_EXPORT extern "C" __attribute__((visibility("default")))

DUMMY_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void **ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (rclsid != dummy::CLSID_Dummy) return CLASS_E_CLASSNOTAVAILABLE;
    return kalax::ax::class_factory(&dummy::create_dummy, riid, ppv);
}

DUMMY_EXPORT HRESULT DllCanUnloadNow() { return kalax::ax::module_locks() == 0 ? S_OK : S_FALSE; }

// For the tests: how many dummies this library holds alive.
DUMMY_EXPORT long DummyLiveObjects() { return dummy::live_dummies(); }
