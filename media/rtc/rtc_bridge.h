// RTCBridge: the only user of the RTC engine. It joins the channel the service assigned to a
// session, publishes the camera's pipeline frames, receives the edited remote video and hands
// pictures to the application on the right threads. One instance lives for the whole run.
#pragma once

#include "foundation/json.h"
#include "foundation/loop.h"
#include "foundation/result.h"
#include "foundation/time.h"
#include "media/camera/camera_input.h"
#include "media/picture.h"
#include "media/rtc/rtc_engine.h"
#include "media/session_video.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace zarvo {

// The view that shows the edited picture; the bridge clears it when a session ends.
class PictureView {
public:
    virtual ~PictureView() = default;
    // None clears the view; the view redraws itself.
    virtual void setPicture(PicturePtr picture) = 0;
};

// What the bridge tells the application, on the main thread unless said otherwise.
class RTCBridgeDelegate {
public:
    virtual ~RTCBridgeDelegate() = default;
    // The session's edited picture, to show.
    virtual void editedPictureArrived(const PicturePtr& picture) = 0;
    // The camera's picture as it is sent, to show beside it.
    virtual void localPictureArrived(const PicturePtr& picture) = 0;
    // The engine's thread, under the bridge's frame lock: the edited picture for the system
    // output. Must not call back into the bridge.
    virtual void outputPictureArrived(const PicturePtr& picture) = 0;
    // A status text of the video link for the user.
    virtual void videoStatusChanged(const std::string& text) = 0;
    // Once per join: the connection failed after join() returned (the join result, the engine's
    // later failure report or the camera's error).
    virtual void videoFailed(const Error& error) = 0;
};

class RTCBridge final : public RTCEngineDelegate,
                        public SessionVideo,
                        public std::enable_shared_from_this<RTCBridge> {
public:
    using CameraInputFactory = std::function<std::shared_ptr<CameraInput>()>;

    static constexpr Duration kReleaseReportDelay = std::chrono::seconds(15);
    static constexpr double kLocalPreviewInterval = 0.1;
    static constexpr double kDiagnosticInterval = 2.0;

    // Made shared only: callbacks on other threads hold the bridge weakly. `delegate` outlives
    // the bridge.
    static std::shared_ptr<RTCBridge> create(Loop& loop, std::shared_ptr<RTCEngineFactory> engines,
                                             RTCBridgeDelegate& delegate,
                                             CameraInputFactory cameraInputs = {});
    ~RTCBridge() override;

    // Main thread. `output` is held weakly and re-used to rebuild the engine after each release.
    void install(const std::shared_ptr<PictureView>& output);
    Status<> join(const Json& credentials, const std::string& renderUID) override;
    void stop() override;

    bool resetting() const override { return resetting_; }
    bool resetTimedOut() const { return resetTimedOut_; }
    bool hasEngine() const override { return engine_ != nullptr; }
    void setCameraID(const std::string& cameraID) override { cameraID_ = cameraID; }
    std::string cameraID() const override { return cameraID_; }
    RemoteFrameStats frameStats() const override;
    int64_t connectionGeneration() const { return connectionGeneration_; }
    std::string renderUID() const;

    // Waits up to `bound` until no engine release of any bridge is in flight, so that process exit
    // never runs under a release still tearing media down. False when the bound ran out.
    static bool waitForReleases(Duration bound);
    // The way out of the process: stops the video link and waits up to `bound` for every engine
    // release to end. False when the bound ran out: the program must then end without running its
    // exit handlers (_exit), as those would free state the release still uses.
    [[nodiscard]] bool finishBeforeExit(Duration bound = std::chrono::seconds(5));
    // Waits until the video reports already handed to their writer are on disk.
    static void waitForReports();

    // Push statistics, written on the camera queue.
    int64_t pushed() const { return pushed_; }
    int64_t rejected() const { return rejected_; }
    int32_t lastPushCode() const { return lastPushCode_; }
    // Where "video-<version>.json" is written; the diagnostics folder unless changed.
    std::filesystem::path diagnosticsFolder;

    // Engine callbacks.
    bool onRemoteVideoSample(const std::string& uid, int videoSource,
                             const RTCVideoDataSample& sample) override;
    bool onCaptureVideoSample(int videoSource, const RTCVideoDataSample& sample) override;
    int onGetVideoFormatPreference() override { return 0; }
    void onConnectionFailure(int code) override;

    // A sample as a picture: the pixel buffer if there is one, else the BGRA bytes; none otherwise.
    static PicturePtr makeImage(const RTCVideoDataSample& sample);

private:
    RTCBridge(Loop& loop, std::shared_ptr<RTCEngineFactory> engines, RTCBridgeDelegate& delegate,
              CameraInputFactory cameraInputs);

    enum class Delivery { Local, Remote };
    void pushLocalFrame(const std::shared_ptr<RTCEngine>& engine, const PixelBufferPtr& frame,
                        int64_t timestampMs);
    void recordPush(RTCEngine& engine, int result);
    void writeDiagnostics(double unixTime, const std::optional<RTCLinkReport>& link);
    void queueDelivery(Delivery kind, PicturePtr picture);
    void finishRelease();
    // Main thread: reports a failure of connection `generation` unless it is over or reported.
    void reportFailure(int64_t generation, const Error& error);

    // The loop, for work on other threads that may outlive the bridge: cleared by the destructor.
    struct LoopLink {
        std::mutex mutex;
        Loop* loop = nullptr;
        void post(Task task);
    };
    // What the engine calls: forwards to the bridge while it exists, so an engine still being
    // released never calls into a bridge that is gone.
    struct EngineDelegate;
    // What one join's capture calls: forwards frames to the bridge until the session stops or the
    // bridge goes. The camera thread never owns the bridge, so dropping the last reference always
    // ends it there and then, after any frame in flight, while its loop still exists.
    struct CameraLink;
    // Main thread: no frame of the current capture reaches the bridge once this returns.
    void detachCamera();

    Loop& loop_;
    RTCBridgeDelegate& delegate_;
    std::shared_ptr<LoopLink> loopLink_;
    std::shared_ptr<EngineDelegate> engineDelegate_;
    std::shared_ptr<RTCEngineFactory> engines_;
    CameraInputFactory cameraInputs_;

    // Main thread.
    std::shared_ptr<RTCEngine> engine_;
    bool resetting_ = false;
    bool resetTimedOut_ = false;
    int64_t connectionGeneration_ = 0;
    std::weak_ptr<PictureView> output_;
    bool installedWithoutView_ = false;
    std::string cameraID_;
    std::shared_ptr<CameraInput> cameraInput_;
    std::shared_ptr<CameraLink> cameraLink_;
    TimerHandle releaseCheck_;
    int64_t failureReported_ = 0; // the connection generation whose failure was reported
    // connectionGeneration_ for the engine's threads.
    std::atomic<int64_t> connectionGenerationSeen_{0};

    // Under frameLock_.
    mutable std::mutex frameLock_;
    std::string renderUID_;
    int64_t count_ = 0;
    std::optional<WallTime> first_;
    std::optional<WallTime> last_;
    std::optional<Duration> firstUptime_;
    std::optional<Duration> lastUptime_;
    PicturePtr pendingRemote_;
    PicturePtr pendingLocal_;
    bool remoteScheduled_ = false;
    bool localScheduled_ = false;

    // Camera queue (atomic so diagnostics and tests may read them from elsewhere).
    // Starts in the distant past so the first preview is never held back by the clock's origin.
    std::atomic<double> lastLocalPreview_{-1e300};
    std::atomic<int64_t> pushed_{0};
    std::atomic<int64_t> rejected_{0};
    std::atomic<int32_t> lastPushCode_{0};
    std::atomic<double> lastDiagnostic_{0};
};

} // namespace zarvo
