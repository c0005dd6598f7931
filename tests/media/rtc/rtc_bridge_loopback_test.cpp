// The bridge as the application runs it: the synthetic camera through CameraInput, the WebRTC
// engine, and the stand-in's gateway and AI participant on loopback.
#include "foundation/atomic_file.h"
#include "foundation/json.h"
#include "tests/support/loopback_bridge.h"
#include "tests/support/settled_count.h"
#include "version.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <filesystem>

namespace zarvo {
namespace {

using namespace std::chrono_literals;
using zarvo::testing::kAIConnected;
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

class RTCBridgeLoopbackTest : public zarvo::testing::LoopbackBridgeTest {
protected:
    const std::atomic<int64_t>& outputs = heard.outputs;
    const int64_t& delivered = heard.delivered;
    const PicturePtr& latest = heard.latest;
};

// Following a switch is checked once, end to end over TLS (devservice_rtc_front_tests).
TEST_F(RTCBridgeLoopbackTest, EditedVideoFlowsThroughTheBridge) {
    ASSERT_TRUE(joinAndAwaitEditedVideo());
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
    // The video report carries the link's figures once the far end has reported on it: the
    // bitrate the sender settled on and the round trip it measured.
    const auto reportFile = diagnostics / ("video-" + std::string(kVersion) + ".json");
    std::optional<Json> report;
    EXPECT_TRUE(waitFor([&] {
        auto text = readFile(reportFile);
        report = text ? parseJsonObject(*text) : std::nullopt;
        return report && report->contains("round_trip_ms") &&
               (*report)["round_trip_ms"].get<double>() >= 0;
    })) << "no round trip in the video report";
    ASSERT_TRUE(report);
    EXPECT_GE((*report)["bitrate_kbps"].get<int>(), 300);
    EXPECT_LE((*report)["bitrate_kbps"].get<int>(), 2500);
    for (const char* member : {"loss_percent", "retransmission_requests_received",
                               "retransmission_requests_sent", "key_frame_requests_received",
                               "key_frame_requests_sent", "jitter_buffer_ms", "remote_frames"})
        EXPECT_TRUE(report->contains(member)) << member;
    EXPECT_EQ(count(kAIConnected), 1u);
}

TEST_F(RTCBridgeLoopbackTest, StopReleasesTheEngineAndJoinsAgain) {
    int baselineThreads = 0;
    const auto turnLoop = [&] { loop->runUntil([] { return false; }, 50ms); };
    for (size_t cycle = 0; cycle < 3; ++cycle) {
        ASSERT_TRUE(joinAndAwaitEditedVideo()) << "cycle " << cycle;
        bridge->stop();
        EXPECT_FALSE(bridge->hasEngine());
        ASSERT_TRUE(waitFor([&] { return !bridge->resetting(); })) << "cycle " << cycle;
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
