// The bridge as the application runs it: the synthetic camera through CameraInput, the WebRTC
// engine, and the stand-in's gateway and AI participant on loopback.
#include "devservice/rtc/loopback_rtc_service.h"
#include "foundation/glib_loop.h"
#include "media/rtc_bridge.h"
#include "media/rtc_engine_webrtc.h"
#include "tests/support/loopback_session.h"
#include "tests/support/media_samples.h"
#include "tests/support/settled_count.h"
#include "version.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <dirent.h>
#include <filesystem>

namespace zarvo {
namespace {

using devservice::LoopbackRtcService;
using devservice::SessionMedia;
using namespace std::chrono_literals;

constexpr const char* kAIConnected = "AI 画面已连接 · 正在实时编辑";

using zarvo::testing::solidJpeg;

using zarvo::testing::threadCount;

// Mean blue, green and red over a sparse grid.
std::array<double, 3> meanColour(const Picture& picture) {
    std::array<double, 3> sum{};
    int samples = 0;
    for (int y = 0; y < picture.height(); y += 36)
        for (int x = 0; x < picture.width(); x += 64, ++samples)
            for (int c = 0; c < 3; ++c)
                sum[c] += picture.data()[size_t(y) * picture.stride() + size_t(x) * 4 + c];
    for (double& channel : sum)
        channel /= samples;
    return sum;
}

class NullView final : public PictureView {
public:
    void setPicture(PicturePtr) override {}
};

class RTCBridgeLoopbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        zarvo::testing::addLoopbackSession(service, "subject_replacement", solidJpeg(230, 30, 30));

        RtcGatewayConfig config;
        config.url = "ws://rtc.zarvo.test/rtc";
        config.connect["rtc.zarvo.test"] = "127.0.0.1:" + std::to_string(service.port());
        bridge = RTCBridge::create(*loop, std::make_shared<WebRtcEngineFactory>(config), [] {
            return std::make_shared<CameraInput>(
                [] { return std::vector<CameraDevice>{demoCameraDevice()}; });
        });
        diagnostics = std::filesystem::temp_directory_path() /
                      ("zarvo-bridge-loopback-" + std::to_string(::getpid()));
        bridge->diagnosticsFolder = diagnostics;
        bridge->onStatus = [this](const std::string& status) { statuses.push_back(status); };
        bridge->onFrame = [this](const PicturePtr& picture) {
            ++delivered;
            latest = picture;
        };
        bridge->onOutputFrame = [this](const PicturePtr&) { ++outputs; };
        bridge->install(view);
        bridge->setCameraID(kDemoCameraUniqueID);
    }

    void TearDown() override {
        bridge->stop();
        loop->runUntil([&] { return !bridge->resetting(); }, 20s);
        bridge.reset();
        loop.reset();
        g_main_context_unref(context);
        std::filesystem::remove_all(diagnostics);
    }

    bool waitFor(const std::function<bool()>& done, Duration timeout = 30s) {
        return loop->runUntil(done, timeout);
    }
    size_t count(const std::string& status) {
        return size_t(std::count(statuses.begin(), statuses.end(), status));
    }
    Status<> join() {
        return bridge->join(
            Json{{"token", "tok-1"}, {"channel_id", "ch-1"}, {"user_id", "client-7"}}, "render-9");
    }

    GMainContext* context = g_main_context_new();
    std::unique_ptr<GLibLoop> loop = std::make_unique<GLibLoop>(context);
    LoopbackRtcService service;
    std::shared_ptr<NullView> view = std::make_shared<NullView>();
    std::shared_ptr<RTCBridge> bridge;
    std::filesystem::path diagnostics;
    std::vector<std::string> statuses;
    std::atomic<int64_t> outputs{0};
    int64_t delivered = 0;
    PicturePtr latest;
};

// Following a switch is checked once, end to end over TLS (devservice_rtc_front_tests).
TEST_F(RTCBridgeLoopbackTest, EditedVideoFlowsThroughTheBridge) {
    ASSERT_TRUE(join().ok());
    ASSERT_TRUE(waitFor([&] { return count(kAIConnected) == 1; })) << "no edited frame arrived";
    EXPECT_EQ(statuses.front(), "视频已连接，等待 AI 画面");

    // Frames keep coming (the rate is the benchmark's business: this machine is shared).
    const RemoteFrameStats before = bridge->frameStats();
    ASSERT_TRUE(waitFor([&] { return bridge->frameStats().count >= before.count + 10; }))
        << "edited frames stalled";
    const RemoteFrameStats after = bridge->frameStats();
    EXPECT_EQ(after.first, before.first);
    ASSERT_TRUE(after.last && before.last);
    EXPECT_GT(*after.last, *before.last);
    // Every accepted frame reached the output consumer; the window got the newest, coalesced.
    EXPECT_GE(outputs.load(), after.count - 1);
    EXPECT_GT(delivered, 0);
    EXPECT_LE(delivered, outputs.load());
    ASSERT_TRUE(latest);
    EXPECT_EQ(latest->width(), 1280);
    EXPECT_EQ(latest->height(), 720);
    auto colour = meanColour(*latest);
    EXPECT_GT(colour[2], colour[0] + 25) << "the red reference should dominate the blend";
    EXPECT_GT(bridge->pushed(), 0);
    EXPECT_TRUE(
        std::filesystem::exists(diagnostics / ("video-" + std::string(kVersion) + ".json")));
    EXPECT_EQ(count(kAIConnected), 1u);
}

TEST_F(RTCBridgeLoopbackTest, StopReleasesTheEngineAndJoinsAgain) {
    int baselineThreads = 0;
    const auto turnLoop = [&] { loop->runUntil([] { return false; }, 50ms); };
    for (size_t cycle = 0; cycle < 3; ++cycle) {
        ASSERT_TRUE(join().ok()) << "cycle " << cycle;
        ASSERT_TRUE(waitFor([&] { return count(kAIConnected) == cycle + 1; })) << "cycle " << cycle;
        bridge->stop();
        EXPECT_FALSE(bridge->hasEngine());
        ASSERT_TRUE(waitFor([&] { return !bridge->resetting(); }, 60s)) << "cycle " << cycle;
        EXPECT_TRUE(bridge->hasEngine());
        EXPECT_FALSE(bridge->resetTimedOut());
        EXPECT_EQ(zarvo::testing::settledCount([&] { return int(service.connectionCount()); }, 0,
                                               30s, turnLoop),
                  0)
            << "cycle " << cycle;
        const int64_t frames = bridge->frameStats().count;
        const int64_t deliveredBefore = delivered;
        loop->runUntil([] { return false; }, 300ms);
        EXPECT_EQ(delivered, deliveredBefore) << "a picture arrived after stop";
        EXPECT_EQ(bridge->frameStats().count, frames);
        // GStreamer keeps a few pooled threads and the engine's wind down after the stop; what
        // must not happen is one engine's worth of threads staying behind per cycle.
        if (cycle == 0) {
            baselineThreads = threadCount();
        } else {
            const int bound = baselineThreads + 6;
            const int threads = zarvo::testing::settledCount(threadCount, bound, 60s, turnLoop);
            EXPECT_LE(threads, bound) << "cycle " << cycle;
        }
    }
}

} // namespace
} // namespace zarvo
