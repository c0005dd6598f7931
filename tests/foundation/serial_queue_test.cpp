#include "foundation/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zarvo {
namespace {

TEST(SerialQueue, RunsInOrderOffTheCallerAndDrainsOnDestruction) {
    std::vector<int> order;
    std::atomic<bool> offCaller{true};
    auto caller = std::this_thread::get_id();
    {
        SerialQueue queue("zarvo.test.queue");
        EXPECT_EQ(queue.label(), "zarvo.test.queue");
        for (int i = 0; i < 100; ++i)
            queue.async([&, i] {
                order.push_back(i);
                if (std::this_thread::get_id() == caller)
                    offCaller = false;
            });
    }
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(order[i], i);
    EXPECT_TRUE(offCaller);
}

TEST(SerialQueue, SyncWaitsAndNestedSyncRunsInline) {
    SerialQueue queue("zarvo.test.sync");
    int value = 0;
    bool nestedOnQueue = false;
    queue.sync([&] {
        value = 1;
        queue.sync([&] { nestedOnQueue = queue.isCurrent(); });
    });
    EXPECT_EQ(value, 1);
    EXPECT_TRUE(nestedOnQueue);
    EXPECT_FALSE(queue.isCurrent());
}

// Whatever the machine's load: a delayed task never runs before its delay, runs on the queue, tasks
// that are due together run in due order, and a cancelled one never runs.
TEST(SerialQueueDelayed, DueOrderOnTheQueueNeverEarlyAndCancelledNever) {
    SerialQueue queue("zarvo.test.delayed");
    std::promise<void> gate;
    queue.async([opened = gate.get_future().share()] { opened.wait(); });

    std::mutex mutex;
    std::vector<std::string> ran;
    std::atomic<bool> onQueue{true};
    std::promise<std::chrono::steady_clock::time_point> lateRan;
    const auto posted = std::chrono::steady_clock::now();
    auto record = [&](std::string name) {
        if (!queue.isCurrent())
            onQueue = false;
        std::lock_guard lock(mutex);
        ran.push_back(std::move(name));
    };
    TimerHandle late = queue.postDelayed(milliseconds(30), [&] {
        record("late");
        lateRan.set_value(std::chrono::steady_clock::now());
    });
    TimerHandle early = queue.postDelayed(Duration(0), [&] { record("early"); });
    TimerHandle cancelled = queue.postDelayed(Duration(0), [&] { record("cancelled"); });
    cancelled.cancel();
    gate.set_value();

    auto done = lateRan.get_future();
    ASSERT_EQ(done.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_GE(done.get() - posted, milliseconds(30));
    queue.sync([] {});
    std::lock_guard lock(mutex);
    EXPECT_EQ(ran, (std::vector<std::string>{"early", "late"}));
    EXPECT_TRUE(onQueue);
    EXPECT_FALSE(late.isActive());
}

TEST(SerialQueueDelayed, DestructionDropsWhatIsNotDueAndDoesNotWaitForIt) {
    std::atomic<bool> ran{false};
    TimerHandle handle;
    {
        SerialQueue queue("zarvo.test.dropped");
        handle = queue.postDelayed(seconds(3600), [&] { ran = true; });
        queue.sync([] {});
        EXPECT_TRUE(handle.isActive());
    }
    EXPECT_FALSE(ran);
}

// A repeating task runs on the queue until cancelled. Slots that pass while the queue is busy merge
// into one run: right after the queue frees up, the task has run once, not once per missed slot.
TEST(SerialQueueRepeating, MissedSlotsMergeAndCancelStopsIt) {
    SerialQueue queue("zarvo.test.repeat");
    std::promise<void> gate;
    queue.async([opened = gate.get_future().share()] { opened.wait(); });

    std::atomic<int> runs{0};
    std::atomic<bool> onQueue{true};
    std::promise<int> runsWhenFreed;
    bool checkPosted = false; // queue only
    TimerHandle handle = queue.repeating(milliseconds(1), [&] {
        if (!queue.isCurrent())
            onQueue = false;
        ++runs;
        if (!std::exchange(checkPosted, true))
            queue.async([&] { runsWhenFreed.set_value(runs); });
    });
    // Whatever the load, at least 30 slots pass while the queue is held.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    gate.set_value();
    auto freed = runsWhenFreed.get_future();
    ASSERT_EQ(freed.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(freed.get(), 1);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (runs < 5 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GE(runs, 5) << "it did not keep running";
    EXPECT_TRUE(handle.isActive());
    handle.cancel();
    queue.sync([] {}); // a run already under way ends
    int stopped = runs;
    std::promise<void> later;
    TimerHandle marker = queue.postDelayed(milliseconds(20), [&] { later.set_value(); });
    ASSERT_EQ(later.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(runs, stopped) << "it ran after its cancel";
    EXPECT_TRUE(onQueue);
}

// Destruction drops a repeating task, even one that is due, and its handle may outlive the queue.
TEST(SerialQueueRepeating, DestructionDropsItAndItsHandleMayOutliveTheQueue) {
    auto runs = std::make_shared<std::atomic<int>>(0);
    TimerHandle handle;
    {
        SerialQueue queue("zarvo.test.repeatgone");
        handle = queue.repeating(Duration(1), [runs] { ++*runs; });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (*runs < 3 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_GE(*runs, 3);
    }
    EXPECT_TRUE(handle.isActive());
    handle.cancel();
}

} // namespace
} // namespace zarvo
