// The state object as a pure function of the application's state.
#include "studio/studio_state.h"

#include <gtest/gtest.h>

namespace zarvo {
namespace {

const WallTime kNow = WallTime(std::chrono::seconds(1'800'000'000));

class StudioStateTest : public ::testing::Test {
protected:
    StudioStateTest() {
        in.now = kNow;
        in.usageSyncedAt = kNow - std::chrono::seconds(3);
        in.networkState = "online";
        in.hasReferenceData = true;
    }
    Json build(std::optional<Json> u) {
        usage = std::move(u);
        in.usage = usage ? &*usage : nullptr;
        return buildStudioState(in);
    }

    StudioStateInputs in;
    std::optional<Json> usage;
};

TEST_F(StudioStateTest, BeforeTheFirstAccountReplyNothingMayStart) {
    in.usageSyncedAt = WallTime{};
    Json s = build(std::nullopt);
    EXPECT_FALSE(s["hasUsage"].get<bool>());
    EXPECT_FALSE(s["online"].get<bool>());
    EXPECT_FALSE(s["canStart"].get<bool>());
    EXPECT_EQ(s["startDisabledReason"], "等待积分同步");
    EXPECT_EQ(s["remaining"], "预计可用 0 分 0 秒");
    EXPECT_EQ(s["billingProtection"], "至少 10 积分启动 · 剩余积分保留");
    EXPECT_EQ(s["sessionState"], "IDLE");
    EXPECT_EQ(s["paid"], 0);
    EXPECT_EQ(s["estimate"], 0);
    EXPECT_FALSE(s["estimated"].get<bool>());
    EXPECT_FALSE(s.contains("gallery"));
    EXPECT_EQ(s["camera"], -1);
    EXPECT_TRUE(s["pointsValue"].is_null()) << "no number before the first reply";
}

TEST_F(StudioStateTest, TheAccountIsOnlineUpToNineteenSecondsAfterTheReply) {
    Json u = {{"available_points", 100}};
    in.usageSyncedAt = kNow - std::chrono::milliseconds(19'999);
    Json s = build(u);
    EXPECT_EQ(s["syncAge"], 19);
    EXPECT_TRUE(s["online"].get<bool>());
    EXPECT_FALSE(s["networkStale"].get<bool>());
    EXPECT_TRUE(s["canStart"].get<bool>());

    in.usageSyncedAt = kNow - std::chrono::seconds(20);
    s = build(u);
    EXPECT_FALSE(s["online"].get<bool>());
    EXPECT_TRUE(s["networkStale"].get<bool>());
    EXPECT_EQ(s["startDisabledReason"], "连接已过期，请刷新积分");

    in.usageSyncedAt = kNow + std::chrono::seconds(30); // a clock set back
    EXPECT_EQ(build(u)["syncAge"], 0);

    in.usageSyncedAt = kNow;
    in.networkState = "offline";
    EXPECT_EQ(build(u)["startDisabledReason"], "连接已过期，请刷新积分");
}

TEST_F(StudioStateTest, StartReasonsComeInTheirOrder) {
    Json u = {{"available_points", 3}};
    in.sessionBusy = true;
    in.bridgeResetting = true;
    in.hasReferenceData = false;
    EXPECT_EQ(build(u)["startDisabledReason"], "请先结束当前会话");
    in.sessionBusy = false;
    EXPECT_EQ(build(u)["startDisabledReason"], "正在释放上次视频连接，请稍候");
    in.bridgeResetTimedOut = true;
    EXPECT_EQ(build(u)["startDisabledReason"], "视频组件释放超时，请到设置中安全重启新版");
    EXPECT_TRUE(build(u)["resetTimedOut"].get<bool>());
    in.bridgeResetting = false;
    in.bridgeHasEngine = false;
    EXPECT_EQ(build(u)["startDisabledReason"], "视频组件释放超时，请到设置中安全重启新版");
    in.bridgeHasEngine = true;
    EXPECT_EQ(build(u)["startDisabledReason"], "请选择参考图");
    in.hasReferenceData = true;
    EXPECT_EQ(build(u)["startDisabledReason"], "至少需要 10 积分开启 AI，剩余积分保留");
}

TEST_F(StudioStateTest, TheStartThresholdComesFromTheServiceButTheTextAlwaysNamesTen) {
    EXPECT_EQ(build(Json{{"available_points", 9}})["startDisabledReason"],
              "至少需要 10 积分开启 AI，剩余积分保留");
    EXPECT_EQ(build(Json{{"available_points", 9}, {"min_start_points", 5}})["startDisabledReason"],
              "");
    EXPECT_EQ(
        build(Json{{"available_points", 30}, {"min_start_points", 50}})["startDisabledReason"],
        "至少需要 10 积分开启 AI，剩余积分保留");
    EXPECT_EQ(
        build(Json{{"available_points", 9}, {"min_start_points", "5"}})["startDisabledReason"],
        "至少需要 10 积分开启 AI，剩余积分保留");
}

// The App refuses a start below the threshold of spendable points; points still held for an
// earlier session count toward the estimate on show but must not enable the button.
TEST_F(StudioStateTest, OnlySpendablePointsEnableTheStartAsTheAppCountsThem) {
    Json u = {{"available_points", 5},
              {"reserved_points", 20},
              {"estimated_consumed_points", 0},
              {"estimated_remaining_points", 25},
              {"session_state", "ENDED"}};
    Json s = build(u);
    EXPECT_FALSE(s["canStart"].get<bool>());
    EXPECT_EQ(s["startDisabledReason"], "至少需要 10 积分开启 AI，剩余积分保留");
    EXPECT_EQ(s["remaining"], "预计可用 0 分 25 秒") << "the estimate still counts the hold";

    u["available_points"] = 10;
    EXPECT_TRUE(build(u)["canStart"].get<bool>());
}

TEST_F(StudioStateTest, RemainingTimeAndStartWindowTexts) {
    EXPECT_EQ(build(Json{{"estimated_remaining_points", 125}})["remaining"], "预计可用 2 分 5 秒");
    EXPECT_EQ(build(Json{{"estimated_remaining_points", 100}})["billingProtection"],
              "本次启动窗口约 90 秒（含连接准备）· 未消费积分退回");
    EXPECT_EQ(build(Json{{"estimated_remaining_points", 100},
                         {"safe_start_seconds", 42}})["billingProtection"],
              "本次启动窗口约 42 秒（含连接准备）· 未消费积分退回");
    EXPECT_EQ(build(Json{{"estimated_remaining_points", 9}})["billingProtection"],
              "至少 10 积分启动 · 剩余积分保留");
    EXPECT_EQ(remainingText(-65), "预计可用 -1 分 -5 秒");
}

TEST_F(StudioStateTest, RunningSessionPointsTickDownForAtMostFifteenSeconds) {
    Json u = {{"reserved_points", 60},
              {"reserved_gift_points", 20},
              {"reserved_paid_points", 40},
              {"estimated_consumed_points", 30},
              {"session_running", true},
              {"available_points", 100},
              {"available_paid_points", 70},
              {"available_gift_points", 30},
              {"estimated_remaining_paid_points", 999}};
    in.usageSyncedAt = kNow - std::chrono::seconds(40);
    Json s = build(u);
    EXPECT_EQ(s["estimate"], 45);
    EXPECT_EQ(s["consumedGift"], 20);
    EXPECT_EQ(s["consumedPaid"], 25);
    EXPECT_EQ(s["paid"], 70 + 40 - 25);
    EXPECT_EQ(s["gift"], 30 + 20 - 20);
    EXPECT_EQ(s["remaining"], "预计可用 1 分 55 秒");
    EXPECT_TRUE(s["estimated"].get<bool>());
    // The number beside the points label, counted as the label counts it.
    EXPECT_EQ(s["pointsValue"], 100 + 60 - 45);
    u["session_running"] = false;
    u["reserved_points"] = 0;
    EXPECT_EQ(build(u)["pointsValue"], 100);
    u["available_points"] = -5;
    EXPECT_EQ(build(u)["pointsValue"], 0);
    u["available_points"] = 100;
    u["reserved_points"] = 60;
    u["session_running"] = true;

    in.usageSyncedAt = kNow - std::chrono::milliseconds(4'900);
    EXPECT_EQ(build(u)["estimate"], 34);
    u["session_running"] = false;
    EXPECT_EQ(build(u)["estimate"], 30);
    u["session_running"] = true;
    u["estimated_consumed_points"] = 58;
    EXPECT_EQ(build(u)["estimate"], 60);

    // A damaged reply never shows a negative balance or a split that does not add up: a negative
    // count refuses the projection (the split shows as received, a negative member as 0), a paid
    // part smaller than what was spent of it shows 0.
    for (const char* key : {"estimated_consumed_points", "reserved_gift_points",
                            "available_paid_points", "available_gift_points"}) {
        Json bad = u;
        bad[key] = -1'000;
        bad["estimated_remaining_paid_points"] = -1;
        Json s = build(bad);
        EXPECT_EQ(s["consumedGift"], 0) << key;
        EXPECT_EQ(s["paid"], 0) << key;
        EXPECT_GE(s["estimate"].get<int64_t>(), 0) << key;
        EXPECT_GE(s["pointsValue"].get<int64_t>(), 0) << key;
    }
    Json thin = u;
    thin["reserved_paid_points"] = 0;
    thin["available_paid_points"] = 0;
    Json shown = build(thin);
    EXPECT_EQ(shown["paid"], 0);
    EXPECT_EQ(shown["consumedPaid"].get<int64_t>() + shown["consumedGift"].get<int64_t>(),
              shown["estimate"]);
}

TEST_F(StudioStateTest, HostileAccountNumbersNeitherOverflowNorFail) {
    const int64_t big = std::numeric_limits<int64_t>::max();
    Json u = {{"reserved_points", big},       {"estimated_consumed_points", big},
              {"available_points", big},      {"available_paid_points", -big},
              {"reserved_paid_points", -big}, {"session_running", true}};
    Json s = build(u);
    EXPECT_EQ(s["estimate"], big);
    EXPECT_GE(s["remaining"].get<std::string>().size(), 10u);
}

TEST_F(StudioStateTest, MembersAsReceivedAndTheSettledBill) {
    Json u = {{"session_state", 3},
              {"session_id", "s-1"},
              {"estimated_remaining_paid_points", "12"},
              {"estimated_consumed_gift_points", 4},
              {"bill_confirmed", true},
              {"actual_consumed_paid_points", 17}};
    Json s = build(u);
    EXPECT_EQ(s["sessionState"], 3);
    EXPECT_TRUE(s["hasSession"].get<bool>());
    EXPECT_EQ(s["paid"], "12");
    EXPECT_EQ(s["gift"], 0);
    EXPECT_EQ(s["consumedPaid"], 17);
    EXPECT_EQ(s["consumedGift"], 0); // the settled bill replaces the estimate, even by nothing
    EXPECT_TRUE(s["billConfirmed"].get<bool>());
    u["session_id"] = "";
    EXPECT_FALSE(build(u)["hasSession"].get<bool>());
}

} // namespace
} // namespace zarvo
