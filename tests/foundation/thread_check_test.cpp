#include "foundation/thread_check.h"
#include "foundation/virtual_loop.h"

#include <gtest/gtest.h>

#include <thread>

namespace zarvo {
namespace {

void onLoop(Loop& loop) {
    ZARVO_DCHECK_ON(loop);
}
void onQueue(SerialQueue& queue) {
    ZARVO_DCHECK_ON_QUEUE(queue);
}
void onChecker(ThreadChecker& checker) {
    ZARVO_DCHECK_THREAD(checker);
}

TEST(ThreadCheckDeathTest, PassesOnTheRightThreadAndAbortsNamingTheFunctionOnAnother) {
    if (!ZARVO_DCHECK_IS_ON)
        GTEST_SKIP() << "thread checks are off in this build";
    GTEST_FLAG_SET(death_test_style, "threadsafe");

    VirtualLoop loop;
    SerialQueue queue("zarvo.test.check");
    ThreadChecker checker;
    onLoop(loop);
    onChecker(checker); // binds to this thread
    queue.sync([&] { onQueue(queue); });

    EXPECT_DEATH(onQueue(queue),
                 "not on the queue's thread in onQueue .*thread_check_test.cpp:[0-9]+");
    EXPECT_DEATH(queue.sync([&] { onLoop(loop); }), "not on the loop's thread in onLoop");
    EXPECT_DEATH(queue.sync([&] { onChecker(checker); }), "not on the checker's thread");

    checker.detach();
    queue.sync([&] { onChecker(checker); }); // the queue's thread takes it over
    EXPECT_DEATH(onChecker(checker), "not on the checker's thread");
}

} // namespace
} // namespace zarvo
