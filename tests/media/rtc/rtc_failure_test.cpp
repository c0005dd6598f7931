// A joined session whose connection breaks is reported on the bridge's failure path at once: the
// real engine against the stand-in's gateway told to misbehave, and a camera that breaks.
#include "tests/support/loopback_bridge.h"

#include <gst/gst.h>

namespace zarvo {
namespace {

using namespace std::chrono_literals;
using zarvo::testing::kAIConnected;

class RTCBridgeFailureTest : public zarvo::testing::LoopbackBridgeTest {
protected:
    // The synthetic camera, broken by a streaming error after a few frames when asked.
    CameraDevice cameraDevice() override {
        CameraDevice device = demoCameraDevice();
        if (brokenCamera)
            device.makeSource = []() -> GstElement* {
                return gst_parse_bin_from_description(
                    "videotestsrc is-live=true ! "
                    "video/x-raw,format=BGRA,width=1280,height=720,framerate=30/1 ! "
                    "identity error-after=10",
                    TRUE, nullptr);
            };
        return device;
    }

    bool brokenCamera = false;
    std::vector<Error>& failures = heard.failures;
};

TEST_F(RTCBridgeFailureTest, GatewayHangingUpOnARunningSessionIsReportedOnce) {
    struct Case {
        const char* name;
        std::function<void()> fault;
        int code;
    };
    const Case cases[] = {
        {"error from the gateway", [&] { service.failSession("S1", 17); }, 17},
        {"socket closed", [&] { service.dropSession("S1"); }, kRTCErrConnectionLost},
        {"bye from the gateway", [&] { service.endSession("S1"); }, kRTCErrRemoteLeft},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        failures.clear();
        ASSERT_TRUE(joinAndAwaitEditedVideo());
        ASSERT_TRUE(failures.empty());

        c.fault();
        // No watchdog runs here: a report at all means the failure was not waited out.
        ASSERT_TRUE(waitFor([&] { return !failures.empty(); })) << "the failure was dropped";
        EXPECT_EQ(failures.front().code, c.code);
        EXPECT_EQ(failures.front().message, "视频连接失败：" + std::to_string(c.code));
        EXPECT_EQ(statuses.back(), failures.front().message);

        // The socket closing after the goodbye or the error is the same failure: one report.
        loop->runUntil([] { return false; }, 500ms);
        EXPECT_EQ(failures.size(), 1u);
        stopAndSettle();
        EXPECT_EQ(failures.size(), 1u) << "a stop is not a failure";
    }
}

TEST_F(RTCBridgeFailureTest, RefusedAnswerFailsTheConnectionWithoutPictures) {
    service.refuseAnswers(true);
    ASSERT_TRUE(join().ok());
    ASSERT_TRUE(waitFor([&] { return !failures.empty(); })) << "the refused answer was dropped";
    EXPECT_EQ(failures.front().code, kRTCErrMediaFailed);
    EXPECT_EQ(bridge->frameStats().count, 0);
    EXPECT_EQ(count(kAIConnected), 0u);
    stopAndSettle();

    // The engine is whole again: the next join with a sound gateway edits video.
    service.refuseAnswers(false);
    failures.clear();
    EXPECT_TRUE(joinAndAwaitEditedVideo());
    EXPECT_TRUE(failures.empty());
}

TEST_F(RTCBridgeFailureTest, CameraBreakingDuringTheSessionIsReported) {
    brokenCamera = true;
    ASSERT_TRUE(join().ok());
    ASSERT_TRUE(waitFor([&] { return !failures.empty(); })) << "the camera error was dropped";
    EXPECT_EQ(failures.front().message, "无法打开摄像头");
    EXPECT_EQ(failures.front().code, 2);
    loop->runUntil([] { return false; }, 300ms);
    EXPECT_EQ(failures.size(), 1u);
}

} // namespace
} // namespace zarvo
