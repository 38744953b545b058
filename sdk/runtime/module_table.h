// The slot lifecycle both clients share: the open gate and the next-slot
// cursor, slot allocation (with reaping of workers that outlived their close),
// each slot's request semaphore, and the close handshake with its bounded end
// wait. A client derives its table from ModuleTable, says what a slot releases,
// and turns the outcomes into its own result codes.
//
// Lock order: a slot's lock is never held while slot 0's record is written, so
// every function here returns an outcome and leaves the codes to the caller.
#pragma once

#include <atomic>
#include <cstddef>

#include "sdk/runtime/runtime.h"

namespace kalax::rt {

inline constexpr int kEndWaitMs = 3000;     // the longest a close waits for its worker
inline constexpr size_t kAddressSize = platform::kDottedSize;

// Slot states.
inline constexpr int kFree = 0;
inline constexpr int kOpening = -1;  // taken by an open until its worker runs
inline constexpr int kRunning = 1;

// Keeps at most size - 1 characters and clears the rest; null gives an empty text.
void copy_text(char *dst, size_t size, const char *src);

// What every module slot carries for its lifecycle.
struct SlotCore {
    // Read by the transport's waits without the slot lock: kFree tells them to stop.
    std::atomic<int> state{kFree};
    // Set for the whole of a close: the slot reads free, but an open must not
    // take it before the close has released what the old worker held.
    std::atomic<bool> closing{false};
    Semaphore request;  // posted once per queued request and by a close
};

class ModuleTable {
public:
    Runtime rt;
    int cursor = 1;  // the slot the next open takes; guarded by the gate
    Semaphore gate;  // held from an open until its worker has moved the cursor

    ModuleTable() = default;
    ModuleTable(const ModuleTable &) = delete;
    ModuleTable &operator=(const ModuleTable &) = delete;

    // ---- opening ------------------------------------------------------------
    // At library start: the cursor back on slot 1 and a new, closed gate.
    bool restart() {
        cursor = 1;
        return gate.create();
    }
    // Takes the gate and returns the slot at the cursor; -1 when that slot is
    // not free (the gate is given back; the caller stores its code).
    int take_slot();
    // Gives the gate back, e.g. after an open that could not start its worker.
    void open_gate() { zx_sem_post(gate.get()); }
    // Free for a new module? Also reaps a worker that outlived its close.
    bool slot_free(int slot);
    // Moves the cursor on from `taken`: the next slot when free, else the lowest
    // free one. false when none is free (the cursor stays).
    bool move_cursor(int taken);
    // Starts the worker of a slot just taken: the slot's record is cleaned (an
    // earlier module's failure must not show on the new one), the request
    // semaphore is created before the worker exists (so a close that races the
    // worker's start always finds something to post), then the thread starts.
    enum class Start { Started, NoSemaphore, NoThread };
    Start start_worker(int slot, void (*entry)(void *), void *arg);

    // ---- requests -----------------------------------------------------------
    // Posts the slot's request semaphore under its lock, so a close cannot
    // destroy it under the post. 0, or -1 (code 21 in the slot).
    int post_request(int slot);
    // The worker's wait for its next request; -1 when the wait broke (code 22).
    int wait_request(int slot) { return rt.sem_wait(slot, core(slot).request.get()); }

    // ---- closing ------------------------------------------------------------
    enum class Close {
        Closed,       // the worker ended and the slot was released
        NotOpen,      // only when asked to require an open slot: nothing done
        OnOwnWorker,  // called on the slot's own worker: it would wait for itself
        Concurrent,   // another thread is closing the slot
        NotEnded,     // the worker did not end within the end wait; the slot reads
                      // free and stays out of allocation until its thread ends
    };
    // Sets the state to free, calls on_stop (under the slot lock), wakes the
    // worker and waits for its end, then releases the slot.
    Close close(int slot, bool require_open, void (*on_stop)(ModuleTable &, int slot) = nullptr);
    // From the slot's own worker: forgets its handle and releases the slot; the
    // caller then ends the thread.
    void close_own(int slot);

protected:
    ~ModuleTable() = default;  // a table lives as long as the process
    virtual SlotCore &core(int slot) = 0;
    // Releases what the client's slot holds beyond the core; called under the
    // slot lock once the slot's worker has ended.
    virtual void release(int slot) = 0;

private:
    void release_all(int slot);
};

}  // namespace kalax::rt
