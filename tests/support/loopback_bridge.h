// The bridge as the application runs it, joined to the loopback RTC stand-in: CameraInput over a
// synthetic camera, the WebRTC engine, and the stand-in's gateway and AI participant. Tests derive
// from LoopbackBridgeTest and read what the bridge told `heard`.
#pragma once

#include "devservice/rtc/loopback_rtc_service.h"
#include "foundation/glib_loop.h"
#include "foundation/owned.h"
#include "media/rtc/rtc_bridge.h"
#include "media/rtc/rtc_engine_webrtc.h"
#include "tests/support/loopback_session.h"
#include "tests/support/media_samples.h"
#include "tests/support/recording_bridge_delegate.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace zarvo::testing {

inline constexpr const char* kAIConnected = "AI 画面已连接 · 正在实时编辑";

class NullView final : public PictureView {
public:
    void setPicture(PicturePtr) override {}
};

class LoopbackBridgeTest : public ::testing::Test {
protected:
    // Generous: a WebRTC negotiation on a loaded 2-core machine under the sanitizers.
    static constexpr Duration kDeadline = std::chrono::seconds(90);

    void SetUp() override {
        RTCGatewayConfig config;
        config.url = "ws://rtc.zarvo.test/rtc";
        config.connect["rtc.zarvo.test"] = "127.0.0.1:" + std::to_string(service.port());
        bridge =
            RTCBridge::create(*loop, std::make_shared<WebRTCEngineFactory>(config), heard, [this] {
                CameraDevice device = cameraDevice();
                return std::make_shared<CameraInput>(
                    [device] { return std::vector<CameraDevice>{device}; });
            });
        diagnostics = std::filesystem::temp_directory_path() /
                      ("zarvo-bridge-" + std::to_string(::getpid()) + "-" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
        bridge->diagnosticsFolder = diagnostics;
        bridge->install(view);
        bridge->setCameraID(kDemoCameraUniqueID);
    }

    void TearDown() override {
        bridge->stop();
        loop->runUntil([&] { return !bridge->resetting(); }, kDeadline);
        bridge.reset();
        loop.reset();
        std::filesystem::remove_all(diagnostics);
    }

    // The camera the bridge opens on each join.
    virtual CameraDevice cameraDevice() { return demoCameraDevice(); }

    bool waitFor(const std::function<bool()>& done, Duration timeout = kDeadline) {
        return loop->runUntil(done, timeout);
    }
    size_t count(const std::string& status) const {
        return size_t(std::count(statuses.begin(), statuses.end(), status));
    }
    // Adds session "S1" (a red reference picture) to the stand-in and joins it.
    Status<> join() {
        addLoopbackSession(service, "subject_replacement", solidJpeg(230, 30, 30));
        return bridge->join(
            Json{{"token", "tok-1"}, {"channel_id", "ch-1"}, {"user_id", "client-7"}}, "render-9");
    }
    // Joins and waits for the first edited frame: the "AI connected" status, once more than before.
    ::testing::AssertionResult joinAndAwaitEditedVideo() {
        const size_t before = count(kAIConnected);
        if (Status<> joined = join(); !joined.ok())
            return ::testing::AssertionFailure() << "join refused: " << joined.error().message;
        if (!waitFor([&] { return count(kAIConnected) == before + 1; }))
            return ::testing::AssertionFailure() << "no edited frame arrived";
        return ::testing::AssertionSuccess();
    }
    void stopAndSettle() {
        bridge->stop();
        ASSERT_TRUE(waitFor([&] { return !bridge->resetting(); }));
    }

    GRef<GMainContext> context = adoptRef(g_main_context_new());
    std::unique_ptr<GLibLoop> loop = std::make_unique<GLibLoop>(context.get());
    devservice::LoopbackRTCService service;
    std::shared_ptr<NullView> view = std::make_shared<NullView>();
    RecordingBridgeDelegate heard;
    std::vector<std::string>& statuses = heard.statuses;
    std::shared_ptr<RTCBridge> bridge;
    std::filesystem::path diagnostics;
};

} // namespace zarvo::testing
