#include "sdk/runtime/runtime.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kalax::rt {

Runtime::Runtime() {
    for (auto &m : locks_) zx_thread_mutex_init(&m);
}

Runtime::~Runtime() {
    for (auto &m : locks_) zx_thread_mutex_destroy(&m);
}

int Runtime::set_error(int slot, int code) {
    slot = clamp_slot(slot);
    const int err = errno;  // before anything else can change it
    zx_error_struct record{};
    record.sys_code = err;
    record.code = code;
    platform::error_text(err, record.sys_text, sizeof record.sys_text);
    std::snprintf(record.text, sizeof record.text, "%s", code_text(code));
    if (zx_thread_mutex_lock(&locks_[slot]) != 0) return -1;
    errors_[slot] = record;
    const int rc = zx_thread_mutex_unlock(&locks_[slot]);
    errno = err;
    return rc;
}

int Runtime::copy_error(int slot, zx_error_struct *dst, const zx_error_struct *src) {
    slot = clamp_slot(slot);
    if (!dst || !src) return -1;
    if (zx_thread_mutex_lock(&locks_[slot]) != 0) return -1;
    if (dst != src) std::memmove(dst, src, sizeof *dst);
    return zx_thread_mutex_unlock(&locks_[slot]);
}

int Runtime::read_error(int slot, zx_error_struct *out) { return copy_error(slot, out, &errors_[clamp_slot(slot)]); }

int Runtime::print_error(int slot) {
    zx_error_struct e{};
    read_error(slot, &e);
    const int n = std::printf("%s (%i): %s (%i)\n", e.text, e.code, e.sys_text, e.sys_code);
    std::fflush(stdout);
    return n;
}

int Runtime::lock(int slot) {
    if (zx_thread_mutex_lock(&locks_[clamp_slot(slot)]) != 0) {
        set_error(slot, kMUTEX_LOCK);
        return -1;
    }
    return 0;
}

int Runtime::unlock(int slot) {
    if (zx_thread_mutex_unlock(&locks_[clamp_slot(slot)]) != 0) {
        set_error(slot, kMUTEX_UNLOCK);
        return -1;
    }
    return 0;
}

int Runtime::sem_post(int slot, zx_sem_t *sem) {
    if (zx_sem_post(sem) != 0) {
        set_error(slot, kSEM_POST);
        return -1;
    }
    return 0;
}

int Runtime::sem_post(int slot, zx_sem_t *sem, platform::DeferredWake &wake) {
    if (platform::sem_post_deferred(sem, wake) != 0) {
        set_error(slot, kSEM_POST);
        return -1;
    }
    return 0;
}

int Runtime::sem_wait(int slot, zx_sem_t *sem) {
    if (zx_sem_wait(sem) != 0) {
        set_error(slot, kSEM_WAIT);
        return -1;
    }
    return 0;
}

int Runtime::thread_start(int slot, void (*entry)(void *), void *arg) {
    return threads_[clamp_slot(slot)].start(entry, arg) ? 0 : -1;
}

int Runtime::thread_end_wait(int slot, int ms) { return threads_[clamp_slot(slot)].join_for(ms) ? 0 : -1; }

void Runtime::thread_release(int slot) { threads_[clamp_slot(slot)].detach(); }

}  // namespace kalax::rt
