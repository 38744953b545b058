#include "sdk/runtime/module_table.h"

#include <cstring>

namespace kalax::rt {

void copy_text(char *dst, size_t size, const char *src) {
    const size_t n = src ? strnlen(src, size - 1) : 0;
    if (n) std::memcpy(dst, src, n);
    std::memset(dst + n, 0, size - n);
}

int ModuleTable::take_slot() {
    rt.sem_wait(0, gate.get());
    const int slot = cursor;
    if (slot_free(slot)) return slot;
    open_gate();
    return -1;
}

bool ModuleTable::slot_free(int slot) {
    if (slot < 1 || slot >= kSlots) return false;
    SlotCore &s = core(slot);
    {
        SlotLock lock(rt, slot);
        if (s.state.load() != kFree || s.closing.load()) return false;
    }
    if (!rt.thread_attached(slot)) return true;
    // A worker that outlived its close: the slot is free once that thread is gone.
    if (rt.thread_end_wait(slot, 0) != 0) return false;
    SlotLock lock(rt, slot);
    release_all(slot);
    return true;
}

bool ModuleTable::move_cursor(int taken) {
    const int next = taken + 1;
    if (next < kSlots && slot_free(next)) {
        cursor = next;
        return true;
    }
    for (int slot = 1; slot < kSlots; ++slot) {
        if (slot_free(slot)) {
            cursor = slot;
            return true;
        }
    }
    return false;
}

ModuleTable::Start ModuleTable::start_worker(int slot, void (*entry)(void *), void *arg) {
    const zx_error_struct clean{};
    rt.copy_error(slot, &rt.error(slot), &clean);
    {
        SlotLock lock(rt, slot);
        if (!core(slot).request.create()) return Start::NoSemaphore;
    }
    return rt.thread_start(slot, entry, arg) == 0 ? Start::Started : Start::NoThread;
}

int ModuleTable::post_request(int slot) {
    platform::DeferredWake wake;  // after the lock: the worker's first step takes it
    SlotLock lock(rt, slot);
    return rt.sem_post(slot, core(slot).request.get(), wake);
}

ModuleTable::Close ModuleTable::close(int slot, bool require_open, void (*on_stop)(ModuleTable &, int)) {
    SlotCore &s = core(slot);
    {
        SlotLock lock(rt, slot);
        if (require_open && (s.state.load() == kFree || s.closing.load())) return Close::NotOpen;
        if (rt.on_slot_thread(slot)) return Close::OnOwnWorker;
        bool expected = false;
        if (!s.closing.compare_exchange_strong(expected, true)) return Close::Concurrent;
        s.state = kFree;
        if (on_stop) on_stop(*this, slot);
        // May already be posted: one wake is enough.
        if (s.request) zx_sem_post(s.request.get());
    }
    if (rt.thread_end_wait(slot, kEndWaitMs) != 0) {
        SlotLock lock(rt, slot);
        s.closing = false;
        return Close::NotEnded;
    }
    SlotLock lock(rt, slot);
    release_all(slot);
    s.closing = false;
    return Close::Closed;
}

void ModuleTable::close_own(int slot) {
    core(slot).state = kFree;
    rt.thread_release(slot);
    SlotLock lock(rt, slot);
    release_all(slot);
}

void ModuleTable::release_all(int slot) {
    release(slot);
    core(slot).request.reset();
}

}  // namespace kalax::rt
