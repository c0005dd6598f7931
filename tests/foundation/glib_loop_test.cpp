#include "foundation/glib_loop.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace zarvo {
namespace {

TEST(GLibLoop, PostsKeepOrderAcrossThreadsAndRunOnTheLoopThread) {
    GLibLoop loop;
    std::vector<int> order;
    bool allOnLoop = true;
    loop.post([&] { order.push_back(1); });
    std::thread worker([&] {
        for (int i = 2; i <= 50; ++i)
            loop.post([&, i] {
                order.push_back(i);
                allOnLoop = allOnLoop && loop.isLoopThread();
            });
    });
    worker.join();
    ASSERT_TRUE(loop.runUntil([&] { return order.size() == 50; }, seconds(5)));
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(order[i], i + 1);
    EXPECT_TRUE(allOnLoop);
}

TEST(GLibLoop, TimersFireAndCancelledOnesDoNot) {
    GLibLoop loop;
    int ticks = 0;
    bool cancelledRan = false;
    auto repeating = loop.repeating(milliseconds(5), [&] { ++ticks; });
    auto cancelled = loop.postDelayed(milliseconds(5), [&] { cancelledRan = true; });
    cancelled.cancel();
    ASSERT_TRUE(loop.runUntil([&] { return ticks >= 3; }, seconds(5)));
    repeating.cancel();
    int after = ticks;
    loop.runUntil([] { return false; }, milliseconds(30));
    EXPECT_EQ(ticks, after);
    EXPECT_FALSE(cancelledRan);
}

TEST(GLibLoop, NothingOfADestroyedLoopRunsLater) {
    bool ran = false;
    {
        GLibLoop loop;
        auto timer = loop.postDelayed(milliseconds(1), [&] { ran = true; });
        loop.post([&] { ran = true; });
        (void)timer; // a handle kept alive elsewhere must not revive the timer either
        static TimerHandle leaked;
        leaked = loop.postDelayed(milliseconds(1), [&] { ran = true; });
    }
    GLibLoop later;
    later.runUntil([] { return false; }, milliseconds(20));
    EXPECT_FALSE(ran);
}

} // namespace
} // namespace zarvo
