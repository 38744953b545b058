// Threads, sleeping and the exported mutex / semaphore wrappers on POSIX.
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <memory>
#include <new>

#include "kalax/zx.h"
#include "sdk/runtime/platform.h"

namespace kalax::platform {

// A bounded join needs to know when the thread has finished; plain POSIX has no
// timed join, so the thread signals its own end.
struct ThreadControl {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t ended;
    pthread_t id{};
    bool has_id = false;
    bool done = false;
    void (*entry)(void *) = nullptr;
    void *arg = nullptr;

    ThreadControl() {
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        pthread_cond_init(&ended, &attr);
        pthread_condattr_destroy(&attr);
    }
    ~ThreadControl() {
        pthread_cond_destroy(&ended);
        pthread_mutex_destroy(&mutex);
    }
    ThreadControl(const ThreadControl &) = delete;
    ThreadControl &operator=(const ThreadControl &) = delete;

    void set_id(pthread_t self) {
        pthread_mutex_lock(&mutex);
        id = self;
        has_id = true;
        pthread_mutex_unlock(&mutex);
    }
};

namespace {

// Signals the end when the thread leaves its entry, by return or by
// thread_exit's unwinding alike.
struct EndSignal {
    ThreadControl &control;
    ~EndSignal() {
        pthread_mutex_lock(&control.mutex);
        control.done = true;
        pthread_cond_broadcast(&control.ended);
        pthread_mutex_unlock(&control.mutex);
    }
};

void *trampoline(void *p) {
    // The thread's own reference: the control outlives a handle that detaches.
    std::unique_ptr<std::shared_ptr<ThreadControl>> start(static_cast<std::shared_ptr<ThreadControl> *>(p));
    const std::shared_ptr<ThreadControl> control = *start;
    start.reset();
    control->set_id(pthread_self());
    EndSignal signal{*control};
    control->entry(control->arg);
    return nullptr;
}

}  // namespace

Thread::~Thread() { detach(); }

bool Thread::start(void (*entry)(void *), void *arg) {
    detach();
    auto control = std::make_shared<ThreadControl>();
    control->entry = entry;
    control->arg = arg;
    auto start = std::make_unique<std::shared_ptr<ThreadControl>>(control);
    // The handle is set before the thread exists: the thread may ask at once
    // whether it is the handle's thread.
    control_ = control;
    pthread_t id;
    if (pthread_create(&id, nullptr, trampoline, start.get()) != 0) {
        control_.reset();
        return false;
    }
    start.release();  // the new thread owns it now
    control->set_id(id);
    return true;
}

bool Thread::join_for(int ms) {
    if (!control_) return true;
    ThreadControl &c = *control_;
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&c.mutex);
    int rc = 0;
    while (!c.done && rc != ETIMEDOUT) rc = pthread_cond_timedwait(&c.ended, &c.mutex, &deadline);
    const bool done = c.done;
    const pthread_t id = c.id;
    pthread_mutex_unlock(&c.mutex);
    if (!done) return false;
    // The thread has left its entry; what remains of it ends at once.
    pthread_join(id, nullptr);
    control_.reset();
    return true;
}

void Thread::detach() {
    if (!control_) return;
    pthread_mutex_lock(&control_->mutex);
    const pthread_t id = control_->id;
    pthread_mutex_unlock(&control_->mutex);
    pthread_detach(id);
    control_.reset();
}

bool Thread::is_current() const noexcept {
    const std::shared_ptr<ThreadControl> control = control_;
    if (!control) return false;
    pthread_mutex_lock(&control->mutex);
    const bool current = control->has_id && pthread_equal(control->id, pthread_self());
    pthread_mutex_unlock(&control->mutex);
    return current;
}

void thread_exit() { pthread_exit(nullptr); }

void sleep_ms(int ms) {
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace kalax::platform

// A counting semaphore with maximum 1: a post that finds the count at 1 fails.
// The count is the futex word itself: a post sets it and, only when a waiter
// sleeps, wakes one with a single futex call; a wait takes a posted count
// without any call and sleeps on the word only while it reads 0.
struct zx_sem {
    std::atomic<uint32_t> count{0};
    std::atomic<uint32_t> sleepers{0};
};

namespace {

void futex_wait_while(std::atomic<uint32_t> &word, uint32_t value) {
    // Returns at once when the word no longer holds `value`; any wake-up or
    // signal sends the caller back to look.
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), FUTEX_WAIT_PRIVATE, value, nullptr, nullptr, 0);
}

}  // namespace

namespace kalax::platform {

DeferredWake::~DeferredWake() {
    if (word_) syscall(SYS_futex, static_cast<uint32_t *>(word_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

int sem_post_deferred(zx_sem_t *s, DeferredWake &wake) {
    if (!s || !*s) return -1;
    zx_sem &sem = **s;
    if (sem.count.exchange(1) == 1) return -1;
    // Sequentially consistent with the waiter's announcement: either it is
    // seen here, or its futex call finds the count already at 1.
    if (sem.sleepers.load() != 0) wake.word_ = reinterpret_cast<uint32_t *>(&sem.count);
    return 0;
}

}  // namespace kalax::platform

extern "C" {

int zx_thread_mutex_init(zx_thread_mutex_t *m) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    const int rc = pthread_mutex_init(m, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc == 0 ? 0 : -1;
}

int zx_thread_mutex_lock(zx_thread_mutex_t *m) { return pthread_mutex_lock(m) == 0 ? 0 : -1; }

int zx_thread_mutex_unlock(zx_thread_mutex_t *m) { return pthread_mutex_unlock(m) == 0 ? 0 : -1; }

void zx_thread_mutex_destroy(zx_thread_mutex_t *m) { pthread_mutex_destroy(m); }

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
    for (;;) {
        uint32_t posted = 1;
        if (sem.count.compare_exchange_strong(posted, 0)) return 0;
        sem.sleepers.fetch_add(1);
        futex_wait_while(sem.count, 0);
        sem.sleepers.fetch_sub(1);
    }
}

int zx_sem_destroy(zx_sem_t *s) {
    if (!s || !*s) return 0;
    delete *s;
    *s = nullptr;
    return 1;
}

}  // extern "C"
