// App: the one controller of the client. It owns the session and account state that the studio
// page mirrors. The native labels are plain model fields (text, colour, size), so the session
// logic runs and is tested without a display.
#pragma once

#include "app/app_hosts.h"
#include "app/credential_store.h"
#include "foundation/json.h"
#include "foundation/loop.h"
#include "foundation/serial_queue.h"
#include "foundation/time.h"
#include "foundation/user_defaults.h"
#include "foundation/weak_owner.h"
#include "media/session_video.h"
#include "service/route_transport.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zarvo {

// A label the session logic writes; the studio page and the native window read it.
struct Label {
    Label() = default;
    explicit Label(std::string initial) : text(std::move(initial)) {}

    std::string text;
    std::optional<std::string> color; // a named colour ("secondary", "red", ...) when set
    std::optional<double> fontSize;
};

// A mode button: tag 0..3 indexes the editing modes.
struct StudioButton {
    int tag = 0;
    bool selectedMode = false;
    std::string title;
};

// Held while a session runs so the system stays awake; destroying the token ends the activity.
class ActivityToken {
public:
    virtual ~ActivityToken() = default;
};

// Begins the system activity that keeps the machine from idling while frames flow.
class SystemActivity {
public:
    virtual ~SystemActivity() = default;
    // None when the platform refused; the caller tries again at the next start.
    virtual std::unique_ptr<ActivityToken> begin(const std::string& reason) = 0;
};

// Decodes an image and re-encodes it as JPEG at `factor` (0..1). A start encodes its reference on
// the main thread, once, before anything is sent; a live switch encodes on its own queue, so it
// must be thread-safe. None when the bytes are not a decodable image or encoding fails.
using JpegEncoder =
    std::function<std::optional<std::string>(std::string_view image, double factor)>;

// What App is given at construction. Every member is optional: without a video link a start is
// refused, without an output or an activity those steps are skipped.
struct AppWiring {
    SessionVideo* video = nullptr;         // the RTC bridge
    SessionOutput* output = nullptr;       // the virtual camera
    SystemActivity* activity = nullptr;    // the system activity of a running session
    std::optional<std::string> credential; // the account's bearer credential
    // Where the credential is kept between runs (keyring or private file); none keeps nothing.
    std::shared_ptr<CredentialStore> credentialStore;
    Sender sender;          // replaces the network (tests)
    Clock clock;            // the route layer's clock; the loop's by default
    JpegEncoder encodeJpeg; // gdk-pixbuf by default
};

class App {
public:
    App(Loop& loop, UserDefaults& defaults, AppHosts hosts, AppWiring wiring = {});
    virtual ~App();
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    // The user default holding the signed-in account's masked number (not a secret).
    static const char* const kMaskedPhoneKey;

    Loop& loop() { return loop_; }
    UserDefaults& defaults() { return defaults_; }

    void setVideo(SessionVideo* video) { video_ = video; }
    void setOutput(SessionOutput* output) { output_ = output; }
    void setActivity(SystemActivity* activity) { activity_ = activity; }
    SessionVideo* video() const { return video_; }

    // Quit guard. True: terminate now. False: the quit first waits for a start or a stop still in
    // flight, then stops on the service whatever the start created (a stop failing on the route
    // is sent again within its budget); `reply(true)` follows on the main thread.
    bool applicationShouldTerminate(std::function<void(bool)> reply);
    bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
    // Releases the activity, the virtual-camera output, the video link and the timers.
    void applicationWillTerminate();

    // Session start: local checks, then "live/current", then "live/start" and the join. Refused
    // while the update workflow hands over to the installer.
    void startAI();
    // The 3 s session watchdog and poll.
    void pollAI();
    // Stops the billed session and follows the settlement; safe to call repeatedly.
    void stopAI();
    // Tears the live picture down: voids switches, ends the activity, stops bridge and output.
    void clearLiveFrames();
    // The bridge's status texts (its delegate's videoStatusChanged): shown unless a stop is
    // pending.
    void videoStatus(const std::string& text);

    // Live switch of image and mode; `done` runs only when the service accepted it.
    void switchLive(std::string data, int mode, std::function<void()> done);
    // The mode buttons' action; `tag` is the pressed button's tag.
    void selectMode(int tag);
    void modeChanged();

    // Account state: one "client/state" in flight at most; skipped without a credential.
    void refreshState();
    void manualRefresh() { refreshState(); }
    void renderUsage();
    // Stores a "client/state" reply as the snapshot of generation `generation`, then renders.
    void storeUsageSnapshot(Json reply, int64_t generation);
    // The snapshot is 20 s old or older (or dated in the future after a clock change).
    bool usageSnapshotStale() const;
    // stateTimer (refresh every 5 s) and usageTimer (render every 1 s).
    void startAccountTimers();

    // The editing type sent for mode index `mode` (0..3).
    static std::string editingType(int mode);
    // The tag of the selected mode button, 0 when none is selected.
    int selectedModeIndex() const;

    // Session fields; main thread only.
    std::optional<Json> usageSnapshot;
    WallTime usageSyncedAt;
    int64_t usageOperationGeneration = -1;
    bool stateBusy = false;
    int64_t operationGeneration = 0;
    bool stopRequestBusy = false;
    std::string networkState = "unknown";
    bool aiBusy = false;
    bool aiActive = false;
    bool aiStopping = false;
    TimerHandle aiTimer;
    bool aiPollBusy = false;
    int64_t aiPollFailures = 0;
    std::string stopReason;
    std::unique_ptr<ActivityToken> liveActivity;
    bool liveSwitchBusy = false;
    int64_t switchTicket = 0;
    std::optional<WallTime> switchRequestedAt;
    std::string switchNotice;
    std::string lastSwitchError;
    std::optional<std::string> selectedReferenceData;
    std::optional<WallTime> smokeStarted;
    std::optional<std::string> smokeReport;

    // A "live/start" is out and unanswered: whatever it creates must still be stopped.
    bool startUnanswered() const { return startUnanswered_; }
    // A quit is waiting for the service.
    bool quitting() const { return quit_.active; }

    // The account's bearer credential; account-bound calls are skipped while it is absent.
    std::optional<std::string> credential;
    // Reads, writes and erases the kept credential off the main thread; null without a store.
    std::unique_ptr<CredentialKeeper> credentialKeeper;
    // Reads the kept credential and, when none was set meanwhile, takes it and refreshes the
    // account state. Does nothing without a store.
    void loadStoredCredential();

    // A session is starting, running or stopping: whatever would disturb it waits.
    bool sessionBusy() const { return aiActive || aiBusy || aiStopping; }
    // Sign-in. The signed-in account's number as the service masks it ("138****0000"); empty
    // when not known (a configured token).
    std::string maskedPhone;
    // Why the user is signed out, shown with the sign-in; empty at a plain first start.
    std::string signInNotice;
    bool signInBusy = false;
    // Asks the service to send a code to `phone`; `done(error)` on the main thread, none: sent.
    void requestSignInCode(const std::string& phone,
                           std::function<void(std::optional<std::string> error)> done);
    // Signs in with the code; on success the credential is stored and the account refreshed.
    // Refused while a session is unsettled (a change of account).
    void signIn(const std::string& phone, const std::string& code,
                std::function<void(std::optional<std::string> error)> done);
    // Signs out here at once and revokes the token on the service. Refused, with the reason,
    // while a session is running, stopping or not yet settled.
    std::optional<std::string> signOut();
    // A session is running, stopping or not yet settled: the account must not change now.
    bool sessionUnsettled() const;
    // The service answered 401 to a call carrying `token`: when it is the current credential,
    // the signed-in state ends (once), and a live session's video stops at once.
    void credentialRefused(const std::string& token);

    RouteTransport routes;

    std::vector<StudioButton> modeButtons;
    TimerHandle stateTimer;
    TimerHandle usageTimer;

    Label status{"免费本地预览 · 尚未连接 AI"};
    Label sessionBadge{"未开启 AI"};
    Label syncLabel{"积分尚未同步"};
    Label pointsLabel{"—  积分"};
    Label durationLabel{"本次使用 00:00:00"};
    Label liveDuration{"本次运行 00:00"};
    Label outputStatus;
    Label placeholder;
    Label referenceName;

    // Serial work queue for camera work; the join after a start hops through it.
    SerialQueue queue{"camera.capture"};

private:
    struct EncodedImage {
        size_t jpegBytes = 0;
        std::string imageURL; // "data:image/jpeg;base64,…"; empty when over the limit
    };

    // Wraps a completion so it does nothing once App is gone.
    RequestDone guarded(std::function<void(std::optional<Json>, std::optional<std::string>)> f);
    void beginVerifiedAI();
    void onStartCheck(int64_t generation, const std::optional<Json>& json,
                      const std::optional<std::string>& error);
    void onStarted(int64_t generation, const std::optional<Json>& json,
                   const std::optional<std::string>& error, const RequestTrace& trace);
    void onLateStart(const std::optional<Json>& json, const std::optional<std::string>& error,
                     const RequestTrace& trace);
    void onStopAnswered(int64_t generation, const std::string& prefix, bool confirmed);
    // Moves a quit on once nothing it waits for is in flight; sends its stop, then replies.
    void advanceQuit();
    void finishQuit();
    void joinSession(int64_t generation, const Json& credentials, const std::string& renderUID);
    void onPolled(int64_t generation, const std::optional<Json>& json,
                  const std::optional<std::string>& error);
    void onStateReply(int64_t generation, const std::optional<Json>& json,
                      const std::optional<std::string>& error);
    void onSwitchEncoded(int64_t ticket, int64_t generation, int mode,
                         std::optional<EncodedImage> image, std::function<void()> done);
    void chooseModeButton(int tag);
    void writeStopReport(const RemoteFrameStats& stats);
    void writeSmokeReport(const Json& record);
    // Keeps (or with none, erases) the credential in the store the next start reads; nothing
    // without a store (the environment's or a development deployment's token).
    void storeCredential(std::optional<std::string> token);
    void enterSignedOut(const std::string& notice);

    // Session bookkeeping beyond the visible flags.
    bool startUnanswered_ = false;
    std::shared_ptr<RequestTrace> stopTrace_; // of the stop in flight: has it gone out yet
    bool stopAgain_ = false;       // a session appeared that the stop in flight may have missed
    bool stopUnconfirmed_ = false; // the last stop failed; a quit must not trust it
    int64_t pollSerial_ = 0;       // the poll in flight, whatever the generation
    std::optional<Duration> aiStartedUptime_;
    std::optional<Duration> switchRequestedUptime_;
    struct QuitGuard {
        bool active = false;
        std::function<void(bool)> reply;
        bool stopNeeded = false;    // a stop is owed to the service before exit
        bool stopInFlight = false;  // the quit's own stop
        bool stopAgain = false;     // a session appeared after the quit's stop went out
        bool startWaitOver = false; // the start's answer took longer than the guard waits
        TimerHandle startWait;
    };
    QuitGuard quit_;

    Loop& loop_;
    UserDefaults& defaults_;
    AppHosts hosts_;
    SessionVideo* video_;
    SessionOutput* output_;
    SystemActivity* activity_;
    JpegEncoder encodeJpeg_;
    // Re-encodes switch images off the main thread.
    SerialQueue switchQueue_{"zarvo.switch.encode"};

    WeakOwner life_; // last, so that callbacks see the App gone before anything of it goes
};

} // namespace zarvo
