#include "app/video_failure.h"

#include "session_fixture.h"

namespace zarvo::testing {
namespace {

class VideoFailureTest : public SessionTest {};

TEST_F(VideoFailureTest, ABrokenLinkStopsTheBilledSessionAtOnceAndOnce) {
    startSession();
    loop.advance(seconds(1));
    video.frameAt(loop.now());
    loop.runUntilIdle();

    endSessionOnVideoFailure(*app, Error{"视频连接失败：1003", 1003});
    loop.runUntilIdle();
    EXPECT_FALSE(app->aiActive);
    EXPECT_EQ(app->stopReason, "视频连接失败：1003");
    EXPECT_EQ(service.count("live/stop"), 1u);
    ASSERT_TRUE(stopReport());
    EXPECT_EQ((*stopReport())["reason"], "视频连接失败：1003");

    // A camera error carries its own text; a failure while the stop runs changes nothing.
    endSessionOnVideoFailure(*app, Error{"无法打开摄像头", 2});
    loop.runUntilIdle();
    EXPECT_EQ(service.count("live/stop"), 1u);
    EXPECT_EQ(app->stopReason, "视频连接失败：1003");
}

TEST_F(VideoFailureTest, WithoutASessionAFailureIsIgnored) {
    sync();
    endSessionOnVideoFailure(*app, Error{"无法打开摄像头", 2});
    loop.runUntilIdle();
    EXPECT_EQ(service.count("live/stop"), 0u);
    EXPECT_TRUE(app->stopReason.empty());
}

} // namespace
} // namespace zarvo::testing
