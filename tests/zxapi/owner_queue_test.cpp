// Owner-thread delivery: order, no loss, nothing delivered to an object that
// stopped receiving, the descriptor readable exactly while events are pending.
#include <poll.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kalax/zxapi.h"
#include "zxapi/owner_queue.h"

namespace {

using zxapi::detail::MakePosted;
using zxapi::detail::PayloadOf;
using zxapi::detail::Posted;

struct Item {
    int producer;
    int seq;
};

// Counts its deliveries and checks that they arrive on the thread that made it.
class Counter : public zxapi::TEventTarget {
public:
    explicit Counter(int producers = 0) : last(producers, -1) {}
    ~Counter() override { StopEvents(); }
    void Send(int producer, int seq) const { Post(MakePosted<Item>(1, producer, seq)); }
    void DeliverEvent(Posted &event) override {
        EXPECT_EQ(std::this_thread::get_id(), owner);
        const Item &item = PayloadOf<Item>(event);
        if (item.producer >= 0 && item.producer < static_cast<int>(last.size())) {
            EXPECT_EQ(item.seq, last[item.producer] + 1) << "producer " << item.producer;
            last[item.producer] = item.seq;
        }
        ++delivered;
        if (on_deliver) on_deliver();
    }
    std::thread::id owner = std::this_thread::get_id();
    std::vector<int> last;
    int delivered = 0;
    std::function<void()> on_deliver;
};

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

TEST(OwnerQueue, ManyProducersKeepTheirOrderAndLoseNothing) {
    constexpr int kProducers = 8, kEach = 10000;
    Counter counter(kProducers);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i) counter.Send(p, i);
        });
    int total = 0;
    while (total < kProducers * kEach) {
        const int n = zx_events_wait(5000);
        ASSERT_GT(n, 0) << "events stopped arriving at " << total;
        total += n;
    }
    for (auto &t : producers) t.join();
    EXPECT_EQ(zx_events_dispatch(0), 0);
    EXPECT_EQ(counter.delivered, kProducers * kEach);
    for (int p = 0; p < kProducers; ++p) EXPECT_EQ(counter.last[p], kEach - 1);
}

TEST(OwnerQueue, DescriptorIsReadableExactlyWhileEventsArePending) {
    const int fd = zx_events_fd();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(zx_events_fd(), fd);
    Counter counter;
    EXPECT_FALSE(readable(fd));
    counter.Send(-1, 0);
    counter.Send(-1, 1);
    EXPECT_TRUE(readable(fd));
    EXPECT_EQ(zx_events_dispatch(1), 1);
    EXPECT_TRUE(readable(fd));
    EXPECT_EQ(zx_events_dispatch(0), 1);
    EXPECT_FALSE(readable(fd));
    EXPECT_EQ(zx_events_wait(10), 0);
}

TEST(OwnerQueue, NothingReachesAnObjectDestroyedWithEventsPending) {
    auto first = std::make_unique<Counter>();
    auto second = std::make_unique<Counter>();
    Counter *other = second.get();
    // The first handler destroys both objects; the second's event is pending.
    first->on_deliver = [&] {
        second.reset();
        first.reset();
    };
    first->Send(-1, 0);
    first->Send(-1, 1);
    other->Send(-1, 0);
    EXPECT_EQ(zx_events_dispatch(0), 1);
    EXPECT_EQ(zxapi::detail::OwnerQueue::ThisThreadIfAny()->Pending(), 0u);
}

TEST(OwnerQueue, EachThreadDeliversItsOwnObjectsEvents) {
    Counter here;
    std::atomic<bool> posted{false};
    std::thread other([&] {
        Counter there;  // owned by this other thread
        std::thread worker([&] { there.Send(-1, 0); });
        worker.join();
        EXPECT_EQ(zx_events_wait(5000), 1);  // asserts the owner thread inside
        here.Send(-1, 0);
        posted = true;
    });
    other.join();
    ASSERT_TRUE(posted);
    EXPECT_EQ(here.delivered, 0);
    EXPECT_EQ(zx_events_dispatch(0), 1);
    EXPECT_EQ(here.delivered, 1);
}

TEST(OwnerQueue, DestructionOnAnotherThreadWaitsForARunningHandler) {
    auto counter = std::make_unique<Counter>();
    std::atomic<bool> in_handler{false}, destroyed{false};
    counter->on_deliver = [&] {
        in_handler = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(destroyed.load());
    };
    counter->Send(-1, 0);
    std::thread killer([&] {
        while (!in_handler) std::this_thread::yield();
        counter.reset();
        destroyed = true;
    });
    EXPECT_EQ(zx_events_dispatch(0), 1);
    killer.join();
    EXPECT_TRUE(destroyed);
}

// Payloads that count themselves, so a test sees every one freed.
std::atomic<int> live_payloads{0};
struct Counted {
    Counted() { ++live_payloads; }
    ~Counted() { --live_payloads; }
    Counted(const Counted &) = delete;
};

class Sink : public zxapi::TEventTarget {
public:
    ~Sink() override { StopEvents(); }
    void Send() const { Post(MakePosted<Counted>(2)); }
    void Stop() { StopEvents(); }
    void DeliverEvent(Posted &) override {
        ++delivered;
        if (on_deliver) on_deliver();
    }
    int delivered = 0;
    std::function<void()> on_deliver;
};

TEST(OwnerQueue, AHandlerThatDestroysAnotherObjectStopsItsEventsOnly) {
    auto keeper = std::make_unique<Sink>();
    auto victim = std::make_unique<Sink>();
    keeper->on_deliver = [&] { victim.reset(); };
    victim->on_deliver = [] { ADD_FAILURE() << "delivered to a destroyed object"; };
    keeper->Send();
    victim->Send();
    victim->Send();
    keeper->Send();
    EXPECT_EQ(zx_events_dispatch(0), 2);
    EXPECT_EQ(keeper->delivered, 2);
    keeper.reset();
    EXPECT_EQ(live_payloads.load(), 0);
}

TEST(OwnerQueue, EventsOfAStoppedObjectAreFreedWithoutBeingDelivered) {
    {
        Sink sink;
        for (int i = 0; i < 100; ++i) sink.Send();
        EXPECT_EQ(live_payloads.load(), 100);
    }
    EXPECT_EQ(live_payloads.load(), 0);
    EXPECT_EQ(zx_events_dispatch(0), 0);
}

// A wait that finds only events nobody receives any more keeps waiting for a
// real one instead of reporting a time-out early.
TEST(OwnerQueue, WaitLooksPastEventsOfStoppedObjects) {
    Sink gone, live;
    gone.Send();
    gone.Stop();
    gone.Send();  // queued after it stopped: freed at delivery
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        live.Send();
    });
    EXPECT_EQ(zx_events_wait(10000), 1);
    late.join();
    EXPECT_EQ(live.delivered, 1);
    EXPECT_EQ(gone.delivered, 0);
    EXPECT_EQ(live_payloads.load(), 0);
}

}  // namespace
