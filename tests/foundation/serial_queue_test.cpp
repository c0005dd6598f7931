#include "foundation/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
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

} // namespace
} // namespace zarvo
