// Apartments, object ownership and error info.
//
// zxax_CoInitialize makes the calling thread an apartment. An object belongs
// to the thread that created it and answers calls from other threads with
// RPC_E_WRONG_THREAD. Connection points fire synchronously on the thread that
// fires them, which must be the owner: a component whose events begin on a
// worker thread posts them to the owner's event queue (zx_events_fd /
// zx_events_dispatch / zx_events_wait of the object layer) and fires from that
// delivery. The runtime keeps no queue of its own.
#pragma once

#include <string_view>
#include <thread>

#include "ax/com.h"

namespace kalax::ax {

// True while the calling thread is inside zxax_CoInitialize .. zxax_CoUninitialize.
bool apartment_active();

// The thread an object belongs to: the one that constructed it.
class OwnerThread {
public:
    bool current() const { return id_ == std::this_thread::get_id(); }
    // S_OK on the owner thread, RPC_E_WRONG_THREAD elsewhere.
    HRESULT check() const { return current() ? S_OK : RPC_E_WRONG_THREAD; }

private:
    std::thread::id id_ = std::this_thread::get_id();
};

// Makes an error info object (source and description UTF-8) the calling
// thread's and returns `hr`, so a member can `return report_error(...)`.
HRESULT report_error(HRESULT hr, const IID &iid, std::string_view source, std::string_view description);

// Fills `info` for DISP_E_EXCEPTION from the thread's error info (taken and
// cleared), `scode` = hr. With a null `info` the error info stays for the caller.
void fill_excepinfo(EXCEPINFO *info, HRESULT hr);

}  // namespace kalax::ax
