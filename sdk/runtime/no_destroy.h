// Process-wide state that lives until the process is gone.
//
// A client's table, locks and semaphores are used by worker threads that may
// still run while the process exits (a program may return from main with
// modules open). Static destruction would destroy them under those threads, and
// destroying a condition variable that a thread waits on blocks for ever. So the
// instance is built in place on first use and never destroyed; the operating
// system takes the memory back, as it takes back the threads.
#pragma once

#include <new>
#include <utility>

namespace kalax::rt {

template <typename T>
class NoDestroy {
public:
    template <typename... Args>
    explicit NoDestroy(Args &&...args) {
        ::new (static_cast<void *>(storage_)) T(std::forward<Args>(args)...);
    }
    ~NoDestroy() = default;  // on purpose: T's destructor never runs
    NoDestroy(const NoDestroy &) = delete;
    NoDestroy &operator=(const NoDestroy &) = delete;

    T &get() { return *std::launder(reinterpret_cast<T *>(storage_)); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace kalax::rt
