// App: the one controller of the client. It owns the session and account state that the studio
// page mirrors. The native labels are plain model fields (text, colour, size), so the session
// logic runs and is tested without a display.
#pragma once

#include "foundation/json.h"
#include "foundation/loop.h"
#include "foundation/time.h"
#include "foundation/user_defaults.h"

#include <cstdint>
#include <optional>
#include <string>
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
};

// Held while a session runs so the system stays awake; released through end().
class ActivityToken {
public:
    virtual ~ActivityToken() = default;
};

class App {
public:
    App(Loop& loop, UserDefaults& defaults);
    virtual ~App();
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    Loop& loop() { return loop_; }
    UserDefaults& defaults() { return defaults_; }

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
    std::optional<WallTime> aiStarted;
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

    // The account's bearer credential; account-bound calls are skipped while it is absent.
    std::optional<std::string> credential;

    std::vector<StudioButton> modeButtons;
    TimerHandle stateTimer;
    TimerHandle usageTimer;
    TimerHandle cameraRefreshTimer;

    Label status{"免费本地预览 · 尚未连接 AI"};
    Label sessionBadge{"未开启 AI"};
    Label syncLabel{"积分尚未同步"};
    Label pointsLabel{"—  积分"};
    Label durationLabel{"本次使用 00:00:00"};
    Label liveDuration{"本次运行 00:00"};
    Label outputStatus;
    Label placeholder;
    Label referenceName;

private:
    Loop& loop_;
    UserDefaults& defaults_;
};

} // namespace zarvo
