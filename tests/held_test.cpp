// The queue of held events on its own: the exit delivery's close against
// threads still holding events, and the limit on their memory.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "module/held.h"

using csdk::HeldEvent;
using csdk::HeldEvents;

namespace {

size_t count_and_release(HeldEvents& q, HeldEvents::Taken t) {
    size_t n = 0;
    for (HeldEvent* e = t.first; e;) {
        HeldEvent* next = e->next;
        q.release(e);
        e = next;
        ++n;
    }
    return n;
}

}  // namespace

// Every event held is in the take that follows close(), or refused: none is
// held after it, where no delivery would find it.
TEST(HeldEvents, CloseLeavesNothingBehind) {
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        HeldEvents q;
        std::atomic<long> held{0};
        std::vector<std::thread> senders;
        for (int k = 0; k < 3; ++k)
            senders.emplace_back([&q, &held] {
                while (q.push("t", "payload", 7) != HeldEvents::Closed) held.fetch_add(1);
            });
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 200));
        q.close();
        size_t at_close = count_and_release(q, q.take());
        for (auto& t : senders) t.join();
        ASSERT_EQ(count_and_release(q, q.take()), 0u) << "round " << round;
        ASSERT_EQ(static_cast<long>(at_close), held.load()) << "round " << round;
    }
}

TEST(HeldEvents, PastTheLimitEventsAreDroppedAndCounted) {
    HeldEvents q;
    q.set_limit(1000);
    std::string payload(100, 'x');
    int held = 0, dropped = 0;
    for (int k = 0; k < 20; ++k) {
        auto r = q.push("on_tick", payload.data(), static_cast<int>(payload.size()));
        ASSERT_TRUE(r == HeldEvents::Held || r == HeldEvents::Dropped);
        (r == HeldEvents::Held ? held : dropped)++;
    }
    EXPECT_GT(held, 0);
    EXPECT_LE(q.bytes(), 1000u);
    HeldEvents::Taken t = q.take();
    EXPECT_EQ(t.dropped, static_cast<unsigned long long>(dropped));
    EXPECT_EQ(count_and_release(q, t), static_cast<size_t>(held));
    EXPECT_EQ(q.bytes(), 0u);
    // Delivered events no longer count; the count starts again.
    EXPECT_EQ(q.push("on_tick", payload.data(), static_cast<int>(payload.size())), HeldEvents::Held);
    t = q.take();
    EXPECT_EQ(t.dropped, 0u);
    EXPECT_EQ(count_and_release(q, t), 1u);
}
