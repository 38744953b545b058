// One client's runtime: the error store, the slot locks and the thread table of
// 100 module slots. Each client (agent XML, data log) owns one instance, so the
// two never share an error record or a lock.
#pragma once

#include <array>
#include <cstdint>

#include "kalax/zx.h"
#include "sdk/runtime/platform.h"
#include "sdk/runtime/result_codes.h"

namespace kalax::rt {

inline constexpr int kSlots = 100;

// Slot numbers from callers are untrusted: anything outside 0-99 lands in slot 0.
constexpr int clamp_slot(int slot) noexcept { return slot >= 0 && slot < kSlots ? slot : 0; }
constexpr bool valid_slot(int slot) noexcept { return slot >= 0 && slot < kSlots; }

class Runtime {
public:
    Runtime();
    ~Runtime();
    Runtime(const Runtime &) = delete;
    Runtime &operator=(const Runtime &) = delete;

    // Stores `code`, its message and the current errno in the slot's record.
    // Returns 0, or -1 when the unlock failed.
    int set_error(int slot, int code);
    // set_error, then -1: the usual way out of a failing call.
    int fail(int slot, int code) {
        set_error(slot, code);
        return -1;
    }
    // Copies one record onto another under the slot's lock.
    int copy_error(int slot, zx_error_struct *dst, const zx_error_struct *src);
    // Copies the slot's record out under its lock; the unlock's result.
    int read_error(int slot, zx_error_struct *out);
    // "text (code): sys_text (sys_code)\n" on standard output; printf's result.
    int print_error(int slot);
    zx_error_struct &error(int slot) { return errors_[clamp_slot(slot)]; }

    // Slot locks: recursive, alive for the runtime's whole life, so a late
    // caller on a closed slot never touches a destroyed lock. Failures store
    // codes 24 / 25 in the slot.
    int lock(int slot);
    int unlock(int slot);

    // Semaphore wrappers that report into the slot: codes 21 / 22.
    int sem_post(int slot, zx_sem_t *sem);
    // The same with the wake-up left to `wake` (platform::sem_post_deferred).
    int sem_post(int slot, zx_sem_t *sem, platform::DeferredWake &wake);
    int sem_wait(int slot, zx_sem_t *sem);

    // Thread table. start: -1 when creation failed.
    int thread_start(int slot, void (*entry)(void *), void *arg);
    // Waits up to 3000 ms; 0 when the thread ended (handle released), else -1.
    int thread_end_wait(int slot, int ms = 3000);
    void thread_release(int slot);  // without waiting
    bool thread_attached(int slot) { return threads_[clamp_slot(slot)].attached(); }
    bool on_slot_thread(int slot) { return threads_[clamp_slot(slot)].is_current(); }

private:
    std::array<zx_error_struct, kSlots> errors_{};
    std::array<zx_thread_mutex_t, kSlots> locks_{};
    std::array<platform::Thread, kSlots> threads_;
};

// Nested initialisations of one client: -1 while not initialised. Not locked:
// a client's init, uninit and count-to-zero must not run concurrently.
class InitCount {
public:
    // true when this call starts the client; otherwise code 80 in slot 0 and
    // the nesting is counted.
    bool enter(Runtime &rt) {
        if (++value_ == 0) return true;
        rt.set_error(0, kMODULE_IN_USE);
        return false;
    }
    enum class Leave { NotInitialised, Nested, Last };
    // Last: the caller tears the client down now (the count already reads -1).
    Leave leave(Runtime &rt) {
        if (value_ == -1) return Leave::NotInitialised;
        if (value_ > 0) {
            --value_;
            rt.set_error(0, kMODULE_IN_USE);
            return Leave::Nested;
        }
        value_ = -1;
        return Leave::Last;
    }
    void to_zero() {
        if (value_ > 0) value_ = 0;
    }
    void reset() { value_ = -1; }
    bool initialised() const { return value_ >= 0; }

private:
    int32_t value_ = -1;
};

// Holds a slot lock for a scope.
class SlotLock {
public:
    SlotLock(Runtime &rt, int slot) : rt_(rt), slot_(slot) { rt_.lock(slot_); }
    ~SlotLock() { rt_.unlock(slot_); }
    SlotLock(const SlotLock &) = delete;
    SlotLock &operator=(const SlotLock &) = delete;

private:
    Runtime &rt_;
    int slot_;
};

// A binary semaphore owned for a scope or a slot's life.
class Semaphore {
public:
    Semaphore() = default;
    ~Semaphore() { reset(); }
    Semaphore(const Semaphore &) = delete;
    Semaphore &operator=(const Semaphore &) = delete;
    bool create() { reset(); return zx_sem_init(&sem_) == 0; }
    void reset() { if (sem_) zx_sem_destroy(&sem_); sem_ = nullptr; }
    zx_sem_t *get() { return &sem_; }
    explicit operator bool() const { return sem_ != nullptr; }

private:
    zx_sem_t sem_ = nullptr;
};

}  // namespace kalax::rt
