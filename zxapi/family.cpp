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
    // The client counts every init call, also one that reports -1 (code 80
    // when the host had started it already, or a failed start that leaves the
    // count taken): the family holds exactly one reference and gives it back
    // with the last object, whatever init reported.
    if (!started_) {
        (void)init_();
        started_ = true;
    }
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
