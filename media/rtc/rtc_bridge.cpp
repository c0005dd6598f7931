#include "media/rtc/rtc_bridge.h"

#include "foundation/atomic_file.h"
#include "foundation/paths.h"
#include "foundation/thread_check.h"
#include "media/camera/camera_frame.h"
#include "media/rtc/ice_servers.h"
#include "version.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <unistd.h>

namespace zarvo {

namespace {

constexpr const char* kEngineReleasing = "视频引擎正在释放，请稍候重试";
constexpr const char* kFrameConfigurationFailed = "视频画幅配置失败";
constexpr const char* kCredentialMissing = "RTC凭证缺失";
constexpr const char* kJoinFailed = "视频入会失败";
constexpr const char* kVideoConnected = "视频已连接，等待 AI 画面";
constexpr const char* kVideoConnectFailed = "视频连接失败：";
constexpr const char* kAIPictureConnected = "AI 画面已连接 · 正在实时编辑";
constexpr const char* kReleaseTimedOut =
    "视频组件释放超时，请在设置中安全重启新版；后台结算不受影响";

// Engine releases without a capture to stop run here, off the main thread; never destroyed, as a
// release may still be queued at exit.
SerialQueue& releaseQueue() {
    static auto* queue = new SerialQueue("zarvo.rtc.release");
    return *queue;
}

// Video reports are written here: the atomic write syncs to disk, which must never hold up the
// camera queue that pushes frames. Never destroyed, as a write may still be queued at exit.
SerialQueue& reportQueue() {
    static auto* queue = new SerialQueue("zarvo.video.report");
    return *queue;
}

// Engine releases in flight in this process; exit waits for them.
struct ReleaseCount {
    std::mutex mutex;
    std::condition_variable changed;
    int inFlight = 0;
};
ReleaseCount& releaseCount() {
    static auto* count = new ReleaseCount;
    return *count;
}

// Leaves the session and lets the engine go, then its factory. May block.
void releaseEngine(std::shared_ptr<RTCEngine>& engine, RTCEngineFactory* engines) {
    if (!engine)
        return;
    engine->unregisterVideoSampleObserver();
    engine->leaveChannel();
    engine.reset();
    if (engines)
        engines->destroy();
}

} // namespace

void RTCBridge::LoopLink::post(Task task) {
    std::lock_guard lock(mutex);
    if (loop)
        loop->post(std::move(task));
}

struct RTCBridge::EngineDelegate final : RTCEngineDelegate {
    std::mutex mutex; // held while a call is forwarded; the bridge's destructor waits on it
    RTCBridge* bridge = nullptr;

    bool onRemoteVideoSample(const std::string& uid, int videoSource,
                             const RTCVideoDataSample& sample) override {
        std::lock_guard lock(mutex);
        return bridge && bridge->onRemoteVideoSample(uid, videoSource, sample);
    }
    bool onCaptureVideoSample(int videoSource, const RTCVideoDataSample& sample) override {
        std::lock_guard lock(mutex);
        return bridge && bridge->onCaptureVideoSample(videoSource, sample);
    }
    int onGetVideoFormatPreference() override {
        std::lock_guard lock(mutex);
        return bridge ? bridge->onGetVideoFormatPreference() : 0;
    }
    void onConnectionFailure(int code) override {
        std::lock_guard lock(mutex);
        if (bridge)
            bridge->onConnectionFailure(code);
    }
};

struct RTCBridge::CameraLink {
    std::mutex mutex; // held while a frame is forwarded; detaching waits on it
    RTCBridge* bridge = nullptr;
    std::weak_ptr<RTCEngine> engine;

    void push(const PixelBufferPtr& frame, int64_t timestampMs) {
        std::lock_guard lock(mutex);
        if (!bridge)
            return;
        if (auto current = engine.lock())
            bridge->pushLocalFrame(current, frame, timestampMs);
    }
};

bool RTCBridge::finishBeforeExit(Duration bound) {
    stop();
    return waitForReleases(bound);
}

void RTCBridge::waitForReports() {
    reportQueue().sync([] {});
}

bool RTCBridge::waitForReleases(Duration bound) {
    ReleaseCount& count = releaseCount();
    std::unique_lock lock(count.mutex);
    return count.changed.wait_for(lock, bound, [&] { return count.inFlight == 0; });
}

std::shared_ptr<RTCBridge> RTCBridge::create(Loop& loop, std::shared_ptr<RTCEngineFactory> engines,
                                             RTCBridgeDelegate& delegate,
                                             CameraInputFactory cameraInputs) {
    if (!cameraInputs)
        cameraInputs = [] { return std::make_shared<CameraInput>(); };
    return std::shared_ptr<RTCBridge>(
        new RTCBridge(loop, std::move(engines), delegate, std::move(cameraInputs)));
}

RTCBridge::RTCBridge(Loop& loop, std::shared_ptr<RTCEngineFactory> engines,
                     RTCBridgeDelegate& delegate, CameraInputFactory cameraInputs)
    : diagnosticsFolder(diagnosticsDirectory()), loop_(loop), delegate_(delegate),
      loopLink_(std::make_shared<LoopLink>()), engineDelegate_(std::make_shared<EngineDelegate>()),
      engines_(std::move(engines)), cameraInputs_(std::move(cameraInputs)) {
    loopLink_->loop = &loop;
    engineDelegate_->bridge = this;
}

RTCBridge::~RTCBridge() {
    // Work still running elsewhere (a release, a join result, a camera error) keeps its links but
    // finds them empty from now on.
    detachCamera();
    {
        std::lock_guard lock(loopLink_->mutex);
        loopLink_->loop = nullptr;
    }
    {
        std::lock_guard lock(engineDelegate_->mutex);
        engineDelegate_->bridge = nullptr;
    }
    releaseEngine(engine_, engines_.get());
}

void RTCBridge::install(const std::shared_ptr<PictureView>& output) {
    ZARVO_DCHECK_ON(loop_);
    output_ = output;
    installedWithoutView_ = !output;
    engine_ = engines_ ? engines_->sharedInstance(engineDelegate_.get()) : nullptr;
    if (!engine_)
        return;
    engine_->publishLocalAudioStream(false);
    engine_->setDefaultSubscribeAllRemoteAudioStreams(false);
    engine_->setDefaultSubscribeAllRemoteVideoStreams(true);
}

Status<> RTCBridge::join(const Json& credentials, const std::string& renderUID) {
    ZARVO_DCHECK_ON(loop_);
    if (resetting_ || !engine_)
        return unexpected(Error{kEngineReleasing, 2});

    const RTCVideoEncoderConfiguration configuration{kPipelineFrameWidth, kPipelineFrameHeight, 25,
                                                     0};
    const int configured = engine_->setVideoEncoderConfiguration(configuration);
    const int external = engine_->setExternalVideoSource(true, 0, 2);
    if (configured != 0 || external != 0)
        return unexpected(Error{kFrameConfigurationFailed, 1});

    std::shared_ptr<CameraInput> input = cameraInputs_();
    if (auto prepared = input->prepare(cameraID_); !prepared)
        return prepared;

    const int64_t generation = ++connectionGeneration_;
    connectionGenerationSeen_ = generation;

    const std::optional<std::string> token = jsonString(credentials, "token");
    if (!token)
        return unexpected(Error{kCredentialMissing, 1});

    {
        std::lock_guard lock(frameLock_);
        renderUID_ = renderUID;
        count_ = 0;
        first_.reset();
        last_.reset();
        firstUptime_.reset();
        lastUptime_.reset();
    }

    engine_->registerVideoSampleObserver();
    engine_->publishLocalVideoStream(true);
    engine_->setIceServers(iceServersOf(credentials));

    const std::optional<std::string> channelID = jsonString(credentials, "channel_id");
    const std::optional<std::string> userID = jsonString(credentials, "user_id");
    std::weak_ptr<RTCBridge> weak = weak_from_this();
    const int requested = engine_->joinChannel(
        *token, channelID, userID, "Zarvo",
        [weak, generation, link = loopLink_](int result, const std::string&, const std::string&,
                                             int) {
            link->post([weak, generation, result] {
                auto bridge = weak.lock();
                if (!bridge || bridge->connectionGeneration_ != generation || bridge->resetting_)
                    return;
                const std::string text = result == 0 ? std::string(kVideoConnected)
                                                     : kVideoConnectFailed + std::to_string(result);
                bridge->delegate_.videoStatusChanged(text);
                if (result != 0)
                    bridge->reportFailure(generation, Error{text, result});
            });
        });
    if (requested != 0)
        return unexpected(Error{kJoinFailed, requested});

    cameraInput_ = input;
    // A camera that breaks during the session ends it like a broken connection.
    input->onError = [weak, generation, link = loopLink_](const Error& error) {
        link->post([weak, generation, error] {
            if (auto bridge = weak.lock())
                bridge->reportFailure(generation, error);
        });
    };
    detachCamera();
    auto link = std::make_shared<CameraLink>();
    link->bridge = this;
    link->engine = engine_;
    cameraLink_ = link;
    input->onFrame = [link](const PixelBufferPtr& frame, int64_t timestampMs) {
        link->push(frame, timestampMs);
    };
    input->start();
    return Ok{};
}

void RTCBridge::detachCamera() {
    if (!cameraLink_)
        return;
    {
        std::lock_guard lock(cameraLink_->mutex);
        cameraLink_->bridge = nullptr;
        cameraLink_->engine.reset();
    }
    cameraLink_.reset();
}

void RTCBridge::pushLocalFrame(const std::shared_ptr<RTCEngine>& engine,
                               const PixelBufferPtr& frame, int64_t timestampMs) {
    RTCVideoDataSample sample;
    sample.pixelBuffer = frame;
    sample.type = 2;
    sample.format = 0;
    sample.width = kPipelineFrameWidth;
    sample.height = kPipelineFrameHeight;
    sample.stride = frame->stride;
    sample.timeStampMs = timestampMs;
    recordPush(*engine, engine->pushExternalVideoFrame(sample, 0));

    const double uptime = toSeconds(loop_.uptime());
    if (uptime - lastLocalPreview_ >= kLocalPreviewInterval) {
        lastLocalPreview_ = uptime;
        if (PicturePtr picture = makeImage(sample))
            queueDelivery(Delivery::Local, std::move(picture));
    }
}

void RTCBridge::recordPush(RTCEngine& engine, int result) {
    if (result == 0)
        ++pushed_;
    else
        ++rejected_;
    lastPushCode_ = result;
    const double now = epochSeconds(loop_.now());
    if (now - lastDiagnostic_ >= kDiagnosticInterval) {
        lastDiagnostic_ = now;
        writeDiagnostics(now, engine.linkReport());
    }
}

void RTCBridge::writeDiagnostics(double unixTime, const std::optional<RTCLinkReport>& link) {
    int64_t count;
    std::optional<WallTime> last;
    {
        std::lock_guard lock(frameLock_);
        count = count_;
        last = last_;
    }
    Json report = Json::object();
    report["updated_at"] = unixTime;
    report["accepted_frames"] = pushed_.load();
    report["rejected_frames"] = rejected_.load();
    report["last_push_code"] = lastPushCode_.load();
    report["remote_frames"] = count;
    if (last)
        report["last_remote_at"] = epochSeconds(*last);
    else
        report["last_remote_at"] = 0;
    report["upload_width"] = kPipelineFrameWidth;
    report["upload_height"] = kPipelineFrameHeight;
    // What a support engineer needs to tell a poor network from a broken client.
    if (link) {
        report["bitrate_kbps"] = link->bitrateKbps;
        report["bitrate_cuts"] = link->bitrateCuts;
        report["loss_percent"] = link->lossPercent;
        report["round_trip_ms"] = link->roundTripMs;
        report["retransmission_requests_received"] = link->retransmissionRequestsReceived;
        report["retransmission_requests_sent"] = link->retransmissionRequestsSent;
        report["key_frame_requests_received"] = link->keyFrameRequestsReceived;
        report["key_frame_requests_sent"] = link->keyFrameRequestsSent;
        report["jitter_ms"] = link->jitterMs;
        report["jitter_buffer_ms"] = link->jitterBufferMs;
    }
    // A failed write only loses a report.
    reportQueue().async([file = diagnosticsFolder / ("video-" + std::string(kVersion) + ".json"),
                         text = report.dump()] { (void)writeFileAtomically(file, text); });
}

bool RTCBridge::onRemoteVideoSample(const std::string& uid, int, const RTCVideoDataSample& sample) {
    {
        std::lock_guard lock(frameLock_);
        if (renderUID_.empty() || uid != renderUID_)
            return false;
    }
    PicturePtr picture = makeImage(sample);
    if (!picture)
        return false;
    bool firstFrame = false;
    {
        std::lock_guard lock(frameLock_);
        // The session may have ended while the picture was made.
        if (renderUID_.empty() || uid != renderUID_)
            return false;
        ++count_;
        last_ = loop_.now();
        lastUptime_ = loop_.uptime();
        if (!first_) {
            first_ = last_;
            firstUptime_ = lastUptime_;
            firstFrame = true;
        }
        delegate_.outputPictureArrived(picture);
    }
    queueDelivery(Delivery::Remote, picture);
    if (firstFrame) {
        loop_.post([weak = weak_from_this()] {
            auto bridge = weak.lock();
            if (!bridge)
                return;
            bool joined;
            {
                std::lock_guard lock(bridge->frameLock_);
                joined = !bridge->renderUID_.empty();
            }
            if (joined)
                bridge->delegate_.videoStatusChanged(kAIPictureConnected);
        });
    }
    return false;
}

bool RTCBridge::onCaptureVideoSample(int, const RTCVideoDataSample&) {
    return false;
}

void RTCBridge::onConnectionFailure(int code) {
    // Engine thread: the connection it means is the current one, unless a stop came in between.
    const int64_t generation = connectionGenerationSeen_;
    loopLink_->post([weak = weak_from_this(), generation, code] {
        auto bridge = weak.lock();
        if (!bridge)
            return;
        const std::string text = kVideoConnectFailed + std::to_string(code);
        if (bridge->connectionGeneration_ == generation && !bridge->resetting_ &&
            bridge->failureReported_ != generation)
            bridge->delegate_.videoStatusChanged(text);
        bridge->reportFailure(generation, Error{text, code});
    });
}

void RTCBridge::reportFailure(int64_t generation, const Error& error) {
    ZARVO_DCHECK_ON(loop_);
    if (generation != connectionGeneration_ || resetting_ || failureReported_ == generation ||
        renderUID().empty())
        return;
    failureReported_ = generation;
    delegate_.videoFailed(error);
}

PicturePtr RTCBridge::makeImage(const RTCVideoDataSample& sample) {
    if (const PixelBufferPtr& buffer = sample.pixelBuffer)
        return Picture::copyBGRA(buffer->width, buffer->height, buffer->stride, buffer->data());
    if (sample.width > 0 && sample.height > 0 && sample.format == 0 && sample.data) {
        const int rowBytes = std::max(sample.width * 4, sample.stride);
        return Picture::copyBGRA(sample.width, sample.height, rowBytes, sample.data);
    }
    return nullptr;
}

void RTCBridge::queueDelivery(Delivery kind, PicturePtr picture) {
    {
        std::lock_guard lock(frameLock_);
        PicturePtr& slot = kind == Delivery::Local ? pendingLocal_ : pendingRemote_;
        bool& scheduled = kind == Delivery::Local ? localScheduled_ : remoteScheduled_;
        slot = std::move(picture);
        if (scheduled)
            return; // the queued delivery will take the newest picture
        scheduled = true;
    }
    loop_.post([weak = weak_from_this(), kind] {
        auto bridge = weak.lock();
        if (!bridge)
            return;
        PicturePtr picture;
        bool joined;
        {
            std::lock_guard lock(bridge->frameLock_);
            PicturePtr& slot =
                kind == Delivery::Local ? bridge->pendingLocal_ : bridge->pendingRemote_;
            picture = std::move(slot);
            slot = nullptr;
            (kind == Delivery::Local ? bridge->localScheduled_ : bridge->remoteScheduled_) = false;
            joined = !bridge->renderUID_.empty();
        }
        if (!joined || !picture)
            return;
        if (kind == Delivery::Local)
            bridge->delegate_.localPictureArrived(picture);
        else
            bridge->delegate_.editedPictureArrived(picture);
    });
}

void RTCBridge::stop() {
    ZARVO_DCHECK_ON(loop_);
    if (resetting_)
        return;
    // Frames the capture hands over before its own stop has run belong to no session.
    detachCamera();
    bool hadSession;
    {
        std::lock_guard lock(frameLock_);
        hadSession = !renderUID_.empty();
        renderUID_.clear();
        pendingRemote_ = nullptr;
        pendingLocal_ = nullptr;
        // The next session's watchdog and stop report must not see this one's frames.
        count_ = 0;
        first_.reset();
        last_.reset();
        firstUptime_.reset();
        lastUptime_.reset();
    }
    const int64_t generation = ++connectionGeneration_;
    connectionGenerationSeen_ = generation;
    if (auto view = output_.lock())
        view->setPicture(nullptr);
    if (!hadSession)
        return;

    resetting_ = true;
    resetTimedOut_ = false;
    std::weak_ptr<RTCBridge> weak = weak_from_this();
    releaseCheck_ = loop_.postDelayed(kReleaseReportDelay, [weak, generation] {
        auto bridge = weak.lock();
        if (!bridge || !bridge->resetting_ || bridge->connectionGeneration_ != generation)
            return;
        bridge->resetTimedOut_ = true;
        bridge->delegate_.videoStatusChanged(kReleaseTimedOut);
    });

    // The release may block, so it never runs here; the bridge is only told when it is done. It
    // owns what it touches: the engine, its factory, the delegate the engine calls and the link
    // to the loop, any of which the bridge may no longer have by the time it runs.
    {
        std::lock_guard lock(releaseCount().mutex);
        ++releaseCount().inFlight;
    }
    auto release = [engine = std::move(engine_), engines = engines_, delegate = engineDelegate_,
                    weak, link = loopLink_]() mutable {
        releaseEngine(engine, engines.get());
        link->post([weak] {
            if (auto bridge = weak.lock())
                bridge->finishRelease();
        });
        engines.reset();
        delegate.reset();
        ReleaseCount& count = releaseCount();
        std::lock_guard lock(count.mutex);
        --count.inFlight;
        count.changed.notify_all();
    };
    engine_ = nullptr;
    if (cameraInput_) {
        std::shared_ptr<CameraInput> input = std::move(cameraInput_);
        cameraInput_ = nullptr;
        input->stop(std::move(release));
    } else {
        releaseQueue().async(std::move(release));
    }
}

void RTCBridge::finishRelease() {
    if (auto view = output_.lock())
        install(view);
    else if (installedWithoutView_)
        install(nullptr);
    resetting_ = false;
    resetTimedOut_ = false;
}

RemoteFrameStats RTCBridge::frameStats() const {
    std::lock_guard lock(frameLock_);
    return {count_, first_, last_, firstUptime_, lastUptime_};
}

std::string RTCBridge::renderUID() const {
    std::lock_guard lock(frameLock_);
    return renderUID_;
}

} // namespace zarvo
