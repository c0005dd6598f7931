#include "session_fixture.h"

namespace zarvo::testing {
namespace {

const char* const kStaleText = "请先同步积分并确认网络连接后再开启 AI";

TEST_F(SessionTest, SnapshotOfExactlyTwentySecondsIsStaleAndNineteenPointNineIsNot) {
    sync();
    loop.advance(seconds(20));
    app->startAI();
    EXPECT_EQ(app->status.text, kStaleText);
    EXPECT_EQ(service.count("live/current"), 0u);
    EXPECT_EQ(service.count("client/state"), 2u); // the refusal asks for fresh data

    loop.runUntilIdle();
    loop.advance(seconds(19.9));
    app->startAI();
    EXPECT_EQ(service.count("live/current"), 1u);
    EXPECT_TRUE(app->aiBusy);
}

TEST_F(SessionTest, SnapshotDatedInTheFutureAfterTheClockWasSetBackIsStale) {
    sync();
    loop.shiftWallClock(-seconds(3600));
    app->startAI();
    EXPECT_EQ(app->status.text, kStaleText);
    EXPECT_EQ(service.count("live/current"), 0u);
}

TEST_F(SessionTest, TheMinimumPointsComeFromTheAccountSnapshot) {
    service.answer("client/state", Json{{"available_points", 7}, {"min_start_points", 5}});
    sync();
    app->startAI();
    EXPECT_EQ(service.count("live/current"), 1u);
}

TEST_F(SessionTest, NinePointsWithoutAMinimumAreRefused) {
    service.answer("client/state", idleAccount(9));
    sync();
    app->startAI();
    EXPECT_EQ(app->status.text, "至少需要 10 积分开启 AI，剩余积分保留");
    EXPECT_EQ(service.count("live/current"), 0u);
    EXPECT_FALSE(app->aiBusy);
}

TEST_F(SessionTest, LocalChecksRefuseBeforeAnythingIsSent) {
    auto refused = [&](const std::string& text) {
        app->startAI();
        EXPECT_EQ(app->status.text, text);
        EXPECT_EQ(service.count("live/current"), 0u) << text;
        EXPECT_FALSE(app->aiBusy) << text;
    };
    sync();
    video.isResetting = true;
    refused("正在释放上次视频连接，请稍候，无需退出程序");
    video.isResetting = false;
    video.engine = false;
    refused("正在释放上次视频连接，请稍候，无需退出程序");
    video.engine = true;

    app->usageSnapshot = Json{{"available_points", 50}, {"session_state", "reconcile_required"}};
    refused("上次会话正在停止或结算，请等待完成");
    app->usageSnapshot = idleAccount();

    app->selectedReferenceData.reset();
    refused("请选择有效的参考图片");
    app->selectedReferenceData = "reference";

    fakeHosts.updateInstalling = true;
    refused("正在安装更新，暂不能开启 AI");
    fakeHosts.updateInstalling = false;
    app->status.text = "unchanged";
    app->credential.reset();
    refused("unchanged");
}

TEST_F(SessionTest, ALiveCurrentReplyWithoutStateMeansAnEarlierSessionMayBeAlive) {
    service.answer("live/current", Json{{"session_id", "s-1"}});
    sync();
    app->startAI();
    loop.runUntilIdle();
    EXPECT_EQ(app->status.text, "上次会话尚未结束，请点击停止 AI 后等待结算");
    EXPECT_EQ(service.count("live/start"), 0u);
    EXPECT_FALSE(app->aiBusy);
    EXPECT_EQ(service.count("client/state"), 2u);
}

TEST_F(SessionTest, AFailedCheckNeverStarts) {
    service.answer("live/current", ScriptedReply::failure());
    sync();
    app->startAI();
    loop.advance(seconds(7));
    EXPECT_EQ(app->status.text, "无法核对上次会话，请恢复网络后重试；不会重复开启");
    EXPECT_EQ(service.count("live/start"), 0u);
    EXPECT_FALSE(app->aiBusy);
}

TEST_F(SessionTest, TwoQuickStartsSendOneCheck) {
    service.hold("live/current");
    sync();
    app->startAI();
    app->startAI();
    EXPECT_EQ(service.count("live/current"), 1u);
}

TEST_F(SessionTest, ACheckAnsweredAfterAStopNeverCreatesASession) {
    service.hold("live/current");
    sync();
    app->startAI();
    app->stopAI();
    service.release("live/current");
    loop.runUntilIdle();
    EXPECT_EQ(service.count("live/start"), 0u);
    EXPECT_FALSE(app->aiBusy);
    EXPECT_FALSE(app->aiTimer.isActive());
    EXPECT_EQ(activity.live, 0);
}

TEST_F(SessionTest, StartSendsTheReferenceAndModeAndJoinsWithTheServiceCredentials) {
    const int previews = fakeHosts.previewStops;
    int64_t before = app->operationGeneration;
    startSession();

    auto body = service.last("live/start")->body();
    ASSERT_TRUE(body);
    EXPECT_EQ((*body)["editing_type"], "subject_replacement");
    EXPECT_EQ((*body)["image_url"], "data:image/jpeg;base64," + base64Encode("jpeg90:reference"));
    std::string key = (*body)["idempotency_key"];
    EXPECT_EQ(key.size(), 36u);
    EXPECT_EQ(key, SessionPresentation::upperCased(key));
    const auto& headers = service.last("live/start")->request.headers;
    EXPECT_NE(
        std::find(headers.begin(), headers.end(),
                  std::pair<std::string, std::string>("Authorization", "Bearer account-token")),
        headers.end());

    EXPECT_EQ(app->operationGeneration, before + 2);
    EXPECT_EQ(video.joinedWith, Json({{"token", "rtc-token"}, {"channel_id", "ch-1"}}));
    EXPECT_EQ(video.joinedUID, "ai-7");
    EXPECT_EQ(video.camera, "cam-1");
    EXPECT_EQ(fakeHosts.previewStops - previews, 1);
    EXPECT_EQ(activity.live, 1);
    EXPECT_EQ(activity.reason, "实时 AI 视频与虚拟摄像头输出");
    EXPECT_EQ(app->usageOperationGeneration, app->operationGeneration); // refreshed for g2
    EXPECT_EQ(app->status.text, "正在连接 AI 输出…");
}

TEST_F(SessionTest, SelectedModeAndFreshKeysOnEveryStart) {
    app->modeButtons[2].selectedMode = true;
    startSession();
    app->stopAI();
    loop.runUntilIdle();
    service.answer("client/state", idleAccount());
    sync();
    ASSERT_FALSE(app->aiStopping);
    app->startAI();
    loop.runUntilIdle();
    std::vector<Json> starts;
    for (const auto& request : service.requests())
        if (request.path == "live/start")
            starts.push_back(*request.body());
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[1]["editing_type"], "background_replacement");
    EXPECT_NE(starts[0]["idempotency_key"], starts[1]["idempotency_key"]);
}

TEST_F(SessionTest, ALiveStartAnsweredAfterStopNeitherJoinsNorLeavesTheBridgeUp) {
    service.hold("live/start");
    sync();
    app->startAI();
    loop.runUntilIdle();
    ASSERT_EQ(service.count("live/start"), 1u);
    app->stopAI();
    service.release("live/start");
    loop.runUntilIdle();
    app->queue.sync([] {});
    loop.runUntilIdle();
    EXPECT_EQ(video.joins, 0);
    EXPECT_GE(video.stops, 1);
    EXPECT_FALSE(app->aiActive);
    // The first stop reached the service before the session existed; the second ends it.
    EXPECT_EQ(service.count("live/stop"), 2u);
}

TEST_F(SessionTest, ARefusedStartOrAFailedJoinIsStoppedAndTheStatusSaysWhy) {
    service.answer("live/start", ScriptedReply::json({{"detail", "Insufficient balance"}}, 402));
    sync();
    app->startAI();
    loop.runUntilIdle();
    EXPECT_EQ(service.count("live/stop"), 1u);
    EXPECT_EQ(app->status.text,
              "积分不足，请充值后重试；不会自动开启 AI · AI 已请求停止，积分以服务端确认结果为准");
    EXPECT_EQ((*stopReport())["reason"], "积分不足，请充值后重试；不会自动开启 AI");
    EXPECT_EQ(activity.live, 0);

    service.answer("client/state", idleAccount());
    sync();
    service.answer("live/start", Json{{"rtc", {{"token", "t"}}}, {"render_uid", "ai"}});
    video.joinError = Error{"视频入会失败", 7};
    app->startAI();
    loop.runUntilIdle();
    ASSERT_TRUE(loop.runUntil([&] { return service.count("live/stop") == 2; }));
    loop.runUntilIdle();
    EXPECT_EQ(app->status.text,
              "视频连接失败：视频入会失败 · AI 已请求停止，积分以服务端确认结果为准");
    EXPECT_EQ((*stopReport())["reason"], "视频连接失败：视频入会失败");
    EXPECT_FALSE(app->aiActive);
}

} // namespace
} // namespace zarvo::testing
