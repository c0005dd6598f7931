#include "session_fixture.h"

namespace zarvo::testing {
namespace {

TEST_F(SessionTest, StopTearsDownAtOnceAndSendsOneStopHoweverOftenPressed) {
    startSession();
    video.frameAt(loop.now());
    service.hold("live/stop");
    app->stopAI();
    app->stopAI();
    EXPECT_EQ(service.count("live/stop"), 1u);
    EXPECT_EQ(service.last("live/stop")->request.body, "{}");
    EXPECT_FALSE(app->aiActive);
    EXPECT_TRUE(app->aiStopping);
    EXPECT_FALSE(app->aiTimer.isActive());
    EXPECT_EQ(app->sessionBadge.text, "正在停止");
    EXPECT_EQ(app->status.text, "正在停止 AI 会话并核对积分…");
    EXPECT_EQ(activity.live, 0);
    EXPECT_GE(video.stops, 1);
    EXPECT_EQ(output.clears, 1);

    auto report = stopReport();
    ASSERT_TRUE(report);
    EXPECT_EQ((*report)["reason"], "用户或业务流程停止");
    EXPECT_EQ((*report)["remote_frames"], 1);
    EXPECT_DOUBLE_EQ((*report)["last_remote_at"].get<double>(), epochSeconds(loop.now()));
    EXPECT_DOUBLE_EQ((*report)["stopped_at"].get<double>(), epochSeconds(loop.now()));
    EXPECT_EQ((*report)["poll_failures"], 0);
}

TEST_F(SessionTest, ASessionWithoutFramesReportsZeroes) {
    startSession();
    app->stopAI();
    auto report = stopReport();
    EXPECT_EQ((*report)["remote_frames"], 0);
    EXPECT_TRUE((*report)["last_remote_at"].is_number_integer());
    EXPECT_EQ((*report)["last_remote_at"], 0);
}

TEST_F(SessionTest, AnUnconfirmedStopCanBeSentAgain) {
    startSession();
    service.answer("live/stop", ScriptedReply::failure());
    app->stopAI();
    loop.runUntilIdle();
    EXPECT_EQ(app->status.text, "停止请求未确认；后台将在心跳超时后尝试停止，"
                                "请恢复网络后重试停止并核对账单");
    EXPECT_FALSE(app->stopRequestBusy);
    service.answer("live/stop", Json::object());
    app->stopAI();
    loop.advance(seconds(0.5)); // the failed POST marked the route: this one waits for a check
    EXPECT_EQ(service.count("live/stop"), 2u);
    EXPECT_EQ(app->status.text, "AI 已请求停止，积分以服务端确认结果为准");
}

TEST_F(SessionTest, AnUnwritableReportNeverBlocksTheStop) {
    startSession();
    // A file where the folder should be: the report cannot be created.
    (void)writeFileAtomically(folder / "data" / "ZarvoDiagnostics", "x");
    app->stopAI();
    loop.runUntilIdle();
    EXPECT_EQ(service.count("live/stop"), 1u);
    EXPECT_EQ(app->status.text, "AI 已请求停止，积分以服务端确认结果为准");
}

TEST_F(SessionTest, StoppingClearsOnlyWithASettledSnapshotOfTheCurrentGeneration) {
    startSession();
    service.hold("client/state");
    app->refreshState(); // in flight from before the stop
    app->stopAI();
    loop.runUntilIdle();
    EXPECT_FALSE(app->stopRequestBusy);
    // The old answer says settled, but it is older than the stop: not stored, asked again once.
    service.release("client/state", ScriptedReply::json(idleAccount()));
    service.hold("client/state");
    loop.runUntilIdle();
    EXPECT_TRUE(app->aiStopping);
    EXPECT_EQ(service.count("client/state"), 4u); // start, before the stop, stale reply's retry
    EXPECT_NE(app->usageOperationGeneration, app->operationGeneration);

    service.release("client/state",
                    ScriptedReply::json({{"reserved_points", 3}, {"session_state", "STOPPING"}}));
    loop.runUntilIdle();
    EXPECT_TRUE(app->aiStopping);
    app->renderUsage();
    EXPECT_EQ(app->sessionBadge.text, "正在停止");
    EXPECT_EQ(app->sessionBadge.color, "yellow");

    service.answer("client/state", Json{{"available_points", 60},
                                        {"reserved_points", 0},
                                        {"session_state", "ENDED"},
                                        {"session_elapsed_seconds", 3725},
                                        {"confirmed_bill", 40}});
    app->refreshState();
    loop.runUntilIdle();
    EXPECT_FALSE(app->aiStopping);
    EXPECT_EQ(app->sessionBadge.text, "本次已结算");
    EXPECT_EQ(app->durationLabel.text,
              "本次已结算\n运行 01:02:05 · 实际扣费 40 积分\n剩余 60 积分");
    EXPECT_EQ(app->pointsLabel.text, "60  积分");
}

} // namespace
} // namespace zarvo::testing

namespace zarvo::testing {
namespace {

TEST_F(SessionTest, ASettledLookingSnapshotFromBeforeTheStopDoesNotEndIt) {
    startSession();
    service.answer("client/state", Json{{"session_state", "RUNNING"}, {"reserved_points", 0}});
    sync();
    service.hold("client/state");
    app->stopAI();
    loop.runUntilIdle();
    ASSERT_FALSE(app->stopRequestBusy);
    app->renderUsage();
    EXPECT_TRUE(app->aiStopping);
}

} // namespace
} // namespace zarvo::testing
