#include "zxapi/family.h"

#include <mutex>

#include "kalax/zxpld.h"
#include "kalax/zxxml.h"
#include "sdk/runtime/no_destroy.h"

namespace zxapi::detail {

namespace {

// Function-local and never destroyed: objects that outlive main's return (or
// die in other statics' destructors) still find the lock.
std::mutex &family_lock() noexcept {
    static kalax::rt::NoDestroy<std::mutex> lock;
    return lock.get();
}

}  // namespace

void Family::Join() noexcept {
    std::lock_guard guard(family_lock());
    ++count_;
    // Keyed on the client's state, not on the count: a start that failed is
    // tried again by the next object.
    if (!started_) started_ = init_() == 0;
}

void Family::Leave() noexcept {
    std::lock_guard guard(family_lock());
    if (count_ > 0) --count_;
    if (count_ == 0 && started_) {
        uninit_();
        started_ = false;
    }
}

int Family::Count() const noexcept {
    std::lock_guard guard(family_lock());
    return count_;
}

Family &Family::Devices() noexcept {
    static kalax::rt::NoDestroy<Family> family(zxxml_init, zxxml_uninit);
    return family.get();
}

Family &Family::Logs() noexcept {
    static kalax::rt::NoDestroy<Family> family(zxpld_init, zxpld_uninit);
    return family.get();
}

}  // namespace zxapi::detail
