#include "foundation/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
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

} // namespace
} // namespace zarvo
