// Error store, result texts and synchronisation primitives of one runtime instance.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kalax/zx.h"
#include "sdk/runtime/platform.h"
#include "sdk/runtime/result_codes.h"
#include "sdk/runtime/runtime.h"

using namespace kalax;

TEST(ResultTexts, TableEntriesAsStored) {
    char buf[ZX_ERROR_TEXT_MIN];
    const struct {
        int code;
        const char *text;
    } rows[] = {
        {0, "NULL"},
        {18, "ID >= ZXXML_ID_COUNT_MAX"},
        {41, "Count modules = ZX*_MODULES_MAX"},
        {48, "HTTP: Unauthorized"},
        {63, "HTTP: Requested Range Not Satisfiable"},  // the longest message
        {69, "HTTP: Gateway Timeout"},
        {70, "HTTP Version Not Supported"},              // no colon, unlike its neighbours
        {80, "Modul use more somewhere"},
        {89, "Resolve address failed"},
    };
    for (const auto &r : rows) {
        ASSERT_EQ(zx_error_i2s(r.code, buf), 0);
        EXPECT_STREQ(buf, r.text) << r.code;
    }
}

TEST(ResultTexts, CodesOutsideTheTableReadAsNull) {
    char buf[ZX_ERROR_TEXT_MIN];
    for (int code : {-1, 90, 200, 1 << 30}) {
        std::memset(buf, 'x', sizeof buf);
        zx_error_i2s(code, buf);
        EXPECT_STREQ(buf, "NULL") << code;
    }
}

TEST(ResultTexts, HttpStatusMapping) {
    EXPECT_EQ(http_status_code(399), 0);
    EXPECT_EQ(http_status_code(400), 47);
    EXPECT_EQ(http_status_code(401), 48);
    EXPECT_EQ(http_status_code(417), 64);
    EXPECT_EQ(http_status_code(418), 0);
    EXPECT_EQ(http_status_code(499), 0);
    EXPECT_EQ(http_status_code(500), 65);
    EXPECT_EQ(http_status_code(505), 70);
    EXPECT_EQ(http_status_code(506), 0);
    EXPECT_EQ(http_status_code(200), 0);
    EXPECT_EQ(http_status_code(302), 0);
}

TEST(ErrorStore, UnknownCodeKeepsNumberWithNullText) {
    rt::Runtime rt;
    errno = ENOENT;
    ASSERT_EQ(rt.set_error(5, 200), 0);
    zx_error_struct e{};
    rt.read_error(5, &e);
    EXPECT_EQ(e.code, 200);
    EXPECT_STREQ(e.text, "NULL");
    EXPECT_EQ(e.sys_code, ENOENT);
    EXPECT_STREQ(e.sys_text, std::strerror(ENOENT));
}

TEST(ErrorStore, CodeZeroClearsTextButKeepsErrno) {
    rt::Runtime rt;
    rt.set_error(3, kSOCKET_CONNECT);
    errno = EPIPE;
    rt.set_error(3, kOK);
    zx_error_struct e{};
    rt.read_error(3, &e);
    EXPECT_EQ(e.code, 0);
    EXPECT_STREQ(e.text, "NULL");
    EXPECT_EQ(e.sys_code, EPIPE);
}

TEST(ErrorStore, SlotsAreSeparateAndBadSlotsLandInSlotZero) {
    rt::Runtime rt;
    rt.set_error(7, kTIMEOUT);
    rt.set_error(150, kID_LIMIT);
    rt.set_error(-4, kID_LIMIT);
    zx_error_struct e{};
    rt.read_error(7, &e);
    EXPECT_EQ(e.code, kTIMEOUT);
    rt.read_error(0, &e);
    EXPECT_EQ(e.code, kID_LIMIT);
    rt.read_error(8, &e);
    EXPECT_EQ(e.code, 0);
    EXPECT_STREQ(e.text, "");  // never written: all zero
}

TEST(ErrorStore, TwoInstancesNeverShareRecords) {
    rt::Runtime a, b;
    a.set_error(1, kTIMEOUT);
    zx_error_struct e{};
    b.read_error(1, &e);
    EXPECT_EQ(e.code, 0);
}

TEST(ErrorStore, PrintGivesTextCodeThenSystemTextCode) {
    rt::Runtime rt;
    errno = EACCES;
    rt.set_error(2, kHTTP_401);
    testing::internal::CaptureStdout();
    const int n = rt.print_error(2);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string expected = std::string("HTTP: Unauthorized (48): ") + std::strerror(EACCES) + " (" +
                                 std::to_string(EACCES) + ")\n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(n, static_cast<int>(expected.size()));
}

TEST(ErrorStore, RecordLayoutIsPinned) {
    static_assert(sizeof(zx_error_struct) == 216);
    EXPECT_EQ(offsetof(zx_error_struct, code), 4u);
    EXPECT_EQ(offsetof(zx_error_struct, sys_text), 8u);
    EXPECT_EQ(offsetof(zx_error_struct, text), 112u);
}

TEST(Semaphore, HoldsAtMostOnePost) {
    zx_sem_t s = nullptr;
    ASSERT_EQ(zx_sem_init(&s), 0);
    EXPECT_EQ(zx_sem_post(&s), 0);
    EXPECT_EQ(zx_sem_post(&s), -1);
    EXPECT_EQ(zx_sem_wait(&s), 0);  // returns at once, count back to 0
    EXPECT_EQ(zx_sem_post(&s), 0);
    EXPECT_NE(zx_sem_destroy(&s), 0);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(zx_sem_destroy(&s), 0);  // nothing left to release
    EXPECT_EQ(zx_sem_post(&s), -1);
}

TEST(Semaphore, WakesAWaiterOnAnotherThread) {
    rt::Semaphore s;
    ASSERT_TRUE(s.create());
    std::atomic<bool> woke{false};
    std::thread t([&] {
        zx_sem_wait(s.get());
        woke = true;
    });
    EXPECT_EQ(zx_sem_post(s.get()), 0);
    t.join();
    EXPECT_TRUE(woke);
}

// Every post must reach a waiter that sleeps or is about to: a lost wake-up
// leaves one side asleep for ever. Two threads hand two semaphores back and
// forth many times (each hand-over races a waiter going to sleep), and several
// waiters share one semaphore as openers share the gate. Bounded: on a hang the
// threads are left behind and the test fails.
TEST(Semaphore, NoWakeUpIsLostBetweenThreads) {
    struct Shared {
        rt::Semaphore ping, pong, gate;
        std::atomic<int> rounds{0}, through_gate{0};
    };
    auto shared = std::make_shared<Shared>();
    ASSERT_TRUE(shared->ping.create() && shared->pong.create() && shared->gate.create());
    constexpr int kRounds = 20000, kWaiters = 4;
    std::vector<std::thread> threads;
    threads.emplace_back([shared] {
        for (int i = 0; i < kRounds; ++i) {
            zx_sem_wait(shared->ping.get());
            zx_sem_post(shared->pong.get());
        }
    });
    threads.emplace_back([shared] {
        for (int i = 0; i < kRounds; ++i) {
            zx_sem_post(shared->ping.get());
            zx_sem_wait(shared->pong.get());
            shared->rounds.fetch_add(1);
        }
    });
    for (int i = 0; i < kWaiters; ++i)
        threads.emplace_back([shared] {
            zx_sem_wait(shared->gate.get());
            shared->through_gate.fetch_add(1);
        });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int posted = 0;
    while (std::chrono::steady_clock::now() < deadline &&
           (shared->rounds.load() < kRounds || shared->through_gate.load() < kWaiters)) {
        // One post at a time: the next only once the last was taken.
        if (posted < kWaiters && posted == shared->through_gate.load() && zx_sem_post(shared->gate.get()) == 0)
            ++posted;
        std::this_thread::yield();
    }
    EXPECT_EQ(shared->rounds.load(), kRounds);
    EXPECT_EQ(shared->through_gate.load(), kWaiters);
    const bool done = shared->rounds.load() == kRounds && shared->through_gate.load() == kWaiters;
    for (std::thread &t : threads) done ? t.join() : t.detach();
}

TEST(Semaphore, ADeferredWakeReachesTheSleeperWhenItsScopeEnds) {
    // Posted under a lock, the sleeper is woken only once the lock is gone
    // (the wake outlives it), and then surely.
    rt::Semaphore s;
    ASSERT_TRUE(s.create());
    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        zx_sem_wait(s.get());
        woke = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // asleep by now
    {
        platform::DeferredWake wake;
        EXPECT_EQ(platform::sem_post_deferred(s.get(), wake), 0);
        EXPECT_EQ(platform::sem_post_deferred(s.get(), wake), -1) << "still one post at most";
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(woke.load()) << "woken before the wake's scope ended";
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!woke.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(woke.load());
    if (!woke.load()) zx_sem_post(s.get());  // lets the test end anyway
    waiter.join();
}

TEST(Semaphore, SurplusPostThroughSlotWrapperStoresCode21) {
    rt::Runtime rt;
    rt::Semaphore s;
    ASSERT_TRUE(s.create());
    EXPECT_EQ(rt.sem_post(4, s.get()), 0);
    EXPECT_EQ(rt.sem_post(4, s.get()), -1);
    zx_error_struct e{};
    rt.read_error(4, &e);
    EXPECT_EQ(e.code, kSEM_POST);
}

TEST(Mutex, RecursiveAndReleasedAfterEqualUnlocks) {
    zx_thread_mutex_t m;
    ASSERT_EQ(zx_thread_mutex_init(&m), 0);
    EXPECT_EQ(zx_thread_mutex_lock(&m), 0);
    EXPECT_EQ(zx_thread_mutex_lock(&m), 0);
    EXPECT_EQ(zx_thread_mutex_unlock(&m), 0);
    std::atomic<bool> got{false};
    std::thread t1([&] { got = pthread_mutex_trylock(&m) == 0; if (got) pthread_mutex_unlock(&m); });
    t1.join();
    EXPECT_FALSE(got) << "still held once";
    EXPECT_EQ(zx_thread_mutex_unlock(&m), 0);
    std::thread t2([&] { got = pthread_mutex_trylock(&m) == 0; if (got) pthread_mutex_unlock(&m); });
    t2.join();
    EXPECT_TRUE(got);
    zx_thread_mutex_destroy(&m);
}

TEST(Threads, EndWaitKeepsTheHandleOfAThreadThatOutlivesIt) {
    rt::Runtime rt;
    rt::Semaphore release;
    ASSERT_TRUE(release.create());
    auto entry = [](void *arg) { zx_sem_wait(static_cast<rt::Semaphore *>(arg)->get()); };
    ASSERT_EQ(rt.thread_start(9, entry, &release), 0);
    EXPECT_EQ(rt.thread_end_wait(9, 100), -1);
    EXPECT_TRUE(rt.thread_attached(9));
    zx_sem_post(release.get());
    EXPECT_EQ(rt.thread_end_wait(9, 3000), 0);
    EXPECT_FALSE(rt.thread_attached(9));
}

TEST(Threads, EndWaitSeesAThreadThatEndedItselfByUnwinding) {
    rt::Runtime rt;
    static std::atomic<bool> unwound{false};
    struct Mark {
        ~Mark() { unwound = true; }
    };
    auto entry = [](void *) {
        Mark mark;
        platform::thread_exit();
    };
    ASSERT_EQ(rt.thread_start(7, entry, nullptr), 0);
    EXPECT_EQ(rt.thread_end_wait(7, 3000), 0);
    EXPECT_TRUE(unwound);
    EXPECT_FALSE(rt.thread_attached(7));
}

TEST(Threads, OnlyTheSlotsOwnThreadIsCurrent) {
    rt::Runtime rt;
    static std::atomic<int> seen{-1};
    static rt::Runtime *runtime = nullptr;
    runtime = &rt;
    auto entry = [](void *) { seen = runtime->on_slot_thread(4) ? 1 : 0; };
    ASSERT_EQ(rt.thread_start(4, entry, nullptr), 0);
    EXPECT_FALSE(rt.on_slot_thread(4));
    ASSERT_EQ(rt.thread_end_wait(4, 3000), 0);
    EXPECT_EQ(seen.load(), 1);
    EXPECT_FALSE(rt.on_slot_thread(4));
}

TEST(ErrorStore, SystemTextIsTheSystemsOwn) {
    rt::Runtime rt;
    errno = ECONNREFUSED;
    rt.set_error(3, kOK);
    EXPECT_EQ(rt.error(3).sys_code, ECONNREFUSED);
    EXPECT_STREQ(rt.error(3).sys_text, std::strerror(ECONNREFUSED));
}
