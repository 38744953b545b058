// Owner-thread delivery: order, no loss, nothing delivered to an object that
// stopped receiving, the descriptor readable exactly while events are pending.
#include <poll.h>

#include <atomic>
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

}  // namespace
