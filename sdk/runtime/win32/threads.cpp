// Threads, sleeping and the exported mutex / semaphore wrappers on Windows.
#include <windows.h>
#include <process.h>

#include <cerrno>
#include <memory>
#include <new>

#include "kalax/zx.h"
#include "sdk/runtime/platform.h"

static_assert(sizeof(zx_thread_mutex_t) == sizeof(CRITICAL_SECTION), "zx.h lays out a critical section");
static_assert(alignof(zx_thread_mutex_t) == alignof(CRITICAL_SECTION), "zx.h lays out a critical section");

namespace kalax::platform {

struct ThreadControl {
    HANDLE handle = nullptr;
    DWORD id = 0;  // set before the thread runs (it starts suspended)
    void (*entry)(void *) = nullptr;
    void *arg = nullptr;
    ~ThreadControl() {
        if (handle) CloseHandle(handle);
    }
};

namespace {

// What thread_exit throws: the stack unwinds up to the thread's start, where
// the trampoline takes it, like a return from the entry.
struct ThreadEnd {};

unsigned __stdcall trampoline(void *p) {
    // The thread's own reference: the control outlives a handle that detaches.
    std::unique_ptr<std::shared_ptr<ThreadControl>> start(static_cast<std::shared_ptr<ThreadControl> *>(p));
    const std::shared_ptr<ThreadControl> control = *start;
    start.reset();
    try {
        control->entry(control->arg);
    } catch (const ThreadEnd &) {
    }
    return 0;
}

}  // namespace

Thread::~Thread() { detach(); }

bool Thread::start(void (*entry)(void *), void *arg) {
    detach();
    auto control = std::make_shared<ThreadControl>();
    control->entry = entry;
    control->arg = arg;
    auto start = std::make_unique<std::shared_ptr<ThreadControl>>(control);
    // Suspended until the handle and identity are in place: the thread may ask
    // at once whether it is the handle's thread.
    unsigned id = 0;
    const uintptr_t h = _beginthreadex(nullptr, 0, trampoline, start.get(), CREATE_SUSPENDED, &id);
    if (h == 0) return false;
    control->handle = reinterpret_cast<HANDLE>(h);
    control->id = id;
    control_ = control;
    start.release();  // the new thread owns it now
    ResumeThread(control->handle);
    return true;
}

bool Thread::join_for(int ms) {
    if (!control_) return true;
    if (WaitForSingleObject(control_->handle, ms < 0 ? 0 : static_cast<DWORD>(ms)) != WAIT_OBJECT_0) return false;
    control_.reset();
    return true;
}

// The handle is closed with the control, by whichever of the two ends last.
void Thread::detach() { control_.reset(); }

bool Thread::is_current() const noexcept {
    const std::shared_ptr<ThreadControl> control = control_;
    return control && control->id == GetCurrentThreadId();
}

void thread_exit() { throw ThreadEnd{}; }

void sleep_ms(int ms) { Sleep(ms < 0 ? 0 : static_cast<DWORD>(ms)); }

}  // namespace kalax::platform

// A counting semaphore with maximum 1: a post that finds the count at 1 fails.
struct zx_sem {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE posted = CONDITION_VARIABLE_INIT;
    bool count = false;
};

namespace kalax::platform {

// The post wakes its waiter at once, while the caller's lock still keeps the
// semaphore alive: Windows has no wake that touches nothing of it.
DeferredWake::~DeferredWake() = default;

int sem_post_deferred(zx_sem_t *s, DeferredWake &) {
    if (!s || !*s) return -1;
    zx_sem &sem = **s;
    AcquireSRWLockExclusive(&sem.lock);
    const bool was = sem.count;
    sem.count = true;
    ReleaseSRWLockExclusive(&sem.lock);
    if (was) return -1;
    WakeConditionVariable(&sem.posted);
    return 0;
}

}  // namespace kalax::platform

namespace {

CRITICAL_SECTION *section(zx_thread_mutex_t *m) { return reinterpret_cast<CRITICAL_SECTION *>(m); }

}  // namespace

extern "C" {

// Critical sections are recursive and their lock and unlock cannot fail.
int zx_thread_mutex_init(zx_thread_mutex_t *m) {
    if (!m) return -1;
    InitializeCriticalSection(section(m));
    return 0;
}

int zx_thread_mutex_lock(zx_thread_mutex_t *m) {
    if (!m) return -1;
    EnterCriticalSection(section(m));
    return 0;
}

int zx_thread_mutex_unlock(zx_thread_mutex_t *m) {
    if (!m) return -1;
    LeaveCriticalSection(section(m));
    return 0;
}

void zx_thread_mutex_destroy(zx_thread_mutex_t *m) {
    if (m) DeleteCriticalSection(section(m));
}

int zx_sem_init(zx_sem_t *s) {
    if (!s) return -1;
    *s = new (std::nothrow) zx_sem;
    return *s ? 0 : -1;
}

int zx_sem_post(zx_sem_t *s) {
    kalax::platform::DeferredWake wake;
    return kalax::platform::sem_post_deferred(s, wake);
}

int zx_sem_wait(zx_sem_t *s) {
    if (!s || !*s) return -1;
    zx_sem &sem = **s;
    AcquireSRWLockExclusive(&sem.lock);
    while (!sem.count) SleepConditionVariableSRW(&sem.posted, &sem.lock, INFINITE, 0);
    sem.count = false;
    ReleaseSRWLockExclusive(&sem.lock);
    return 0;
}

int zx_sem_destroy(zx_sem_t *s) {
    if (!s || !*s) return 0;
    delete *s;
    *s = nullptr;
    return 1;
}

}  // extern "C"
