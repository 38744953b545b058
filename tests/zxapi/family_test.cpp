// Object families: the client runs while any object of the family lives, and
// every object has a queue that delivers its events, however objects come and
// go on several threads at once.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kalax/zxapi.h"
#include "kalax/zxpld.h"
#include "kalax/zxxml.h"
#include "sdk/pld/client.h"
#include "sdk/xml/client.h"
#include "zxapi/family.h"
#include "zxapi/owner_queue.h"

namespace {

using zxapi::detail::Family;

// A stand-in client that notices a start while started, a stop while stopped,
// and a stop while an object of its family still lives.
std::atomic<bool> started{false};
std::atomic<int> live{0};
std::atomic<int> starts{0}, stops{0}, faults{0};

int fake_init() {
    if (started.exchange(true)) ++faults;
    ++starts;
    return 0;
}

int fake_uninit() {
    if (!started.exchange(false)) ++faults;
    if (live.load() != 0) ++faults;
    ++stops;
    return 0;
}

// An object of a family: it joins before it counts as live and leaves after.
class Member : public zxapi::TEventTarget {
public:
    explicit Member(Family &family, std::atomic<int> *alive = nullptr) : family_(family), alive_(alive) {
        family_.Join();
        if (alive_) ++*alive_;
    }
    ~Member() override {
        StopEvents();
        if (alive_) --*alive_;
        family_.Leave();
    }
    void Ping() const { Post(zxapi::detail::MakePosted<int>(1, 0)); }
    void DeliverEvent(zxapi::detail::Posted &) override {
        EXPECT_EQ(std::this_thread::get_id(), owner_);
        ++delivered;
    }
    int delivered = 0;

private:
    Family &family_;
    std::atomic<int> *alive_;
    const std::thread::id owner_ = std::this_thread::get_id();
};

// Makes, uses and destroys objects on two threads at once; `check` runs while
// each object lives.
template <class Check>
void churn(Family &family, std::atomic<int> *alive, int rounds, Check check) {
    std::atomic<bool> go{false};
    auto run = [&] {
        while (!go) std::this_thread::yield();
        for (int i = 0; i < rounds; ++i) {
            Member m(family, alive);
            check();
            ASSERT_NE(zxapi::detail::OwnerQueue::ThisThreadIfAny(), nullptr);
            m.Ping();
            ASSERT_EQ(zx_events_dispatch(0), 1);
            ASSERT_EQ(m.delivered, 1);
        }
    };
    std::thread a(run), b(run);
    go = true;
    a.join();
    b.join();
}

TEST(Family, ObjectsMadeAndDestroyedAtOnceOnTwoThreads) {
    Family family(fake_init, fake_uninit);
    churn(family, &live, 5000, [] { EXPECT_TRUE(started.load()); });
    EXPECT_EQ(faults.load(), 0);
    EXPECT_EQ(family.Count(), 0);
    EXPECT_FALSE(started.load());
    EXPECT_EQ(starts.load(), stops.load());
    EXPECT_GT(starts.load(), 0);
}

TEST(Family, RealClientsRunWhileTheirObjectsLive) {
    churn(Family::Devices(), nullptr, 10, [] { EXPECT_TRUE(kalax::xml::client().init_count.initialised()); });
    EXPECT_EQ(Family::Devices().Count(), 0);
    EXPECT_FALSE(kalax::xml::client().init_count.initialised());
    churn(Family::Logs(), nullptr, 10, [] { EXPECT_TRUE(kalax::pld::client().init_count.initialised()); });
    EXPECT_EQ(Family::Logs().Count(), 0);
    EXPECT_FALSE(kalax::pld::client().init_count.initialised());
}

// A host that started a client itself keeps one reference; the objects take
// theirs and give it back, so the host's own uninit is the last one.
TEST(Family, AClientTheHostStartedOutlivesTheObjects) {
    ASSERT_EQ(zxxml_init(), 0);
    ASSERT_EQ(zxpld_init(), 0);
    for (int i = 0; i < 3; ++i) {
        Member device(Family::Devices());
        Member log(Family::Logs());
    }
    EXPECT_TRUE(kalax::xml::client().init_count.initialised());
    EXPECT_TRUE(kalax::pld::client().init_count.initialised());
    EXPECT_EQ(zxxml_uninit(), 0) << "the objects left a reference behind";
    EXPECT_EQ(zxpld_uninit(), 0) << "the objects left a reference behind";
    EXPECT_FALSE(kalax::xml::client().init_count.initialised());
    EXPECT_FALSE(kalax::pld::client().init_count.initialised());
}

}  // namespace
