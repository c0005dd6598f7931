// The production engine against the stand-in's gateway and AI participant over loopback: real
// WebRTC media, synthetic camera frames in, edited frames back.
#include "devservice/rtc/loopback_rtc_service.h"
#include "media/rtc/rtc_engine_webrtc.h"
#include "tests/support/loopback_session.h"
#include "tests/support/media_samples.h"
#include "tests/support/settled_count.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <libsoup/soup.h>

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using namespace zarvo;
using zarvo::devservice::LoopbackRTCService;
using zarvo::devservice::RTCCredentials;
using zarvo::devservice::SessionMedia;

namespace {

using zarvo::testing::solidJpeg;

int countEntries(const char* dir) {
    int n = 0;
    if (DIR* d = opendir(dir)) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n - 2;
}
int threadCount() {
    return countEntries("/proc/self/task");
}
int fdCount() {
    return countEntries("/proc/self/fd");
}

struct Average {
    double b = 0, g = 0, r = 0;
};

// Records remote frames as the bridge would see them.
class RecordingDelegate final : public RTCEngineDelegate {
public:
    bool onRemoteVideoSample(const std::string& uid, int, const RTCVideoDataSample& s) override {
        std::lock_guard lock(mutex);
        ++frames;
        lastUID = uid;
        if (s.width != 1280 || s.height != 720 || !s.data)
            ++malformed;
        // The mean colour of a sparse grid: enough to tell the edits apart.
        Average a;
        int n = 0;
        for (int y = 0; y < s.height; y += 36)
            for (int x = 0; x < s.width; x += 64, ++n) {
                const uint8_t* p = s.data + static_cast<size_t>(y) * s.stride + x * 4;
                a.b += p[0];
                a.g += p[1];
                a.r += p[2];
            }
        last = {a.b / n, a.g / n, a.r / n};
        const auto now = std::chrono::steady_clock::now();
        if (frames > 1)
            longestGap = std::max(longestGap, now - lastArrival);
        lastArrival = now;
        changed.notify_all();
        return false;
    }
    bool onCaptureVideoSample(int, const RTCVideoDataSample&) override { return false; }
    int onGetVideoFormatPreference() override { return 0; }

    int64_t count() {
        std::lock_guard lock(mutex);
        return frames;
    }
    bool waitForFrames(int64_t n, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return frames >= n; });
    }

    std::mutex mutex;
    std::condition_variable changed;
    int64_t frames = 0;
    int64_t malformed = 0;
    std::string lastUID;
    Average last;
    std::chrono::steady_clock::time_point lastArrival;
    std::chrono::steady_clock::duration longestGap{};
};

// Pushes a moving synthetic picture at 25 fps, as the camera queue does.
class SyntheticCamera {
public:
    explicit SyntheticCamera(std::shared_ptr<RTCEngine> engine) : engine_(std::move(engine)) {
        thread_ = std::thread([this] { run(); });
    }
    ~SyntheticCamera() {
        stop_ = true;
        thread_.join();
    }
    int64_t accepted() const { return accepted_; }

private:
    void run() {
        auto next = std::chrono::steady_clock::now();
        int64_t n = 0;
        while (!stop_) {
            auto buffer = std::make_shared<PixelBuffer>();
            buffer->width = 1280;
            buffer->height = 720;
            buffer->stride = 1280 * 4;
            buffer->bytes.resize(1280 * 720 * 4);
            // Grey bars that move sideways by 8 pixels a frame.
            std::vector<uint8_t> row(1280 * 4);
            for (int x = 0; x < 1280; ++x) {
                const uint8_t v = static_cast<uint8_t>(96 + ((x + n * 8) % 64));
                row[x * 4] = row[x * 4 + 1] = row[x * 4 + 2] = v;
                row[x * 4 + 3] = 255;
            }
            for (int y = 0; y < 720; ++y)
                std::memcpy(buffer->data() + y * buffer->stride, row.data(), row.size());
            RTCVideoDataSample sample;
            sample.pixelBuffer = buffer;
            sample.width = 1280;
            sample.height = 720;
            sample.stride = buffer->stride;
            sample.timeStampMs = n * 40;
            if (engine_->pushExternalVideoFrame(sample, 0) == 0)
                ++accepted_;
            ++n;
            next += 40ms;
            std::this_thread::sleep_until(next);
        }
    }
    std::shared_ptr<RTCEngine> engine_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int64_t> accepted_{0};
};

class RTCEngineLoopbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        zarvo::testing::addLoopbackSession(service, "subject_replacement", solidJpeg(230, 30, 30));
        RTCGatewayConfig config;
        // The URL keeps the bare host; the connect map says where it really is.
        config.url = "ws://rtc.zarvo.test/rtc";
        config.connect["rtc.zarvo.test"] = "127.0.0.1:" + std::to_string(service.port());
        factory = std::make_unique<WebRTCEngineFactory>(config);
    }

    // The bridge's calls in its order; answers the join result.
    std::shared_ptr<RTCEngine> join(const std::string& token, int* result,
                                    std::optional<std::string> channel = "ch-1",
                                    std::optional<std::string> user = "client-7") {
        auto engine = factory->sharedInstance(&delegate);
        EXPECT_EQ(engine->publishLocalAudioStream(false), 0);
        EXPECT_EQ(engine->setDefaultSubscribeAllRemoteAudioStreams(false), 0);
        EXPECT_EQ(engine->setDefaultSubscribeAllRemoteVideoStreams(true), 0);
        EXPECT_EQ(engine->setVideoEncoderConfiguration({1280, 720, 25, 0}), 0);
        EXPECT_EQ(engine->setExternalVideoSource(true, 0, 2), 0);
        EXPECT_EQ(engine->registerVideoSampleObserver(), 0);
        EXPECT_EQ(engine->publishLocalVideoStream(true), 0);
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
        const int accepted =
            engine->joinChannel(token, channel, user, "Zarvo",
                                [&](int r, const std::string& ch, const std::string& uid, int) {
                                    std::lock_guard lock(mutex);
                                    *result = r;
                                    joinedChannel = ch;
                                    joinedUser = uid;
                                    done = true;
                                    cv.notify_one();
                                });
        EXPECT_EQ(accepted, 0);
        std::unique_lock lock(mutex);
        EXPECT_TRUE(cv.wait_for(lock, 60s, [&] { return done; }));
        return engine;
    }

    void release(std::shared_ptr<RTCEngine>& engine) {
        engine->unregisterVideoSampleObserver();
        engine->leaveChannel();
        engine.reset();
        factory->destroy();
    }

    // The gateway drops its side once the closing handshake has gone through.
    bool gatewayLetGo() {
        return zarvo::testing::settledCount([&] { return int(service.connectionCount()); }, 0,
                                            30s) == 0;
    }

    LoopbackRTCService service;
    std::unique_ptr<WebRTCEngineFactory> factory;
    RecordingDelegate delegate;
    std::string joinedChannel, joinedUser;
};

// The fallback codec end to end: the participant answers in the codec the offer proposes. The
// default codec's flow, and a switch, are checked over TLS in devservice_rtc_front_tests.
TEST_F(RTCEngineLoopbackTest, Vp8CarriesTheEditedVideoToo) {
    RTCGatewayConfig config;
    config.url = "ws://rtc.zarvo.test/rtc";
    config.connect["rtc.zarvo.test"] = "127.0.0.1:" + std::to_string(service.port());
    config.codec = RTCCodec::VP8;
    factory = std::make_unique<WebRTCEngineFactory>(config);
    int result = -1;
    auto engine = join("tok-1", &result);
    ASSERT_EQ(result, 0);
    EXPECT_EQ(joinedChannel, "ch-1");
    EXPECT_EQ(joinedUser, "client-7");
    {
        SyntheticCamera camera(engine);
        ASSERT_TRUE(delegate.waitForFrames(25, 60s)) << "no VP8 frames came back";
        EXPECT_TRUE(service.videoFlowing("S1"));
        std::lock_guard lock(delegate.mutex);
        EXPECT_EQ(delegate.lastUID, "render-9");
        EXPECT_EQ(delegate.malformed, 0);
        // Grey camera blended with a red reference: red dominates.
        EXPECT_GT(delegate.last.r, delegate.last.b + 40);
    }
    release(engine);
    EXPECT_TRUE(gatewayLetGo());
}

// 5 % of the edited video's packets are lost on the way back: retransmission and key-frame
// requests keep the picture moving. Without repair a lost packet left the decoder waiting for
// the next periodic key frame.
TEST_F(RTCEngineLoopbackTest, FivePercentLossKeepsTheEditedPictureFlowing) {
    int result = -1;
    auto engine = join("tok-1", &result);
    ASSERT_EQ(result, 0);
    {
        SyntheticCamera camera(engine);
        ASSERT_TRUE(delegate.waitForFrames(10, 60s)) << "no frames before the loss";
        NetworkShape shape;
        shape.lossPercent = 5;
        service.setNetworkShape(shape);
        int64_t start = 0;
        {
            std::lock_guard lock(delegate.mutex);
            start = delegate.frames;
            delegate.longestGap = {};
        }
        // 250 frames are 10 s at the camera's rate; the deadline leaves room for a loaded machine.
        ASSERT_TRUE(delegate.waitForFrames(start + 250, 120s)) << "the picture stopped under loss";
        {
            std::lock_guard lock(delegate.mutex);
            // A stall, not a hiccup: a loaded machine alone can hold a frame back over a second.
            EXPECT_LT(delegate.longestGap, 5s);
            EXPECT_EQ(delegate.malformed, 0);
        }
        // The repair is the client's: it asked for the lost packets again.
        auto stats = service.linkStats("S1");
        EXPECT_GT(stats["outbound-rtp.nack-count"], 0);
    }
    service.setNetworkShape({});
    release(engine);
    EXPECT_TRUE(gatewayLetGo());
}

TEST_F(RTCEngineLoopbackTest, JoinWithUnknownTokenReportsTheGatewayCode) {
    int result = -1;
    auto engine = join("wrong-token", &result);
    EXPECT_EQ(result, 110);
    // Refused joins leave the engine free for another attempt.
    int second = -1;
    auto again = join("tok-1", &second);
    EXPECT_EQ(second, 0);
    release(again);
    engine.reset();
}

TEST_F(RTCEngineLoopbackTest, JoinWithoutChannelOrUserStillJoins) {
    int result = -1;
    auto engine = join("tok-1", &result, std::nullopt, std::nullopt);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(joinedChannel, "ch-1");
    EXPECT_EQ(joinedUser, "client-7");
    release(engine);
}

TEST_F(RTCEngineLoopbackTest, UnreachableGatewayFailsTheJoinResult) {
    RTCGatewayConfig config;
    config.url = "ws://rtc.zarvo.test/rtc";
    config.connect["rtc.zarvo.test"] = "127.0.0.1:1"; // nothing listens there
    factory = std::make_unique<WebRTCEngineFactory>(config);
    int result = -1;
    auto engine = join("tok-1", &result);
    EXPECT_EQ(result, kRTCErrGatewayUnreachable);
    release(engine);
}

// A gateway that hangs up on the join without answering it.
class HangingUpGateway {
public:
    HangingUpGateway() {
        std::mutex mutex;
        std::condition_variable cv;
        bool ready = false;
        thread_ = std::thread([&] {
            g_main_context_push_thread_default(context_);
            SoupServer* server = soup_server_new(nullptr, nullptr);
            soup_server_listen_local(server, 0, SOUP_SERVER_LISTEN_IPV4_ONLY, nullptr);
            GSList* uris = soup_server_get_uris(server);
            port_ = static_cast<uint16_t>(g_uri_get_port(static_cast<GUri*>(uris->data)));
            g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
            soup_server_add_websocket_handler(
                server, "/rtc", nullptr, nullptr,
                [](SoupServer*, SoupServerMessage*, const char*, SoupWebsocketConnection* socket,
                   gpointer) {
                    g_signal_connect(
                        socket, "message",
                        G_CALLBACK(+[](SoupWebsocketConnection* s, gint, GBytes*, gpointer) {
                            soup_websocket_connection_close(s, 1011, nullptr);
                        }),
                        nullptr);
                    g_object_ref(socket);
                    g_signal_connect(socket, "closed", G_CALLBACK(g_object_unref), nullptr);
                },
                nullptr, nullptr);
            {
                std::lock_guard lock(mutex);
                ready = true;
                cv.notify_one();
            }
            while (!stop_)
                g_main_context_iteration(context_, TRUE);
            soup_server_disconnect(server);
            g_object_unref(server);
            g_main_context_pop_thread_default(context_);
        });
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return ready; });
    }
    ~HangingUpGateway() {
        stop_ = true;
        g_main_context_wakeup(context_);
        thread_.join();
        g_main_context_unref(context_);
    }
    uint16_t port() const { return port_; }

private:
    GMainContext* context_ = g_main_context_new();
    std::thread thread_;
    std::atomic<bool> stop_{false};
    uint16_t port_ = 0;
};

TEST_F(RTCEngineLoopbackTest, AGatewayHangingUpOnTheJoinFailsItAndFreesTheEngine) {
    HangingUpGateway gateway;
    RTCGatewayConfig config;
    config.url = "ws://rtc.zarvo.test/rtc";
    config.connect["rtc.zarvo.test"] = "127.0.0.1:" + std::to_string(gateway.port());
    factory = std::make_unique<WebRTCEngineFactory>(config);
    int result = -1;
    auto engine = join("tok-1", &result);
    EXPECT_EQ(result, kRTCErrConnectionLost);
    // The engine is free for the next join at once.
    int second = -1;
    engine = join("tok-1", &second);
    EXPECT_EQ(second, kRTCErrConnectionLost);
    release(engine);
}

TEST_F(RTCEngineLoopbackTest, PushesOutsideAChannelAreRefused) {
    auto engine = factory->sharedInstance(&delegate);
    engine->setExternalVideoSource(true, 0, 2);
    engine->publishLocalVideoStream(true);
    auto buffer = std::make_shared<PixelBuffer>();
    buffer->width = 1280;
    buffer->height = 720;
    buffer->stride = 1280 * 4;
    buffer->bytes.resize(1280 * 720 * 4);
    RTCVideoDataSample sample{buffer, 2, 0, 1280, 720, 1280 * 4, 0, nullptr};
    EXPECT_EQ(engine->pushExternalVideoFrame(sample, 0), kRTCErrNotInChannel);
    auto truncated = std::make_shared<PixelBuffer>(*buffer);
    truncated->bytes.resize(1280 * 4 * 10); // ten rows where 720 are promised
    sample.pixelBuffer = truncated;
    EXPECT_EQ(engine->pushExternalVideoFrame(sample, 0), kRTCErrInvalidArgument);
    factory->destroy();
    EXPECT_EQ(engine->pushExternalVideoFrame(sample, 0), kRTCErrNotReady);
    int result = 0;
    EXPECT_EQ(engine->joinChannel("tok-1", std::nullopt, std::nullopt, "Zarvo",
                                  [&](int r, auto&, auto&, int) { result = r; }),
              kRTCErrNotReady);
}

// Join, stream, leave and destroy five times in one process: each join works, and threads and
// file descriptors come back down once the engine has wound down. Resident memory across cycles
// is camera_bridge_loopback_bench's figure.
TEST_F(RTCEngineLoopbackTest, RepeatedJoinAndLeaveReleaseEverything) {
    int baselineThreads = 0, baselineFds = 0;
    for (int cycle = 0; cycle < 5; ++cycle) {
        int result = -1;
        auto engine = join("tok-1", &result);
        ASSERT_EQ(result, 0) << "cycle " << cycle;
        {
            SyntheticCamera camera(engine);
            const int64_t before = delegate.count();
            ASSERT_TRUE(delegate.waitForFrames(before + 25, 60s)) << "cycle " << cycle;
        }
        release(engine);
        EXPECT_TRUE(gatewayLetGo());
        if (cycle == 0) {
            baselineThreads = threadCount();
            baselineFds = fdCount();
        } else {
            // GStreamer keeps a few pooled threads; the bound is that they do not accumulate.
            const int threads = zarvo::testing::settledCount(threadCount, baselineThreads + 6);
            EXPECT_LE(threads, baselineThreads + 6) << "cycle " << cycle;
            const int fds = zarvo::testing::settledCount(fdCount, baselineFds + 4);
            EXPECT_LE(fds, baselineFds + 4) << "cycle " << cycle;
        }
    }
}

} // namespace
