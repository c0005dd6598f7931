// A joined session whose connection breaks is reported on the bridge's failure path at once: the
// real engine against the stand-in's gateway told to misbehave, and a camera that breaks.
#include "devservice/rtc/loopback_rtc_service.h"
#include "foundation/glib_loop.h"
#include "media/rtc_bridge.h"
#include "media/rtc_engine_webrtc.h"
#include "tests/support/loopback_session.h"
#include "tests/support/media_samples.h"

#include <glib.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace zarvo {
namespace {

using devservice::LoopbackRtcService;
using namespace std::chrono_literals;

constexpr const char* kAIConnected = "AI 画面已连接 · 正在实时编辑";

// The synthetic camera, broken by a streaming error after a few frames when asked.
CameraDevice testCamera(bool breaksAfterAFewFrames) {
    CameraDevice device = demoCameraDevice();
    if (breaksAfterAFewFrames)
        device.makeSource = []() -> GstElement* {
            return gst_parse_bin_from_description(
                "videotestsrc is-live=true ! "
                "video/x-raw,format=BGRA,width=1280,height=720,framerate=30/1 ! "
                "identity error-after=10",
                TRUE, nullptr);
        };
    return device;
}

class NullView final : public PictureView {
public:
    void setPicture(PicturePtr) override {}
};

class RTCBridgeFailureTest : public ::testing::Test {
protected:
    void SetUp() override {
        RtcGatewayConfig config;
        config.url = "ws://rtc.zarvo.test/rtc";
        config.connect["rtc.zarvo.test"] = "127.0.0.1:" + std::to_string(service.port());
        bridge = RTCBridge::create(*loop, std::make_shared<WebRtcEngineFactory>(config), [this] {
            bool breaks = brokenCamera;
            return std::make_shared<CameraInput>(
                [breaks] { return std::vector<CameraDevice>{testCamera(breaks)}; });
        });
        diagnostics = std::filesystem::temp_directory_path() /
                      ("zarvo-bridge-failure-" + std::to_string(::getpid()));
        bridge->diagnosticsFolder = diagnostics;
        bridge->onStatus = [this](const std::string& status) { statuses.push_back(status); };
        bridge->onFailure = [this](const Error& error) { failures.push_back(error); };
        bridge->install(view);
        bridge->setCameraID(kDemoCameraUniqueID);
    }

    void TearDown() override {
        bridge->stop();
        loop->runUntil([&] { return !bridge->resetting(); }, 90s);
        bridge.reset();
        loop.reset();
        g_main_context_unref(context);
        std::filesystem::remove_all(diagnostics);
    }

    bool waitFor(const std::function<bool()>& done, Duration timeout = 90s) {
        return loop->runUntil(done, timeout);
    }
    size_t count(const std::string& status) {
        return size_t(std::count(statuses.begin(), statuses.end(), status));
    }
    Status<> join() {
        zarvo::testing::addLoopbackSession(service, "subject_replacement",
                                           zarvo::testing::solidJpeg(230, 30, 30));
        return bridge->join(
            Json{{"token", "tok-1"}, {"channel_id", "ch-1"}, {"user_id", "client-7"}}, "render-9");
    }
    void stopAndSettle() {
        bridge->stop();
        ASSERT_TRUE(waitFor([&] { return !bridge->resetting(); }, 90s));
    }

    GMainContext* context = g_main_context_new();
    std::unique_ptr<GLibLoop> loop = std::make_unique<GLibLoop>(context);
    LoopbackRtcService service;
    std::shared_ptr<NullView> view = std::make_shared<NullView>();
    std::shared_ptr<RTCBridge> bridge;
    std::filesystem::path diagnostics;
    bool brokenCamera = false;
    std::vector<std::string> statuses;
    std::vector<Error> failures;
};

TEST_F(RTCBridgeFailureTest, GatewayHangingUpOnARunningSessionIsReportedOnce) {
    struct Case {
        const char* name;
        std::function<void()> fault;
        int code;
    };
    const Case cases[] = {
        {"error from the gateway", [&] { service.failSession("S1", 17); }, 17},
        {"socket closed", [&] { service.dropSession("S1"); }, kRtcErrConnectionLost},
        {"bye from the gateway", [&] { service.endSession("S1"); }, kRtcErrRemoteLeft},
    };
    size_t connected = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        failures.clear();
        ASSERT_TRUE(join().ok());
        ASSERT_TRUE(waitFor([&] { return count(kAIConnected) == connected + 1; }))
            << "no edited frame arrived";
        ++connected;
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
    EXPECT_EQ(failures.front().code, kRtcErrMediaFailed);
    EXPECT_EQ(bridge->frameStats().count, 0);
    EXPECT_EQ(count(kAIConnected), 0u);
    stopAndSettle();

    // The engine is whole again: the next join with a sound gateway edits video.
    service.refuseAnswers(false);
    failures.clear();
    ASSERT_TRUE(join().ok());
    EXPECT_TRUE(waitFor([&] { return count(kAIConnected) == 1; }));
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
