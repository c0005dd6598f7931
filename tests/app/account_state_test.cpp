#include "session_fixture.h"

namespace zarvo::testing {
namespace {

TEST_F(SessionTest, WithoutASnapshotTheLabelsKeepTheirInitialTexts) {
    app->renderUsage();
    EXPECT_EQ(app->pointsLabel.text, "—  积分");
    EXPECT_EQ(app->durationLabel.text, "本次使用 00:00:00");
    EXPECT_EQ(app->liveDuration.text, "本次运行 00:00");
    EXPECT_EQ(app->sessionBadge.text, "未开启 AI");
    EXPECT_EQ(app->syncLabel.text, "积分尚未同步");
}

TEST_F(SessionTest, LocalAdvanceIsCappedAtFifteenSecondsAndConsumptionAtTheReservation) {
    service.answer("client/state", Json{{"available_points", 50},
                                        {"reserved_points", 20},
                                        {"estimated_consumed_points", 30},
                                        {"session_state", "RUNNING"},
                                        {"session_running", true},
                                        {"session_elapsed_seconds", 100}});
    sync();
    EXPECT_TRUE(app->syncLabel.text.ends_with(" · 余额为估算，结束后按确认账单结算"));
    loop.advance(seconds(40));
    app->renderUsage();
    EXPECT_EQ(app->liveDuration.text, "本次运行 01:55");
    EXPECT_EQ(app->durationLabel.text, "本次已用 00:01:55\n预计消耗 20 积分 · 结束后核对");
    EXPECT_EQ(app->pointsLabel.text, "50  积分（预计）");
    EXPECT_EQ(app->pointsLabel.fontSize, 26.0);
    EXPECT_EQ(app->sessionBadge.text, "网络异常 · 状态待同步"); // 40 s old
    EXPECT_EQ(app->sessionBadge.color, "green");
}

TEST_F(SessionTest, AStaleGenerationsReplyIsNotStoredAndAsksOnceMore) {
    service.hold("client/state");
    app->refreshState();
    app->refreshState(); // one in flight at most
    ++app->operationGeneration;
    service.release("client/state");
    service.hold("client/state");
    loop.runUntilIdle();
    EXPECT_FALSE(app->usageSnapshot);
    EXPECT_EQ(service.count("client/state"), 2u);
    service.release("client/state");
    loop.runUntilIdle();
    EXPECT_EQ(app->usageOperationGeneration, app->operationGeneration);
    EXPECT_EQ(app->networkState, "online");
    EXPECT_TRUE(app->syncLabel.text.starts_with("已同步 "));
    EXPECT_TRUE(app->syncLabel.text.ends_with(" · 可用 100 积分"));
    EXPECT_EQ(app->pointsLabel.fontSize, 32.0);
}

TEST_F(SessionTest, AFailedRefreshKeepsTheLastSnapshotAndSaysSo) {
    sync();
    service.answer("client/state", ScriptedReply::json({{"detail", "维护中"}}, 503));
    sync();
    EXPECT_EQ(app->networkState, "offline");
    EXPECT_EQ(app->syncLabel.text, "同步失败：维护中；显示上次数据");
    ASSERT_TRUE(app->usageSnapshot);
    app->renderUsage();
    EXPECT_EQ(app->sessionBadge.text, "网络异常 · 状态待同步");
    EXPECT_EQ(app->pointsLabel.text, "100  积分");
}

TEST_F(SessionTest, AnIdleServerStateEndsTheLocalSession) {
    startSession();
    service.answer("client/state", Json{{"session_state", "FAILED"}});
    sync();
    EXPECT_FALSE(app->aiActive);
    EXPECT_FALSE(app->aiTimer.isActive());
    EXPECT_EQ(activity.live, 0);
    EXPECT_EQ(app->sessionBadge.text, "连接失败 · 请检查后重试");
}

TEST_F(SessionTest, HostileNumbersNeitherOverflowNorGoNegative) {
    const int64_t max = std::numeric_limits<int64_t>::max();
    service.answer("client/state", Json{{"available_points", max},
                                        {"reserved_points", max},
                                        {"estimated_consumed_points", -max},
                                        {"session_running", true},
                                        {"session_elapsed_seconds", max}});
    sync();
    loop.advance(seconds(10));
    app->renderUsage();
    // The damaged negative consumption counts as none: the ten seconds run since are all of it.
    EXPECT_EQ(app->pointsLabel.text, std::to_string(max - 10) + "  积分（预计）");
    EXPECT_NE(app->durationLabel.text.find("预计消耗 10 积分"), std::string::npos);
    service.answer("client/state", Json{{"available_points", -5}, {"session_elapsed_seconds", -9}});
    sync();
    EXPECT_EQ(app->pointsLabel.text, "0  积分");
    EXPECT_EQ(app->liveDuration.text, "本次运行 00:00");
}

} // namespace
} // namespace zarvo::testing
