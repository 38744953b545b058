// Threads, sleeping and the exported mutex / semaphore wrappers on POSIX.
#include <cerrno>
#include <ctime>
#include <memory>
#include <new>
#include <pthread.h>

#include "kalax/zx.h"
#include "sdk/runtime/platform.h"

namespace kalax::platform {

namespace {

struct Start {
    void (*entry)(void *);
    void *arg;
};

void *trampoline(void *p) {
    std::unique_ptr<Start> start(static_cast<Start *>(p));
    start->entry(start->arg);
    return nullptr;
}

}  // namespace

Thread::~Thread() { detach(); }

bool Thread::start(void (*entry)(void *), void *arg) {
    detach();
    auto start = std::make_unique<Start>(Start{entry, arg});
    pthread_t id;
    if (pthread_create(&id, nullptr, trampoline, start.get()) != 0) return false;
    start.release();  // the new thread owns it now
    id_ = static_cast<unsigned long>(id);
    attached_ = true;
    return true;
}

bool Thread::join_for(int ms) {
    if (!attached_) return true;
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    if (pthread_timedjoin_np(static_cast<pthread_t>(id_), nullptr, &deadline) != 0) return false;
    attached_ = false;
    return true;
}

void Thread::detach() {
    if (!attached_) return;
    pthread_detach(static_cast<pthread_t>(id_));
    attached_ = false;
}

bool Thread::is_current() const noexcept {
    return attached_ && pthread_equal(static_cast<pthread_t>(id_), pthread_self());
}

void thread_exit() { pthread_exit(nullptr); }

void sleep_ms(int ms) {
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace kalax::platform

// A counting semaphore with maximum 1: a post that finds the count at 1 fails.
struct zx_sem {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    int count = 0;
};

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
    if (!s || !*s) return -1;
    zx_sem &sem = **s;
    pthread_mutex_lock(&sem.mutex);
    const bool full = sem.count >= 1;
    if (!full) sem.count = 1;
    pthread_mutex_unlock(&sem.mutex);
    if (full) return -1;
    pthread_cond_signal(&sem.cond);
    return 0;
}

int zx_sem_wait(zx_sem_t *s) {
    if (!s || !*s) return -1;
    zx_sem &sem = **s;
    pthread_mutex_lock(&sem.mutex);
    while (sem.count == 0) pthread_cond_wait(&sem.cond, &sem.mutex);
    sem.count = 0;
    pthread_mutex_unlock(&sem.mutex);
    return 0;
}

int zx_sem_destroy(zx_sem_t *s) {
    if (!s || !*s) return 0;
    pthread_cond_destroy(&(*s)->cond);
    pthread_mutex_destroy(&(*s)->mutex);
    delete *s;
    *s = nullptr;
    return 1;
}

}  // extern "C"
