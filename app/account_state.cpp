// Account state: the "client/state" refresh, the usage snapshot and its rendering.
#include "app/app.h"

#include "app/session_presentation.h"
#include "foundation/saturating.h"
#include "foundation/thread_check.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <limits>

namespace zarvo {
namespace {

using namespace SessionPresentation;

std::string timeOfDay(WallTime time) {
    std::time_t t = WallClock::to_time_t(time);
    std::tm local{};
    localtime_r(&t, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

std::string format(const char* pattern, long long a, long long b, long long c = 0) {
    char text[96];
    std::snprintf(text, sizeof text, pattern, a, b, c);
    return text;
}

// A count of points as the window shows it: the service never owes a negative number, so a
// damaged one shows 0 (as on the studio page).
int64_t shownPoints(const Json& snapshot, std::string_view key) {
    return std::max<int64_t>(jsonInteger(snapshot, key, 0), 0);
}

} // namespace

void App::refreshState() {
    ZARVO_DCHECK_ON(loop_);
    if (stateBusy || !credential)
        return;
    stateBusy = true;
    int64_t g = operationGeneration;
    routes.request("client/state", std::nullopt, credential,
                   guarded([this, g](std::optional<Json> json, std::optional<std::string> error) {
                       onStateReply(g, json, error);
                   }));
}

void App::onStateReply(int64_t g, const std::optional<Json>& json,
                       const std::optional<std::string>& error) {
    ZARVO_DCHECK_ON(loop_);
    stateBusy = false;
    if (operationGeneration != g) {
        // The answer describes an older phase; ask again for the current one.
        refreshState();
        return;
    }
    if (error || !json) {
        networkState = "offline";
        std::string text = error && !error->empty() ? *error : "请重试";
        syncLabel.text = "同步失败：" + text + "；显示上次数据";
        if (aiActive)
            sessionBadge.text = "网络异常 · 正在停止并核对";
        return;
    }
    storeUsageSnapshot(*json, g);
    int64_t reserved = jsonInteger(*usageSnapshot, "reserved_points", 0);
    std::string suffix = reserved > 0
                             ? std::string(" · 余额为估算，结束后按确认账单结算")
                             : " · 可用 " +
                                   std::to_string(shownPoints(*usageSnapshot, "available_points")) +
                                   " 积分";
    syncLabel.text = "已同步 " + timeOfDay(usageSyncedAt) + suffix;
}

void App::storeUsageSnapshot(Json reply, int64_t generation) {
    networkState = "online";
    usageSnapshot = std::move(reply);
    usageOperationGeneration = generation;
    usageSyncedAt = loop_.now();
    renderUsage();
}

bool App::usageSnapshotStale() const {
    Duration age = loop_.now() - usageSyncedAt;
    // A snapshot dated in the future means the clock was set back: its age is unknown.
    return age >= seconds(20) || age < Duration(0);
}

void App::startAccountTimers() {
    auto life = life_.watch();
    stateTimer = loop_.repeating(seconds(5.0), [life, this] {
        if (life.alive())
            refreshState();
    });
    usageTimer = loop_.repeating(seconds(1.0), [life, this] {
        if (life.alive())
            renderUsage();
    });
}

void App::renderUsage() {
    if (!usageSnapshot)
        return;
    const Json& snapshot = *usageSnapshot;
    int64_t extra = 0;
    if (jsonBool(snapshot, "session_running", false)) {
        auto since = std::chrono::duration_cast<std::chrono::seconds>(loop_.now() - usageSyncedAt);
        extra = std::clamp<int64_t>(since.count(), 0, 15);
    }
    int64_t elapsed = std::max<int64_t>(
        0, saturatingAdd(jsonInteger(snapshot, "session_elapsed_seconds", 0), extra));
    std::string hms =
        format("%02lld:%02lld:%02lld", elapsed / 3600, elapsed / 60 % 60, elapsed % 60);
    liveDuration.text = format("本次运行 %02lld:%02lld", elapsed / 60, elapsed % 60);

    int64_t reserved = jsonInteger(snapshot, "reserved_points", 0);
    std::string state = upperCased(jsonString(snapshot, "session_state", "IDLE"));

    sessionBadge.text = title(state, aiBusy, aiStopping);
    if (networkState == "offline" || usageSnapshotStale())
        sessionBadge.text = "网络异常 · 状态待同步";
    sessionBadge.color = state == "RUNNING"              ? "green"
                         : state == "RECONCILE_REQUIRED" ? "orange"
                         : aiStopping                    ? "yellow"
                                                         : "accent";

    bool current = usageOperationGeneration == operationGeneration;
    // A start whose "live/start" is unanswered may still create a session on the service, even
    // after a stop voided it: until its answer is in, an empty snapshot proves nothing.
    bool startInProgress = aiBusy || startUnanswered_;
    if (reserved == 0 && !startInProgress && !stopRequestBusy && current)
        aiStopping = false; // the stop has been settled
    if (isIdle(state) && !aiBusy && current && aiActive) {
        clearLiveFrames();
        aiActive = false;
        aiTimer.cancel();
    }

    int64_t available = shownPoints(snapshot, "available_points");
    int64_t held = shownPoints(snapshot, "reserved_points");
    int64_t consumed =
        std::min(saturatingAdd(shownPoints(snapshot, "estimated_consumed_points"), extra), held);
    int64_t shown =
        std::max<int64_t>(0, saturatingSubtract(saturatingAdd(available, held), consumed));
    pointsLabel.text = std::to_string(shown) + "  积分" + (reserved > 0 ? "（预计）" : "");
    pointsLabel.fontSize = reserved > 0 ? 26.0 : 32.0;

    if (reserved > 0)
        durationLabel.text =
            "本次已用 " + hms + "\n预计消耗 " + std::to_string(consumed) + " 积分 · 结束后核对";
    else if (auto bill = jsonInteger(snapshot, "confirmed_bill"))
        durationLabel.text = "本次已结算\n运行 " + hms + " · 实际扣费 " +
                             std::to_string(std::max<int64_t>(*bill, 0)) + " 积分\n剩余 " +
                             std::to_string(available) + " 积分";
    else
        durationLabel.text = "本次使用 00:00:00";
}

} // namespace zarvo
