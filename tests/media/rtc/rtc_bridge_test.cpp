#include "media/rtc/rtc_bridge.h"

#include "foundation/atomic_file.h"
#include "foundation/virtual_loop.h"
#include "tests/support/recording_bridge_delegate.h"
#include "version.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

namespace zarvo {
namespace {

namespace fs = std::filesystem;

// Every call the fakes see, in order, from any thread.
struct CallLog {
    std::mutex mutex;
    std::vector<std::string> calls;
    void add(std::string call) {
        std::lock_guard lock(mutex);
        calls.push_back(std::move(call));
    }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return calls;
    }
    size_t count(const std::string& call) {
        auto all = snapshot();
        return size_t(std::count(all.begin(), all.end(), call));
    }
    // Whether `expected` occurs in this order (not necessarily adjacent).
    bool inOrder(const std::vector<std::string>& expected) {
        auto all = snapshot();
        auto at = all.begin();
        for (const auto& call : expected) {
            at = std::find(at, all.end(), call);
            if (at == all.end())
                return false;
            ++at;
        }
        return true;
    }
};

class FakeEngine final : public RTCEngine {
public:
    explicit FakeEngine(std::shared_ptr<CallLog> log) : log_(std::move(log)) {}
    int publishLocalAudioStream(bool on) override { return note("publishLocalAudioStream", on); }
    int setDefaultSubscribeAllRemoteAudioStreams(bool on) override {
        return note("subscribeAudio", on);
    }
    int setDefaultSubscribeAllRemoteVideoStreams(bool on) override {
        return note("subscribeVideo", on);
    }
    int setVideoEncoderConfiguration(const RTCVideoEncoderConfiguration& c) override {
        configuration = c;
        log_->add("setVideoEncoderConfiguration");
        return encoderResult;
    }
    int setExternalVideoSource(bool enable, int sourceType, int renderMode) override {
        log_->add("setExternalVideoSource:" + std::to_string(enable) + "," +
                  std::to_string(sourceType) + "," + std::to_string(renderMode));
        return externalResult;
    }
    int registerVideoSampleObserver() override { return note("registerVideoSampleObserver"); }
    int unregisterVideoSampleObserver() override { return note("unregisterVideoSampleObserver"); }
    int publishLocalVideoStream(bool on) override { return note("publishLocalVideoStream", on); }
    int setIceServers(const std::vector<RTCIceServer>& servers) override {
        iceServers = servers;
        return 0;
    }
    int joinChannel(const std::string& t, const std::optional<std::string>& channel,
                    const std::optional<std::string>& user, const std::string& n,
                    RTCJoinResult block) override {
        log_->add("joinChannel");
        token = t;
        channelID = channel;
        userID = user;
        name = n;
        done = std::move(block);
        return joinResult;
    }
    int pushExternalVideoFrame(const RTCVideoDataSample& sample, int sourceType) override {
        std::unique_lock lock(mutex);
        pushes.push_back(sample);
        pushSourceType = sourceType;
        pushed.notify_all();
        gateChanged.wait(lock, [&] { return !pushesHeld; });
        return pushResult.load();
    }
    // Makes the next pushes wait inside the engine until releasePushes().
    void holdPushes() {
        std::lock_guard lock(mutex);
        pushesHeld = true;
    }
    void releasePushes() {
        std::lock_guard lock(mutex);
        pushesHeld = false;
        gateChanged.notify_all();
    }
    int leaveChannel() override { return note("leaveChannel"); }

    size_t pushCount() {
        std::lock_guard lock(mutex);
        return pushes.size();
    }
    // Waits for frames from a live capture, which the virtual loop knows nothing of.
    bool waitForPushes(size_t wanted) {
        std::unique_lock lock(mutex);
        return pushed.wait_for(lock, std::chrono::seconds(20),
                               [&] { return pushes.size() >= wanted; });
    }

    int encoderResult = 0, externalResult = 0, joinResult = 0;
    std::atomic<int> pushResult{0};
    RTCVideoEncoderConfiguration configuration{0, 0, 0, -1};
    std::string token, name;
    std::optional<std::string> channelID, userID;
    std::vector<RTCIceServer> iceServers;
    RTCJoinResult done;
    std::mutex mutex;
    std::condition_variable pushed, gateChanged;
    bool pushesHeld = false;
    std::vector<RTCVideoDataSample> pushes;
    int pushSourceType = -1;

private:
    int note(const std::string& call, std::optional<bool> flag = std::nullopt) {
        log_->add(flag ? call + ":" + (*flag ? "true" : "false") : call);
        return 0;
    }
    std::shared_ptr<CallLog> log_;
};

class FakeFactory final : public RTCEngineFactory {
public:
    explicit FakeFactory(std::shared_ptr<CallLog> log) : log_(std::move(log)) {}
    std::shared_ptr<RTCEngine> sharedInstance(RTCEngineDelegate* d) override {
        log_->add("sharedInstance");
        delegate = d;
        if (makeNone)
            return nullptr;
        made.push_back(std::make_shared<FakeEngine>(log_));
        made.back()->joinResult = nextJoinResult;
        return made.back();
    }
    void destroy() override {
        log_->add("destroy");
        std::unique_lock lock(mutex_);
        released_.wait(lock, [&] { return !hold_; });
        ++destroyed;
    }
    // Makes destroy() block until open() is called, as a slow engine release would.
    void hold() {
        std::lock_guard lock(mutex_);
        hold_ = true;
    }
    void open() {
        std::lock_guard lock(mutex_);
        hold_ = false;
        released_.notify_all();
    }

    bool makeNone = false;
    int nextJoinResult = 0;
    RTCEngineDelegate* delegate = nullptr;
    std::vector<std::shared_ptr<FakeEngine>> made;
    std::atomic<int> destroyed{0};

private:
    std::shared_ptr<CallLog> log_;
    std::mutex mutex_;
    std::condition_variable released_;
    bool hold_ = false;
};

// A capture whose frames the test hands in on the camera queue.
class FakeCamera final : public CameraInput {
public:
    FakeCamera(std::shared_ptr<CallLog> log, Status<> prepareResult)
        : CameraInput([] { return std::vector<CameraDevice>{}; }), log_(std::move(log)),
          prepareResult_(std::move(prepareResult)) {}
    Status<> prepare(const std::string& deviceID) override {
        log_->add("camera.prepare:" + deviceID);
        return prepareResult_;
    }
    void start() override { log_->add("camera.start"); }
    void stop(std::function<void()> completion) override {
        log_->add("camera.stop");
        queue_->async([self = shared_from_this(), completion] {
            self->onFrame = nullptr;
            completion();
        });
    }
    void deliver(int64_t timestampMs) {
        auto frame = std::make_shared<PixelBuffer>();
        frame->width = 1280;
        frame->height = 720;
        frame->stride = 1280 * 4;
        frame->bytes.assign(size_t(frame->stride) * 720, 0x40);
        queue().sync([&] {
            if (onFrame)
                onFrame(frame, timestampMs);
        });
    }

private:
    std::shared_ptr<CallLog> log_;
    Status<> prepareResult_;
};

// A virtual loop its owner can close as if destroying it; any use after that is counted.
class ClosableLoop final : public Loop {
public:
    void post(Task task) override {
        if (use())
            inner.post(std::move(task));
    }
    TimerHandle postDelayed(Duration delay, Task task) override {
        return use() ? inner.postDelayed(delay, std::move(task)) : TimerHandle{};
    }
    TimerHandle repeating(Duration interval, Task task) override {
        return use() ? inner.repeating(interval, std::move(task)) : TimerHandle{};
    }
    bool isLoopThread() const override { return use() && inner.isLoopThread(); }
    WallTime now() const override { return use() ? inner.now() : WallTime{}; }
    Duration uptime() const override { return use() ? inner.uptime() : Duration{}; }

    void close() { closed = true; }
    VirtualLoop inner;
    std::atomic<bool> closed{false};
    mutable std::atomic<int> usesAfterClose{0};

private:
    bool use() const {
        if (!closed)
            return true;
        ++usesAfterClose;
        return false;
    }
};

class View final : public PictureView {
public:
    void setPicture(PicturePtr picture) override {
        ++updates;
        current = std::move(picture);
    }
    int updates = 0;
    PicturePtr current;
};

// A 4 × 2 remote picture whose first byte tells which frame it was.
struct RemoteFrame {
    std::vector<uint8_t> pixels;
    RTCVideoDataSample sample;
    explicit RemoteFrame(uint8_t marker) : pixels(4 * 2 * 4, 0) {
        pixels[0] = marker;
        sample.width = 4;
        sample.height = 2;
        sample.stride = 16;
        sample.format = 0;
        sample.data = pixels.data();
    }
};

const Json kCredentials = {{"token", "tok"}, {"channel_id", "ch-1"}, {"user_id", "user-9"}};
constexpr const char* kAIConnected = "AI 画面已连接 · 正在实时编辑";
constexpr const char* kReleaseTimedOut =
    "视频组件释放超时，请在设置中安全重启新版；后台结算不受影响";

class RTCBridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        diagnostics = fs::temp_directory_path() /
                      ("zarvo-rtc-bridge-" + std::to_string(::getpid()) + "-" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(diagnostics);
        heard.keepPictures = true;
        bridge = RTCBridge::create(loop, factory, heard, [this] {
            camera = std::make_shared<FakeCamera>(log, cameraPrepare);
            ++camerasMade;
            return camera;
        });
        bridge->diagnosticsFolder = diagnostics;
        bridge->install(view);
        bridge->setCameraID("v4l2:usb-1");
    }
    void TearDown() override {
        factory->open();
        loop.runUntil([&] { return !bridge || !bridge->resetting(); });
        cameraInputQueue()->sync([] {});
        bridge.reset();
        fs::remove_all(diagnostics);
    }

    FakeEngine& engine() { return *factory->made.back(); }
    void join(const std::string& uid = "render_uid") {
        auto joined = bridge->join(kCredentials, uid);
        ASSERT_TRUE(joined.ok()) << joined.error().message;
    }
    size_t count(const std::string& status) {
        return size_t(std::count(statuses.begin(), statuses.end(), status));
    }
    std::optional<Json> report() {
        RTCBridge::waitForReports();
        auto text = readFile(diagnostics / ("video-" + std::string(kVersion) + ".json"));
        return text ? parseJsonObject(*text) : std::nullopt;
    }

    VirtualLoop loop;
    std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
    std::shared_ptr<FakeFactory> factory = std::make_shared<FakeFactory>(log);
    Status<> cameraPrepare = Ok{};
    std::shared_ptr<FakeCamera> camera;
    int camerasMade = 0;
    std::shared_ptr<View> view = std::make_shared<View>();
    zarvo::testing::RecordingBridgeDelegate heard;
    std::vector<PicturePtr>& frames = heard.frames;
    std::vector<PicturePtr>& localFrames = heard.localFrames;
    std::vector<std::string>& statuses = heard.statuses;
    std::shared_ptr<RTCBridge> bridge;
    fs::path diagnostics;
};

TEST_F(RTCBridgeTest, InstallTurnsAudioOffAndRemoteVideoOn) {
    EXPECT_TRUE(bridge->hasEngine());
    ASSERT_NE(factory->delegate, nullptr);
    EXPECT_EQ(factory->delegate->onGetVideoFormatPreference(), 0);
    EXPECT_TRUE(log->inOrder({"sharedInstance", "publishLocalAudioStream:false",
                              "subscribeAudio:false", "subscribeVideo:true"}));
}

TEST_F(RTCBridgeTest, JoinConfiguresPublishesAndStartsTheCamera) {
    join();
    const auto& e = engine();
    EXPECT_EQ(e.configuration.width, 1280);
    EXPECT_EQ(e.configuration.height, 720);
    EXPECT_EQ(e.configuration.frameRate, 25);
    EXPECT_EQ(e.configuration.bitrate, 0);
    EXPECT_EQ(e.token, "tok");
    EXPECT_EQ(e.channelID, "ch-1");
    EXPECT_EQ(e.userID, "user-9");
    EXPECT_EQ(e.name, "Zarvo");
    EXPECT_TRUE(log->inOrder({"setVideoEncoderConfiguration", "setExternalVideoSource:1,0,2",
                              "camera.prepare:v4l2:usb-1", "registerVideoSampleObserver",
                              "publishLocalVideoStream:true", "joinChannel", "camera.start"}));
    EXPECT_EQ(bridge->renderUID(), "render_uid");
    EXPECT_EQ(bridge->connectionGeneration(), 1);
}

TEST_F(RTCBridgeTest, CredentialsWithoutChannelOrUserStillJoin) {
    const Json relays = Json::array(
        {{{"urls", "turn:relay.zarvo.test:3478"}, {"username", "u"}, {"credential", "p"}},
         {{"urls", "http://relay.zarvo.test"}}});
    ASSERT_TRUE(bridge
                    ->join(Json{{"token", "tok"}, {"channel_id", 42}, {"ice_servers", relays}},
                           "render_uid")
                    .ok());
    EXPECT_EQ(engine().channelID, std::nullopt); // not a string counts as missing
    EXPECT_EQ(engine().userID, std::nullopt);
    // The relays reach the engine before the join; the entry it cannot use does not.
    EXPECT_EQ(engine().iceServers,
              (std::vector<RTCIceServer>{{{"turn:relay.zarvo.test:3478"}, "u", "p"}}));
    EXPECT_EQ(log->count("camera.start"), 1u);
}

TEST_F(RTCBridgeTest, JoinFailuresCarryTheirCodeAndText) {
    // Without an engine.
    factory->makeNone = true;
    bridge->install(view);
    EXPECT_EQ(bridge->join(kCredentials, "render_uid").error(),
              (Error{"视频引擎正在释放，请稍候重试", 2}));
    factory->makeNone = false;
    bridge->install(view);

    engine().externalResult = -7;
    EXPECT_EQ(bridge->join(kCredentials, "render_uid").error(), (Error{"视频画幅配置失败", 1}));
    EXPECT_EQ(camerasMade, 0);
    engine().externalResult = 0;

    EXPECT_EQ(bridge->join(Json{{"channel_id", "c"}}, "render_uid").error(),
              (Error{"RTC凭证缺失", 1}));
    EXPECT_EQ(bridge->join(Json{{"token", 17}}, "render_uid").error(), (Error{"RTC凭证缺失", 1}));
    EXPECT_EQ(bridge->renderUID(), "");
    EXPECT_EQ(log->count("registerVideoSampleObserver"), 0u);

    // An immediate refusal of the channel keeps its code; the session is already marked joined.
    engine().joinResult = 110;
    EXPECT_EQ(bridge->join(kCredentials, "render_uid").error(), (Error{"视频入会失败", 110}));
    EXPECT_EQ(bridge->renderUID(), "render_uid");
    EXPECT_EQ(log->count("camera.start"), 0u);
}

TEST_F(RTCBridgeTest, CameraErrorFailsTheJoinUnchangedBeforeTheSessionIsTouched) {
    cameraPrepare = unexpected(Error{"摄像头不可用，请重新选择", 1});
    EXPECT_EQ(bridge->join(kCredentials, "render_uid").error(),
              (Error{"摄像头不可用，请重新选择", 1}));
    EXPECT_EQ(bridge->renderUID(), "");
    EXPECT_EQ(bridge->connectionGeneration(), 0);
    EXPECT_EQ(log->count("registerVideoSampleObserver"), 0u);
    EXPECT_EQ(log->count("joinChannel"), 0u);
}

TEST_F(RTCBridgeTest, UnknownCameraOfTheRealCaptureFailsWithCodeOne) {
    zarvo::testing::RecordingBridgeDelegate realHeard;
    auto real = RTCBridge::create(loop, factory, realHeard, [] {
        return std::make_shared<CameraInput>(
            [] { return std::vector<CameraDevice>{demoCameraDevice()}; });
    });
    real->install(view);
    real->setCameraID("v4l2:usb-unplugged");
    EXPECT_EQ(real->join(kCredentials, "render_uid").error(),
              (Error{"摄像头不可用，请重新选择", 1}));
    EXPECT_EQ(real->renderUID(), "");
    EXPECT_EQ(log->count("joinChannel"), 0u);
}

TEST_F(RTCBridgeTest, JoinResultIsReportedForTheCurrentConnectionOnly) {
    join();
    std::thread([&] { engine().done(0, "ch-1", "user-9", 80); }).join();
    loop.runUntilIdle();
    std::thread([&] { engine().done(-17, "ch-1", "user-9", 80); }).join();
    loop.runUntilIdle();
    EXPECT_EQ(statuses,
              (std::vector<std::string>{"视频已连接，等待 AI 画面", "视频连接失败：-17"}));

    auto late = engine().done;
    bridge->stop();
    std::thread([&] { late(0, "ch-1", "user-9", 80); }).join();
    loop.runUntil([&] { return !bridge->resetting(); });
    EXPECT_EQ(statuses.size(), 2u);
}

TEST_F(RTCBridgeTest, FailuresAfterTheJoinReachTheFailurePathOncePerConnection) {
    const std::vector<Error>& failures = heard.failures;
    join();
    std::thread([&] { engine().done(0, "ch-1", "user-9", 80); }).join();
    std::thread([&] { factory->delegate->onConnectionFailure(1003); }).join();
    std::thread([&] { factory->delegate->onConnectionFailure(1005); }).join();
    loop.runUntilIdle();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].code, 1003);
    EXPECT_EQ(failures[0].message, "视频连接失败：1003");
    EXPECT_EQ(statuses.back(), "视频连接失败：1003");

    // A failed join result of the next connection is a failure of its own.
    bridge->stop();
    factory->open();
    loop.runUntil([&] { return !bridge->resetting(); });
    join();
    std::thread([&] { engine().done(110, "", "", 80); }).join();
    loop.runUntilIdle();
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[1].code, 110);

    // After a stop, a failure still on its way is not one of a session.
    bridge->stop();
    std::thread([&] { factory->delegate->onConnectionFailure(1003); }).join();
    loop.runUntil([&] { return !bridge->resetting(); });
    EXPECT_EQ(failures.size(), 2u);
}

TEST_F(RTCBridgeTest, AReleaseOutlivingTheBridgeTouchesNeitherBridgeNorLoop) {
    join();
    factory->hold();
    bridge->stop();
    // The release has begun on the camera queue and waits in destroy().
    for (int i = 0; i < 3000 && log->count("destroy") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(log->count("destroy"), 1u);
    EXPECT_FALSE(RTCBridge::waitForReleases(std::chrono::milliseconds(50)));
    RTCEngineDelegate* delegate = factory->delegate;
    bridge.reset();
    // The engine may still call its delegate until the release unregisters it.
    RemoteFrame frame(1);
    EXPECT_FALSE(delegate->onRemoteVideoSample("render_uid", 0, frame.sample));
    delegate->onConnectionFailure(1003);
    factory->open();
    EXPECT_TRUE(RTCBridge::waitForReleases(std::chrono::seconds(30)));
    EXPECT_EQ(factory->destroyed, 1);
}

TEST_F(RTCBridgeTest, RemoteFramesOfAnotherUserAreIgnoredAndNotCounted) {
    join("render_uid");
    RemoteFrame frame(1);
    EXPECT_FALSE(bridge->onRemoteVideoSample("someone_else", 0, frame.sample));
    RTCVideoDataSample empty;
    EXPECT_FALSE(bridge->onRemoteVideoSample("render_uid", 0, empty)); // no picture in it
    loop.runUntilIdle();
    EXPECT_EQ(bridge->frameStats().count, 0);
    EXPECT_FALSE(bridge->frameStats().first);
    EXPECT_TRUE(frames.empty());
    EXPECT_TRUE(statuses.empty());
}

TEST_F(RTCBridgeTest, ABurstWhileTheMainThreadIsBusyIsDeliveredOnceWithTheNewest) {
    join();
    std::vector<uint8_t> outputs;
    std::thread::id outputThread;
    heard.output = [&](const PicturePtr& picture) {
        outputs.push_back(picture->data()[0]);
        outputThread = std::this_thread::get_id();
    };
    std::thread engineThread([&] {
        for (int i = 0; i < 100; ++i) {
            RemoteFrame frame{uint8_t(i)};
            bridge->onRemoteVideoSample("render_uid", 0, frame.sample);
        }
    });
    const auto engineThreadID = engineThread.get_id();
    engineThread.join();
    loop.runUntilIdle();

    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->data()[0], 99);
    EXPECT_EQ(outputs.size(), 100u); // the virtual camera sees every frame, on the engine thread
    EXPECT_EQ(outputThread, engineThreadID);
    const auto stats = bridge->frameStats();
    EXPECT_EQ(stats.count, 100);
    ASSERT_TRUE(stats.first && stats.last);
    EXPECT_EQ(*stats.last, loop.now());
    EXPECT_EQ(count(kAIConnected), 1u);

    // Later frames schedule a new delivery and report nothing again.
    RemoteFrame later(200);
    bridge->onRemoteVideoSample("render_uid", 0, later.sample);
    loop.runUntilIdle();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1]->data()[0], 200);
    EXPECT_EQ(count(kAIConnected), 1u);
}

TEST_F(RTCBridgeTest, NothingIsDeliveredAfterStop) {
    join();
    RemoteFrame frame(5);
    bridge->onRemoteVideoSample("render_uid", 0, frame.sample); // queued, first-frame report too
    camera->deliver(40);                                        // a local preview queued
    bridge->stop();
    bridge->onRemoteVideoSample("render_uid", 0, frame.sample); // in flight after the stop
    loop.runUntil([&] { return !bridge->resetting(); });
    EXPECT_TRUE(frames.empty());
    EXPECT_TRUE(localFrames.empty());
    EXPECT_EQ(count(kAIConnected), 0u);
    EXPECT_EQ(bridge->frameStats().count, 0); // forgotten at the stop; the late one not counted
    EXPECT_FALSE(bridge->frameStats().last);
}

TEST_F(RTCBridgeTest, ACameraFrameQueuedBeforeTheCaptureStopsReachesNothingAfterStop) {
    join();
    std::mutex gateMutex;
    std::condition_variable gateChanged;
    bool gateOpen = false;
    // The camera queue is busy, so the frame and then the capture's own stop wait behind it.
    camera->queue().async([&] {
        std::unique_lock lock(gateMutex);
        gateChanged.wait(lock, [&] { return gateOpen; });
    });
    auto frame = std::make_shared<PixelBuffer>();
    frame->width = 1280;
    frame->height = 720;
    frame->stride = 1280 * 4;
    frame->bytes.assign(size_t(frame->stride) * 720, 0x40);
    camera->queue().async([camera = camera, frame] {
        if (camera->onFrame)
            camera->onFrame(frame, 40);
    });
    FakeEngine& released = engine();
    bridge->stop();
    {
        std::lock_guard lock(gateMutex);
        gateOpen = true;
    }
    gateChanged.notify_all();
    ASSERT_TRUE(loop.runUntil([&] { return !bridge->resetting(); }));
    EXPECT_EQ(released.pushCount(), 0u);
    EXPECT_EQ(bridge->pushed() + bridge->rejected(), 0);
    loop.runUntilIdle();
    EXPECT_TRUE(localFrames.empty());
}

// The owner lets go of the bridge and then destroys its loop while the camera thread is inside a
// push: letting go must wait for that frame, so nothing touches the loop afterwards.
TEST_F(RTCBridgeTest, DroppingTheBridgeDuringACameraFrameEndsItBeforeItsLoopGoes) {
    ClosableLoop owned;
    zarvo::testing::RecordingBridgeDelegate droppedHeard;
    auto dropped = RTCBridge::create(owned, factory, droppedHeard, [this] {
        camera = std::make_shared<FakeCamera>(log, Ok{});
        return camera;
    });
    dropped->diagnosticsFolder = diagnostics;
    dropped->install(view);
    dropped->setCameraID("v4l2:usb-1");
    ASSERT_TRUE(dropped->join(kCredentials, "render_uid").ok());
    FakeEngine& pushing = engine();
    pushing.holdPushes();
    std::thread cameraThread([&] { camera->deliver(40); });
    ASSERT_TRUE(pushing.waitForPushes(1));

    std::weak_ptr<RTCBridge> weak = dropped;
    std::mutex ownerMutex;
    std::condition_variable ownerDone;
    bool finished = false;
    std::thread owner([&] {
        dropped.reset();
        owned.close();
        std::lock_guard lock(ownerMutex);
        finished = true;
        ownerDone.notify_all();
    });
    {
        // A correct owner stays blocked until the push ends; this pause only gives a wrong one
        // the chance to finish first and close the loop under the frame.
        std::unique_lock lock(ownerMutex);
        ownerDone.wait_for(lock, std::chrono::seconds(1), [&] { return finished; });
    }
    pushing.releasePushes();
    owner.join();
    cameraThread.join();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(owned.usesAfterClose, 0);
}

TEST_F(RTCBridgeTest, StopReleasesOffTheMainThreadAfterTheCameraAndReinstalls) {
    join();
    view->current = Picture::copyBGRA(1, 1, 4, std::vector<uint8_t>(4, 1).data());
    bridge->stop();
    EXPECT_TRUE(bridge->resetting());
    EXPECT_FALSE(bridge->hasEngine());
    EXPECT_EQ(view->current, nullptr);
    EXPECT_EQ(bridge->renderUID(), "");
    EXPECT_EQ(bridge->join(kCredentials, "render_uid").error(),
              (Error{"视频引擎正在释放，请稍候重试", 2}));

    ASSERT_TRUE(loop.runUntil([&] { return !bridge->resetting(); }));
    EXPECT_TRUE(log->inOrder({"camera.stop", "unregisterVideoSampleObserver", "leaveChannel",
                              "destroy", "sharedInstance"}));
    EXPECT_EQ(factory->destroyed, 1);
    EXPECT_EQ(factory->made.size(), 2u);
    EXPECT_TRUE(bridge->hasEngine());
    EXPECT_FALSE(camera->onFrame); // the capture was stopped before the engine went

    join(); // a fresh engine and a fresh capture
    EXPECT_EQ(camerasMade, 2);
    EXPECT_EQ(bridge->frameStats().count, 0);
}

TEST_F(RTCBridgeTest, StopWithoutASessionKeepsTheEngine) {
    bridge->stop();
    EXPECT_FALSE(bridge->resetting());
    EXPECT_TRUE(bridge->hasEngine());
    EXPECT_EQ(bridge->connectionGeneration(), 1);
    EXPECT_EQ(view->updates, 1);
    loop.advance(std::chrono::seconds(20));
    EXPECT_EQ(factory->destroyed, 0);
}

TEST_F(RTCBridgeTest, FailedChannelJoinIsReleasedWithoutACamera) {
    engine().joinResult = 3;
    factory->nextJoinResult = 0;
    EXPECT_FALSE(bridge->join(kCredentials, "render_uid").ok());
    bridge->stop();
    ASSERT_TRUE(loop.runUntil([&] { return !bridge->resetting(); }));
    EXPECT_EQ(factory->destroyed, 1);
    EXPECT_EQ(log->count("camera.stop"), 0u);
    join();
}

TEST_F(RTCBridgeTest, SecondStopWhileReleasingReturnsAtOnce) {
    factory->hold();
    join();
    bridge->stop();
    const auto generation = bridge->connectionGeneration();
    bridge->stop();
    EXPECT_EQ(bridge->connectionGeneration(), generation);
    EXPECT_EQ(log->count("camera.stop"), 1u);
    factory->open();
    ASSERT_TRUE(loop.runUntil([&] { return !bridge->resetting(); }));
    EXPECT_EQ(factory->destroyed, 1);
}

TEST_F(RTCBridgeTest, AReleaseOverFifteenSecondsIsReportedOnce) {
    factory->hold();
    join();
    bridge->stop();
    loop.advance(std::chrono::milliseconds(14'900));
    EXPECT_TRUE(statuses.empty());
    loop.advance(std::chrono::milliseconds(200));
    EXPECT_EQ(statuses, std::vector<std::string>{kReleaseTimedOut});
    EXPECT_TRUE(bridge->resetTimedOut());
    EXPECT_TRUE(bridge->resetting());

    factory->open();
    ASSERT_TRUE(loop.runUntil([&] { return !bridge->resetting(); }));
    EXPECT_FALSE(bridge->resetTimedOut());
    EXPECT_TRUE(bridge->hasEngine());
}

TEST_F(RTCBridgeTest, AQuickReleaseIsNotReported) {
    join();
    bridge->stop();
    ASSERT_TRUE(loop.runUntil([&] { return !bridge->resetting(); }));
    loop.advance(std::chrono::seconds(16));
    EXPECT_TRUE(statuses.empty());
}

TEST_F(RTCBridgeTest, LocalFramesArePushedCountedAndPreviewedTenTimesASecond) {
    join();
    camera->deliver(1234);
    ASSERT_EQ(engine().pushCount(), 1u);
    {
        const RTCVideoDataSample& pushed = engine().pushes[0];
        EXPECT_EQ(pushed.width, 1280);
        EXPECT_EQ(pushed.height, 720);
        EXPECT_EQ(pushed.stride, 1280 * 4);
        EXPECT_EQ(pushed.type, 2);
        EXPECT_EQ(pushed.format, 0);
        EXPECT_EQ(pushed.timeStampMs, 1234);
        EXPECT_NE(pushed.pixelBuffer, nullptr);
        EXPECT_EQ(engine().pushSourceType, 0);
    }
    engine().pushResult = 9;
    camera->deliver(1274);
    EXPECT_EQ(bridge->pushed(), 1);
    EXPECT_EQ(bridge->rejected(), 1);
    EXPECT_EQ(bridge->lastPushCode(), 9);

    loop.runUntilIdle();
    ASSERT_EQ(localFrames.size(), 1u); // the second frame came within 0.1 s
    EXPECT_EQ(localFrames[0]->width(), 1280);
    loop.advance(std::chrono::milliseconds(100));
    camera->deliver(1374);
    loop.runUntilIdle();
    EXPECT_EQ(localFrames.size(), 2u);
}

TEST_F(RTCBridgeTest, VideoReportIsWrittenAtMostEveryTwoSeconds) {
    join();
    camera->deliver(0);
    auto first = report();
    ASSERT_TRUE(first);
    EXPECT_EQ((*first)["accepted_frames"], 1);
    EXPECT_EQ((*first)["rejected_frames"], 0);
    EXPECT_EQ((*first)["last_push_code"], 0);
    EXPECT_EQ((*first)["remote_frames"], 0);
    EXPECT_TRUE((*first)["last_remote_at"].is_number_integer());
    EXPECT_EQ((*first)["last_remote_at"], 0);
    EXPECT_EQ((*first)["upload_width"], 1280);
    EXPECT_EQ((*first)["upload_height"], 720);
    EXPECT_DOUBLE_EQ((*first)["updated_at"].get<double>(), epochSeconds(loop.now()));

    fs::remove(diagnostics / ("video-" + std::string(kVersion) + ".json"));
    loop.advance(std::chrono::milliseconds(1900));
    camera->deliver(40);
    EXPECT_FALSE(report());

    RemoteFrame frame(1);
    bridge->onRemoteVideoSample("render_uid", 0, frame.sample);
    loop.advance(std::chrono::milliseconds(100));
    camera->deliver(80);
    auto second = report();
    ASSERT_TRUE(second);
    EXPECT_EQ((*second)["accepted_frames"], 3);
    EXPECT_EQ((*second)["remote_frames"], 1);
    EXPECT_TRUE((*second)["last_remote_at"].is_number_float());
}

TEST_F(RTCBridgeTest, VideoReportFailuresAreIgnored) {
    join();
    fs::create_directories(diagnostics.parent_path());
    writeFileAtomically(diagnostics, "a file where the folder should be").value();
    camera->deliver(0);
    EXPECT_EQ(bridge->pushed(), 1);
    fs::remove(diagnostics);
}

// The real capture of the synthetic camera feeds the engine pipeline frames.
TEST_F(RTCBridgeTest, SyntheticCameraFramesReachTheEngine) {
    zarvo::testing::RecordingBridgeDelegate realHeard;
    auto real = RTCBridge::create(loop, factory, realHeard, [] {
        return std::make_shared<CameraInput>(
            [] { return std::vector<CameraDevice>{demoCameraDevice()}; });
    });
    real->diagnosticsFolder = diagnostics;
    real->install(view);
    real->setCameraID(kDemoCameraUniqueID);
    ASSERT_TRUE(real->join(kCredentials, "render_uid").ok());
    FakeEngine& e = engine();
    ASSERT_TRUE(e.waitForPushes(3));
    real->stop();
    ASSERT_TRUE(loop.runUntil([&] { return !real->resetting(); }, std::chrono::seconds(20)));
    const size_t afterStop = e.pushCount();
    cameraInputQueue()->sync([] {});
    EXPECT_EQ(e.pushCount(), afterStop);
    std::lock_guard lock(e.mutex);
    for (const auto& sample : e.pushes) {
        EXPECT_EQ(sample.pixelBuffer->width, 1280);
        EXPECT_EQ(sample.pixelBuffer->height, 720);
    }
}

} // namespace
} // namespace zarvo
