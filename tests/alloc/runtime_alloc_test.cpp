// The runtime's own allocations with each failing in turn.
#include <gtest/gtest.h>

#include "alloc/failing_alloc.h"
#include "kalax/zx.h"

namespace kalax::test {
namespace {

TEST(AllocRuntime, SemaphoreInitFailsWithoutMemoryAndLeavesNoSemaphore) {
    zx_sem_t sem = nullptr;
    const long runs = alloc::torture([&] { return zx_sem_init(&sem); },
                                     [&](int rc, bool failed) {
                                         EXPECT_EQ(rc, failed ? -1 : 0);
                                         EXPECT_EQ(sem == nullptr, failed);
                                         EXPECT_EQ(zx_sem_post(&sem), failed ? -1 : 0);
                                         if (sem != nullptr) zx_sem_destroy(&sem);
                                         sem = nullptr;
                                     });
    EXPECT_EQ(runs, 2);
}

}  // namespace
}  // namespace kalax::test
