#include "foundation/virtual_loop.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace zarvo {
namespace {

TEST(VirtualLoop, TasksDueTogetherRunInPostingOrder) {
    VirtualLoop loop;
    std::vector<int> order;
    auto a = loop.postDelayed(seconds(1), [&] { order.push_back(1); });
    loop.post([&] { order.push_back(0); });
    auto b = loop.postDelayed(seconds(1), [&] { order.push_back(2); });
    auto c = loop.postDelayed(seconds(0.5), [&] { order.push_back(3); });
    loop.runUntilIdle();
    EXPECT_EQ(order, (std::vector<int>{0}));
    loop.advance(seconds(1));
    EXPECT_EQ(order, (std::vector<int>{0, 3, 1, 2}));
}

TEST(VirtualLoop, TimeMovesOnlyWhenAdvancedAndTimersSeeTheirOwnDueTime) {
    VirtualLoop loop;
    auto start = loop.now();
    Duration seen{-1};
    auto timer = loop.postDelayed(seconds(30), [&] { seen = loop.uptime(); });
    loop.advance(seconds(29.999));
    EXPECT_EQ(seen, Duration(-1));
    EXPECT_TRUE(timer.isActive());
    loop.advance(seconds(60));
    EXPECT_EQ(seen, seconds(30));
    EXPECT_FALSE(timer.isActive());
    EXPECT_EQ(loop.now() - start, std::chrono::duration_cast<WallClock::duration>(loop.uptime()));
}

TEST(VirtualLoop, CancelledAndDestroyedTimersDoNotRun) {
    VirtualLoop loop;
    int runs = 0;
    auto cancelled = loop.postDelayed(seconds(1), [&] { ++runs; });
    cancelled.cancel();
    { auto dropped = loop.postDelayed(seconds(1), [&] { ++runs; }); }
    loop.advance(seconds(2));
    EXPECT_EQ(runs, 0);
}

TEST(VirtualLoop, RepeatingTimerFiresEachIntervalUntilInvalidated) {
    VirtualLoop loop;
    std::vector<Duration> ticks;
    TimerHandle timer;
    timer = loop.repeating(seconds(3), [&] {
        ticks.push_back(loop.uptime());
        if (ticks.size() == 3)
            timer.cancel(); // a timer may invalidate itself from its own task
    });
    loop.advance(seconds(20));
    EXPECT_EQ(ticks, (std::vector<Duration>{seconds(3), seconds(6), seconds(9)}));
}

TEST(VirtualLoop, PostsFromAnotherThreadWakeRunUntil) {
    VirtualLoop loop;
    bool ran = false;
    bool onLoopThread = false;
    std::thread worker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        loop.post([&] {
            ran = true;
            onLoopThread = loop.isLoopThread();
        });
    });
    EXPECT_TRUE(loop.runUntil([&] { return ran; }, std::chrono::milliseconds(5000)));
    worker.join();
    EXPECT_TRUE(onLoopThread);
    EXPECT_EQ(loop.uptime(), Duration(0));
}

TEST(VirtualLoop, WallClockShiftLeavesUptimeAlone) {
    VirtualLoop loop;
    auto before = loop.now();
    loop.shiftWallClock(-seconds(3600));
    EXPECT_LT(loop.now(), before);
    EXPECT_EQ(loop.uptime(), Duration(0));
}

} // namespace
} // namespace zarvo
