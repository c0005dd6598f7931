// The billed session: start (local checks, "live/current", "live/start", join), the 3 s watchdog
// and poll, stop and settlement, and the live switch.
#include "app/app.h"

#include "app/session_presentation.h"
#include "foundation/encoding.h"
#include "foundation/thread_check.h"

#include <utility>

namespace zarvo {
namespace {

constexpr size_t kMaxSwitchJpegBytes = 10'485'760;
const char* const kActivityReason = "实时 AI 视频与虚拟摄像头输出";
const char* const kInstallingRefusal = "正在安装更新，暂不能开启 AI";
const char* const kSwitchFailedLater = "切换失败 · 选中图不代表已生效，请以输出画面为准";

using namespace SessionPresentation;

Json epochOrNull(const std::optional<WallTime>& time) {
    return time ? Json(epochSeconds(*time)) : Json(nullptr);
}

// Only used to recognise a repeated switch error, never shown.
std::string keyText(const Json* value) {
    if (!value)
        return "\x1f-";
    if (value->is_string())
        return value->get<std::string>();
    return value->dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace

void App::startAI() {
    ZARVO_DCHECK_ON(loop_);
    if (sessionBusy() || quit_.active)
        return;
    // The install step may already have found the account idle: a session now would be cut by
    // the quit that follows it.
    if (hosts_.update.installing()) {
        status.text = kInstallingRefusal;
        return;
    }
    if (!video_ || video_->resetting() || !video_->hasEngine()) {
        status.text = "正在释放上次视频连接，请稍候，无需退出程序";
        return;
    }
    if (!usageSnapshot || networkState != "online" || usageSnapshotStale()) {
        status.text = "请先同步积分并确认网络连接后再开启 AI";
        refreshState();
        return;
    }
    if (!canStart(jsonString(*usageSnapshot, "session_state", "IDLE"))) {
        status.text = "上次会话正在停止或结算，请等待完成";
        return;
    }
    int64_t available = jsonInteger(*usageSnapshot, "available_points", 0);
    int64_t minimum = jsonInteger(*usageSnapshot, "min_start_points", 10);
    if (available < minimum) {
        status.text = "至少需要 10 积分开启 AI，剩余积分保留";
        return;
    }
    if (!selectedReferenceData) {
        status.text = "请选择有效的参考图片";
        return;
    }
    if (!credential)
        return;
    int64_t g = ++operationGeneration;
    aiBusy = true;
    // A stop pressed during this start is a user's stop, not the last run's watchdog.
    stopReason.clear();
    sessionBadge.text = "正在核对上次会话";
    status.text = "正在核对上次会话…";
    routes.request("live/current", std::nullopt, credential,
                   guarded([this, g](std::optional<Json> json, std::optional<std::string> error) {
                       onStartCheck(g, json, error);
                   }));
}

void App::onStartCheck(int64_t g, const std::optional<Json>& json,
                       const std::optional<std::string>& error) {
    ZARVO_DCHECK_ON(loop_);
    if (operationGeneration != g)
        return;
    aiBusy = false;
    if (error || !json) {
        status.text = "无法核对上次会话，请恢复网络后重试；不会重复开启";
        return;
    }
    // A reply without a state is not proof that no session is alive.
    if (canStart(jsonString(*json, "state", ""))) {
        beginVerifiedAI();
    } else {
        status.text = "上次会话尚未结束，请点击停止 AI 后等待结算";
        refreshState();
    }
}

void App::beginVerifiedAI() {
    ZARVO_DCHECK_ON(loop_);
    writeSmokeReport({{"stage", "start_guard"},
                      {"has_token", credential.has_value()},
                      {"image_bytes", selectedReferenceData ? selectedReferenceData->size() : 0},
                      {"busy", aiBusy},
                      {"active", aiActive}});
    if (hosts_.update.installing()) {
        status.text = kInstallingRefusal;
        return;
    }
    if (aiBusy || aiActive || !credential || quit_.active)
        return;
    std::optional<std::string> jpeg;
    if (selectedReferenceData)
        jpeg = encodeJpeg_(*selectedReferenceData, 0.9);
    if (!jpeg) {
        status.text = "请选择有效的参考图片";
        return;
    }
    int64_t g = operationGeneration;
    aiPollBusy = false;
    aiPollFailures = 0;
    if (!liveActivity && activity_)
        liveActivity = activity_->begin(kActivityReason);
    stopReason.clear();
    aiStopping = false;
    aiBusy = true;
    sessionBadge.text = "正在连接 AI";
    aiTimer = loop_.repeating(seconds(3.0), [life = life_.watch(), this] {
        if (life.alive())
            pollAI();
    });
    status.text = "正在创建 AI 会话，请稍候…";
    Json body = {{"idempotency_key", randomUuid()},
                 {"editing_type", editingType(selectedModeIndex())},
                 {"image_url", "data:image/jpeg;base64," + base64Encode(*jpeg)}};
    startUnanswered_ = true;
    auto trace = std::make_shared<RequestTrace>();
    routes.request(
        "live/start", std::move(body), credential,
        guarded([this, g, trace](std::optional<Json> json, std::optional<std::string> error) {
            onStarted(g, json, error, *trace);
        }),
        RequestOptions{false, trace});
}

void App::onStarted(int64_t g, const std::optional<Json>& json,
                    const std::optional<std::string>& error, const RequestTrace& trace) {
    ZARVO_DCHECK_ON(loop_);
    startUnanswered_ = false;
    if (operationGeneration != g) {
        // A stop or a quit came first; the session the service may have created is still ours.
        onLateStart(json, error, trace);
        return;
    }
    aiBusy = false;
    const Json* rtc = json ? jsonMember(*json, "rtc") : nullptr;
    std::optional<std::string> renderUID = json ? jsonString(*json, "render_uid") : std::nullopt;
    if (!rtc || !rtc->is_object() || !renderUID) {
        // The stop below rewrites the status line; carrying the message as the stop's reason
        // keeps it in front of the user and in the stop report.
        std::string message = friendlyError(error ? *error : "会话尚未就绪，请停止后重试");
        status.text = message;
        sessionBadge.text = "连接未完成 · 请核对会话";
        stopReason = message;
        stopAI();
        return;
    }
    int64_t g2 = ++operationGeneration;
    aiPollBusy = false;
    usageOperationGeneration = -1;
    hosts_.window.showAIOutput();
    aiActive = true;
    aiStartedUptime_ = loop_.uptime();
    refreshState();
    hosts_.camera.stopPreview();
    status.text = "正在连接 AI 输出…";
    // Through the camera queue so the join runs after the preview's camera work already queued.
    queue.async([life = life_.watch(), &loop = loop_, this, g2, credentials = *rtc,
                 uid = *renderUID]() mutable {
        loop.post([life, this, g2, credentials = std::move(credentials), uid = std::move(uid)] {
            if (life.alive())
                joinSession(g2, credentials, uid);
        });
    });
}

void App::onLateStart(const std::optional<Json>& json, const std::optional<std::string>& error,
                      const RequestTrace& trace) {
    ZARVO_DCHECK_ON(loop_);
    // A reply object means a session exists; a failure on the route may hide one. Only a refusal
    // or a start that never went out leaves nothing to stop.
    bool mayHaveSession = json || (error && trace.attempts > 0 && !trace.answered);
    // A stop still waiting to go out reaches the service after this session exists.
    bool pendingStopWillReach = stopRequestBusy && stopTrace_ && stopTrace_->attempts == 0;
    if (quit_.active) {
        if (mayHaveSession && !pendingStopWillReach) {
            if (quit_.stopInFlight)
                quit_.stopAgain = true;
            else
                quit_.stopNeeded = true;
        }
        advanceQuit();
        return;
    }
    if (!mayHaveSession) {
        renderUsage(); // settlement may have waited for this answer
        return;
    }
    if (stopRequestBusy) {
        if (!pendingStopWillReach)
            stopAgain_ = true;
        return;
    }
    stopAI();
}

void App::joinSession(int64_t g2, const Json& credentials, const std::string& renderUID) {
    ZARVO_DCHECK_ON(loop_);
    if (operationGeneration != g2 || aiStopping)
        return;
    Status<> joined = unexpected(Error{"请重新选择摄像头", 1});
    auto camera = hosts_.camera.selectedCameraID();
    if (!video_) {
        joined = unexpected(Error{"视频引擎正在释放，请稍候重试", 2});
    } else if (camera) {
        video_->setCameraID(*camera);
        joined = video_->join(credentials, renderUID);
    }
    if (!joined) {
        std::string message = "视频连接失败：" + joined.error().message;
        status.text = message;
        stopReason = message;
        stopAI();
    }
}

void App::pollAI() {
    ZARVO_DCHECK_ON(loop_);
    RemoteFrameStats stats = video_ ? video_->frameStats() : RemoteFrameStats{};
    if (smokeReport)
        writeSmokeReport({{"frame_count", stats.count},
                          {"first_frame", epochOrNull(stats.first)},
                          {"last_frame", epochOrNull(stats.last)},
                          {"status", status.text}});
    Duration uptime = loop_.uptime();
    if (aiActive && aiStartedUptime_) {
        bool noFirst = !stats.firstUptime;
        bool switchRecent =
            switchRequestedUptime_ && uptime - *switchRequestedUptime_ < seconds(30);
        Duration reference = stats.lastUptime ? *stats.lastUptime : *aiStartedUptime_;
        Duration elapsed = uptime - reference;
        if (noFirst || switchRecent) {
            if (elapsed > seconds(30)) {
                stopReason = noFirst ? "AI 首帧连接超时" : "切换后长时间未收到画面";
                stopAI();
                return;
            }
        } else if (elapsed > seconds(15)) {
            stopReason = "视频断流超过 15 秒";
            stopAI();
            return;
        }
        if (elapsed > seconds(5))
            status.text = noFirst        ? "正在等待 AI 首帧，后台计费保护仍生效"
                          : switchRecent ? "正在等待切换画面，会话持续计费"
                                         : "视频暂时中断，正在等待恢复";
    }
    WallTime now = loop_.now();
    if (smokeStarted &&
        (now - *smokeStarted > seconds(45) || (stats.first && now - *stats.first >= seconds(10)))) {
        if (smokeReport)
            hosts_.window.renderWindowPNG(*smokeReport + ".png");
        stopAI();
        return;
    }
    if (!aiPollBusy && credential) {
        aiPollBusy = true;
        int64_t g = operationGeneration;
        int64_t serial = ++pollSerial_;
        routes.request(
            "live/current", std::nullopt, credential,
            guarded([this, g, serial](std::optional<Json> json, std::optional<std::string> error) {
                // The flag belongs to this poll whatever happened since; only a newer
                // poll owns it.
                if (serial == pollSerial_)
                    aiPollBusy = false;
                onPolled(g, json, error);
            }));
    }
}

void App::onPolled(int64_t g, const std::optional<Json>& json,
                   const std::optional<std::string>& error) {
    ZARVO_DCHECK_ON(loop_);
    if (operationGeneration != g)
        return;
    if (aiBusy)
        return;
    if (error) {
        if (++aiPollFailures >= 3) {
            stopReason = "连续三次无法确认服务端会话状态，已触发停止保护";
            stopAI();
        }
        return;
    }
    aiPollFailures = 0;
    if (!json)
        return;
    if (const Json* switchError = jsonMember(*json, "switch_error");
        switchError && switchError->is_object()) {
        std::string key = keyText(jsonMember(*json, "session_id")) +
                          keyText(jsonMember(*switchError, "seq_id")) +
                          keyText(jsonMember(*switchError, "error_code"));
        if (key != lastSwitchError) {
            lastSwitchError = key;
            switchNotice = kSwitchFailedLater;
            status.text = kSwitchFailedLater;
        }
    }
    std::string state = upperCased(jsonString(*json, "state", ""));
    if (isWindingDown(state)) {
        clearLiveFrames();
        aiActive = false;
        status.text = "会话正在停止或核对，请稍候";
    } else if (isFinished(state)) {
        clearLiveFrames();
        aiActive = false;
        aiTimer.cancel();
        status.text = "AI 会话已结束";
    }
}

void App::stopAI() {
    ZARVO_DCHECK_ON(loop_);
    // A quit in progress owns the stop of everything it found.
    if (!credential || stopRequestBusy || quit_.active)
        return;
    stopRequestBusy = true;
    int64_t g = ++operationGeneration;
    aiStopping = true;
    aiTimer.cancel();
    sessionBadge.text = "正在停止";
    aiActive = false;
    aiBusy = false;
    aiPollBusy = false;
    writeStopReport(video_ ? video_->frameStats() : RemoteFrameStats{});
    clearLiveFrames();
    std::string prefix = stopReason.empty() ? std::string() : stopReason + " · ";
    status.text = prefix + "正在停止 AI 会话并核对积分…";
    stopAgain_ = false;
    stopTrace_ = std::make_shared<RequestTrace>();
    routes.request(
        "live/stop", Json::object(), credential,
        guarded([this, g, prefix](std::optional<Json> json, std::optional<std::string> error) {
            onStopAnswered(g, prefix, !error && json);
        }),
        RequestOptions{false, stopTrace_});
}

void App::onStopAnswered(int64_t g, const std::string& prefix, bool confirmed) {
    ZARVO_DCHECK_ON(loop_);
    // Only a quit raises the generation while a stop is in flight; clearing the flag regardless
    // keeps a stray raise from locking stop forever.
    stopRequestBusy = false;
    stopTrace_.reset();
    stopUnconfirmed_ = !confirmed;
    bool again = std::exchange(stopAgain_, false);
    if (quit_.active) {
        if (again || !confirmed)
            quit_.stopNeeded = true;
        advanceQuit();
        return;
    }
    if (operationGeneration != g)
        return;
    aiActive = false;
    aiBusy = false;
    status.text = prefix + (confirmed ? "AI 已请求停止，积分以服务端确认结果为准"
                                      : "停止请求未确认；后台将在心跳超时后尝试停止，"
                                        "请恢复网络后重试停止并核对账单");
    refreshState();
    // The session a late start created may have reached the service after this stop.
    if (again)
        stopAI();
}

void App::switchLive(std::string data, int mode, std::function<void()> done) {
    ZARVO_DCHECK_ON(loop_);
    if (!aiActive || aiBusy || aiStopping || liveSwitchBusy || !credential) {
        status.text = "请等待当前连接或切换完成";
        return;
    }
    if (mode < 0 || mode > 3)
        return;
    int64_t ticket = ++switchTicket;
    int64_t g = operationGeneration;
    liveSwitchBusy = true;
    switchNotice = "正在处理参考图…";
    switchQueue_.async([encoder = encodeJpeg_, data = std::move(data), &loop = loop_,
                        life = life_.watch(), this, ticket, g, mode,
                        done = std::move(done)]() mutable {
        std::optional<EncodedImage> image;
        if (auto jpeg = encoder(data, 0.85)) {
            image = EncodedImage{jpeg->size(), {}};
            // Larger images are refused on the main thread; no point encoding them.
            if (jpeg->size() <= kMaxSwitchJpegBytes)
                image->imageURL = "data:image/jpeg;base64," + base64Encode(*jpeg);
        }
        loop.post([life, this, ticket, g, mode, image = std::move(image),
                   done = std::move(done)]() mutable {
            if (life.alive())
                onSwitchEncoded(ticket, g, mode, std::move(image), std::move(done));
        });
    });
}

void App::onSwitchEncoded(int64_t ticket, int64_t g, int mode, std::optional<EncodedImage> image,
                          std::function<void()> done) {
    ZARVO_DCHECK_ON(loop_);
    if (switchTicket != ticket)
        return;
    if (operationGeneration != g || !aiActive || aiStopping) {
        liveSwitchBusy = false;
        return;
    }
    if (!image || image->jpegBytes > kMaxSwitchJpegBytes) {
        liveSwitchBusy = false;
        switchNotice = "图片过大或无效，请使用 10 MB 以内图片";
        return;
    }
    switchRequestedAt = loop_.now();
    switchRequestedUptime_ = loop_.uptime();
    switchNotice = "切换发送中 · 会话持续计费";
    Json body = {{"idempotency_key", randomUuid()},
                 {"editing_type", editingType(mode)},
                 {"image_url", std::move(image->imageURL)}};
    routes.request("live/switch", std::move(body), credential,
                   guarded([this, ticket, g, done = std::move(done)](
                               std::optional<Json> json, std::optional<std::string> error) {
                       if (switchTicket != ticket)
                           return;
                       liveSwitchBusy = false;
                       if (operationGeneration != g || !aiActive || aiStopping)
                           return;
                       if (!error && json && jsonString(*json, "status", "") == "submitted") {
                           if (done)
                               done();
                           switchNotice = "已请求切换 · 请以 AI 画面为准";
                       } else {
                           switchNotice = error ? *error : "切换结果未确认，可观察画面后手动重试";
                       }
                       status.text = switchNotice;
                   }));
}

} // namespace zarvo
