#include "studio/studio_state.h"

#include "foundation/saturating.h"

#include <algorithm>
#include <limits>

namespace zarvo {
namespace {

int64_t integer(const Json& u, std::string_view key) {
    return jsonInteger(u, key, 0);
}
// A point count as shown: the service never owes a negative number, so a damaged one shows 0.
int64_t points(const Json& u, std::string_view key) {
    return std::max<int64_t>(integer(u, key), 0);
}
bool boolean(const Json& u, std::string_view key) {
    return jsonBool(u, key, false);
}

// The member unchanged, or the integer 0 when it is missing. A negative count is no balance the
// service can mean, and shows as 0.
Json asReceived(const Json& u, std::string_view key) {
    const Json* member = jsonMember(u, key);
    if (!member)
        return Json(0);
    if (member->is_number() && !(member->get<double>() >= 0))
        return Json(0);
    return *member;
}

const Json& emptyObject() {
    static const Json empty = Json::object();
    return empty;
}

} // namespace

int64_t syncAgeSeconds(WallTime syncedAt, WallTime now) {
    auto age = std::chrono::duration_cast<std::chrono::seconds>(now - syncedAt).count();
    return std::max<int64_t>(age, 0);
}

std::string remainingText(int64_t r) {
    int64_t m = r / 60;
    return "预计可用 " + std::to_string(m) + " 分 " + std::to_string(r - 60 * m) + " 秒";
}

std::string billingProtectionText(const Json& u) {
    int64_t r = integer(u, "estimated_remaining_points");
    if (r < 10)
        return "至少 10 积分启动 · 剩余积分保留";
    int64_t w = jsonInteger(u, "safe_start_seconds").value_or(std::max<int64_t>(r - 10, 0));
    return "本次启动窗口约 " + std::to_string(w) + " 秒（含连接准备）· 未消费积分退回";
}

std::string startDisabledReason(const StudioStateInputs& in, int64_t syncAge) {
    if (!in.usage)
        return "等待积分同步";
    if (syncAge > 19 || in.networkState != "online")
        return "连接已过期，请刷新积分";
    if (in.sessionBusy)
        return "请先结束当前会话";
    if (in.bridgeResetting || !in.bridgeHasEngine)
        return in.bridgeResetTimedOut ? "视频组件释放超时，请到设置中安全重启新版"
                                      : "正在释放上次视频连接，请稍候";
    if (!in.hasReferenceData)
        return "请选择参考图";
    // The same figure App::startAI checks: points still held for an earlier session are not
    // spendable, so a button that counted them would offer a start the App then refuses.
    int64_t threshold = jsonInteger(*in.usage, "min_start_points").value_or(10);
    if (integer(*in.usage, "available_points") < threshold)
        return "至少需要 10 积分开启 AI，剩余积分保留";
    return "";
}

std::optional<PointsProjection> projectPoints(const Json& u, WallTime syncedAt, WallTime now) {
    int64_t reserved = integer(u, "reserved_points");
    if (reserved <= 0)
        return std::nullopt;
    // A reply with a negative count is damaged; no split is projected from it.
    for (const char* key :
         {"estimated_consumed_points", "reserved_gift_points", "reserved_paid_points",
          "available_points", "available_paid_points", "available_gift_points"})
        if (integer(u, key) < 0)
            return std::nullopt;
    int64_t extra = 0;
    if (boolean(u, "session_running")) {
        auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(now - syncedAt).count();
        if (now >= syncedAt)
            extra = std::min<int64_t>(elapsed, 15);
    }
    PointsProjection p;
    p.consumed = std::min(saturatingAdd(integer(u, "estimated_consumed_points"), extra), reserved);
    p.consumedGift = std::min(integer(u, "reserved_gift_points"), p.consumed);
    p.consumedPaid = saturatingSubtract(p.consumed, p.consumedGift);
    // A reservation whose paid part is smaller than what was spent of it shows 0, not a debt.
    p.paid = std::max<int64_t>(saturatingSubtract(saturatingAdd(integer(u, "available_paid_points"),
                                                                integer(u, "reserved_paid_points")),
                                                  p.consumedPaid),
                               0);
    p.gift = std::max<int64_t>(saturatingSubtract(saturatingAdd(integer(u, "available_gift_points"),
                                                                integer(u, "reserved_gift_points")),
                                                  p.consumedGift),
                               0);
    int64_t left = std::max<int64_t>(
        saturatingSubtract(saturatingAdd(integer(u, "available_points"), reserved), p.consumed), 0);
    p.remaining =
        "预计可用 " + std::to_string(left / 60) + " 分 " + std::to_string(left % 60) + " 秒";
    return p;
}

Json buildStudioState(const StudioStateInputs& in) {
    const Json& u = in.usage ? *in.usage : emptyObject();
    bool busy = in.sessionBusy;
    Json s = Json::object();

    s["active"] = busy;
    s["duration"] = in.liveDuration;
    s["state"] = in.sessionBadge;
    s["estimate"] = points(u, "estimated_consumed_points");
    s["remaining"] = remainingText(points(u, "estimated_remaining_points"));
    s["mode"] = in.mode;
    s["cameras"] = in.cameras ? Json(*in.cameras) : Json::array();
    s["camera"] = in.camera;
    s["mirror"] = in.mirror;
    s["points"] = in.pointsLabel;
    s["status"] = in.status;
    s["sync"] = in.syncLabel;
    s["reference"] = in.referenceName;

    int64_t syncAge = syncAgeSeconds(in.usageSyncedAt, in.now);
    bool online = in.usage && syncAge <= 19 && in.networkState == "online";
    s["networkState"] = in.networkState;
    const Json* sessionState = jsonMember(u, "session_state");
    s["sessionState"] = sessionState ? *sessionState : Json("IDLE");
    s["hasSession"] = !jsonString(u, "session_id", "").empty();
    s["presets"] = in.presets ? *in.presets : Json::array();
    s["billConfirmed"] = boolean(u, "bill_confirmed");
    s["hasUsage"] = in.usage != nullptr;
    s["syncAge"] = syncAge;
    s["online"] = online;

    std::string reason = startDisabledReason(in, syncAge);
    s["billingProtection"] = billingProtectionText(u);
    s["switchNotice"] = in.switchNotice;
    s["resetTimedOut"] = in.bridgeResetTimedOut;
    s["canStart"] = reason.empty();
    s["startDisabledReason"] = std::move(reason);
    s["networkStale"] = syncAge >= 20;

    if (in.gallery) {
        s["gallery"] = *in.gallery;
        s["galleryRevision"] = in.galleryRevision;
    }
    s["selectedReference"] = in.selectedReference;

    s["paid"] = asReceived(u, "estimated_remaining_paid_points");
    s["gift"] = asReceived(u, "estimated_remaining_gift_points");
    s["consumedPaid"] = asReceived(u, "estimated_consumed_paid_points");
    s["consumedGift"] = asReceived(u, "estimated_consumed_gift_points");
    if (boolean(u, "bill_confirmed")) {
        s["consumedPaid"] = asReceived(u, "actual_consumed_paid_points");
        s["consumedGift"] = asReceived(u, "actual_consumed_gift_points");
    }
    s["estimated"] = integer(u, "reserved_points") > 0;
    if (auto p = projectPoints(u, in.usageSyncedAt, in.now)) {
        s["estimate"] = p->consumed;
        s["consumedPaid"] = p->consumedPaid;
        s["consumedGift"] = p->consumedGift;
        s["paid"] = p->paid;
        s["gift"] = p->gift;
        s["remaining"] = std::move(p->remaining);
    }

    // The number the points label shows, so that the page never reads it back out of the text:
    // what is spendable now, projected like the label between two replies; none before the first.
    s["pointsValue"] = nullptr;
    if (in.usage) {
        int64_t reserved = integer(u, "reserved_points");
        auto p = projectPoints(u, in.usageSyncedAt, in.now);
        int64_t consumed =
            p ? p->consumed : std::min<int64_t>(integer(u, "estimated_consumed_points"), reserved);
        s["pointsValue"] = std::max<int64_t>(
            saturatingSubtract(saturatingAdd(integer(u, "available_points"), reserved), consumed),
            0);
    }

    s["update"] = in.update ? *in.update : Json::object();
    s["routes"] = in.routes ? *in.routes : Json::object();
    s["credentialInKeyring"] = in.credentialInKeyring;
    s["credentialStorageText"] = in.credentialStorageText;
    s["account"] = Json{{"signedIn", in.signedIn},
                        {"maskedPhone", in.maskedPhone},
                        {"notice", in.signInNotice},
                        {"locked", in.accountLocked}};
    return s;
}

} // namespace zarvo
