#include "session_fixture.h"

namespace zarvo::testing {
namespace {

class MonitorTest : public SessionTest {
protected:
    void SetUp() override {
        startSession();
        t0 = loop.uptime();
    }
    // Moves to `at` seconds after the start, a remote frame arriving every second on the way.
    void framesUntil(double at) {
        while (loop.uptime() + seconds(1) <= t0 + seconds(at)) {
            loop.advance(seconds(1));
            video.frameAt(loop.now());
        }
    }
    void at(double s) { loop.advanceTo(t0 + seconds(s)); }
    bool stoppedWith(const std::string& reason) {
        return !app->aiActive && app->aiStopping && app->stopReason == reason &&
               service.count("live/stop") == 1;
    }
    Duration t0{};
};

TEST_F(MonitorTest, NoFirstFrameStopsOnTheFirstTickAfterThirtySeconds) {
    at(3);
    EXPECT_EQ(app->status.text, "正在连接 AI 输出…");
    at(6);
    EXPECT_EQ(app->status.text, "正在等待 AI 首帧，后台计费保护仍生效");
    at(30);
    EXPECT_TRUE(app->aiActive);
    at(33);
    EXPECT_TRUE(stoppedWith("AI 首帧连接超时"));
    EXPECT_EQ(app->status.text, "AI 首帧连接超时 · AI 已请求停止，积分以服务端确认结果为准");
    EXPECT_EQ((*stopReport())["reason"], "AI 首帧连接超时");
}

TEST_F(MonitorTest, AnInterruptionOfMoreThanFifteenSecondsStops) {
    framesUntil(1);
    at(9);
    EXPECT_EQ(app->status.text, "视频暂时中断，正在等待恢复");
    at(15);
    EXPECT_TRUE(app->aiActive);
    at(18);
    EXPECT_TRUE(stoppedWith("视频断流超过 15 秒"));
    auto report = stopReport();
    EXPECT_EQ((*report)["remote_frames"], 1);
    EXPECT_DOUBLE_EQ((*report)["last_remote_at"].get<double>(),
                     epochSeconds(loop.now() - seconds(17)));
}

TEST_F(MonitorTest, AfterASwitchTheGapMayLastThirtySeconds) {
    framesUntil(10);
    at(14);
    app->switchLive("other", 1, {});
    ASSERT_TRUE(loop.runUntil([&] { return service.count("live/switch") == 1; }));
    at(30); // a 20 s gap: without the switch this would have stopped at 27 s
    EXPECT_TRUE(app->aiActive);
    EXPECT_EQ(app->status.text, "正在等待切换画面，会话持续计费");
    at(39);
    EXPECT_TRUE(app->aiActive);
    at(42);
    EXPECT_TRUE(stoppedWith("切换后长时间未收到画面"));
}

TEST_F(MonitorTest, OnlyThreeConsecutiveFailedPollsStop) {
    const bool pattern[] = {false, false, true, false, false, true, false, false};
    double s = 0;
    for (bool ok : pattern) {
        service.answer("live/current",
                       ok ? ScriptedReply::json({{"state", "RUNNING"}}) : ScriptedReply::failure());
        framesUntil(s += 3);
    }
    EXPECT_TRUE(app->aiActive);
    EXPECT_EQ(app->aiPollFailures, 2);
    framesUntil(s += 3);
    loop.advance(seconds(0.5)); // the stop's POST waits for the route check the failures caused
    EXPECT_TRUE(stoppedWith("连续三次无法确认服务端会话状态，已触发停止保护"));
    EXPECT_EQ((*stopReport())["poll_failures"], 3);
}

TEST_F(MonitorTest, TheSameSwitchErrorIsAnnouncedOnce) {
    const std::string failed = "切换失败 · 选中图不代表已生效，请以输出画面为准";
    Json reply = {{"state", "RUNNING"},
                  {"session_id", 41},
                  {"switch_error", {{"seq_id", 1}, {"error_code", "E_IMAGE"}}}};
    service.answer("live/current", reply);
    framesUntil(3);
    EXPECT_EQ(app->status.text, failed);
    EXPECT_EQ(app->switchNotice, failed);
    app->status.text = app->switchNotice = "seen";
    framesUntil(9);
    EXPECT_EQ(app->status.text, "seen");
    reply["switch_error"]["seq_id"] = 2;
    service.answer("live/current", reply);
    framesUntil(12);
    EXPECT_EQ(app->status.text, failed);
}

TEST_F(MonitorTest, ServerStatesWindDownAndFinishTheWatch) {
    service.answer("live/current", Json{{"state", "stopping"}});
    framesUntil(3);
    EXPECT_FALSE(app->aiActive);
    EXPECT_EQ(app->status.text, "会话正在停止或核对，请稍候");
    EXPECT_EQ(activity.live, 0);
    service.answer("live/current", Json{{"state", "ENDED"}});
    at(40); // no watchdog while inactive; polls continue until the finished state
    EXPECT_EQ(service.count("live/stop"), 0u);
    EXPECT_EQ(app->status.text, "AI 会话已结束");
    size_t polls = service.count("live/current");
    at(60);
    EXPECT_EQ(service.count("live/current"), polls);
}

TEST_F(MonitorTest, RepliesOfAnEarlierGenerationChangeNothing) {
    service.hold("live/current");
    service.hold("live/switch");
    framesUntil(3);
    app->switchLive("other", 1, [] { ADD_FAILURE() << "a voided switch committed"; });
    ASSERT_TRUE(loop.runUntil([&] { return service.count("live/switch") == 1; }));
    app->stopAI();
    loop.runUntilIdle();
    std::string status = app->status.text;
    int stops = video.stops;
    service.release("live/current",
                    ScriptedReply::json({{"state", "ENDED"}, {"switch_error", {{"seq_id", 1}}}}));
    service.release("live/switch", ScriptedReply::failure());
    loop.runUntilIdle();
    EXPECT_EQ(app->status.text, status);
    EXPECT_EQ(app->switchNotice, "");
    EXPECT_EQ(app->lastSwitchError, "");
    EXPECT_EQ(app->aiPollFailures, 0);
    EXPECT_EQ(video.stops, stops);
}

TEST_F(MonitorTest, SelfRunRecordsEachTickAndEndsTenSecondsAfterTheFirstFrame) {
    auto report = (folder / "smoke.json").string();
    app->smokeReport = report;
    app->smokeStarted = loop.now();
    auto& rendered = fakeHosts.rendered;
    framesUntil(6);
    auto record = parseJsonObject(*readFile(report));
    EXPECT_EQ((*record)["frame_count"], 5); // the tick at 6 s runs before that second's frame
    EXPECT_DOUBLE_EQ((*record)["first_frame"].get<double>(), epochSeconds(loop.now() - seconds(5)));
    EXPECT_EQ((*record)["status"], app->status.text);
    framesUntil(9);
    EXPECT_TRUE(app->aiActive);
    framesUntil(12); // first frame at 1 s: 11 s later
    EXPECT_EQ(rendered, report + ".png");
    EXPECT_TRUE(app->aiStopping);
    EXPECT_EQ(service.count("live/stop"), 1u);
}

TEST_F(MonitorTest, ChangingTheSystemDateNeitherFiresNorDelaysTheWatchdog) {
    framesUntil(5);
    loop.shiftWallClock(seconds(3600)); // forward: a tick before the next frame sees a "gap"
    framesUntil(12);
    EXPECT_TRUE(app->aiActive);
    loop.shiftWallClock(seconds(-7200)); // back: the last frame now looks an hour ahead
    framesUntil(13);
    at(28);
    EXPECT_TRUE(app->aiActive);
    at(31); // 18 s after the last frame
    EXPECT_TRUE(stoppedWith("视频断流超过 15 秒"));
}

TEST_F(MonitorTest, ANewStartForgetsTheLastStopReason) {
    at(33);
    ASSERT_TRUE(stoppedWith("AI 首帧连接超时"));
    service.answer("client/state", idleAccount());
    sync();
    ASSERT_FALSE(app->aiStopping);
    service.hold("live/current");
    app->startAI();
    loop.runUntilIdle();
    ASSERT_TRUE(app->aiBusy);
    app->stopAI(); // the user's stop during the check
    EXPECT_EQ(app->status.text, "正在停止 AI 会话并核对积分…");
    EXPECT_EQ((*stopReport())["reason"], "用户或业务流程停止");
}

TEST_F(MonitorTest, APollAnsweredAfterTheGenerationMovedStillFreesThePollSlot) {
    service.answer("live/current", Json{{"state", "STOPPING"}});
    framesUntil(3); // winding down: the watch goes on with polls only
    ASSERT_FALSE(app->aiActive);
    ASSERT_TRUE(app->aiTimer.isActive());
    service.hold("live/current");
    at(6);
    ASSERT_TRUE(app->aiPollBusy);
    service.answer("client/state", idleAccount());
    sync();
    app->startAI(); // its check moves the generation past the poll in flight
    loop.runUntilIdle();
    ASSERT_TRUE(app->aiBusy);
    service.release("live/current", ScriptedReply::failure());
    loop.advance(seconds(1));
    ASSERT_FALSE(app->aiBusy);
    size_t polls = service.count("live/current");
    at(12);
    EXPECT_GT(service.count("live/current"), polls);
}

} // namespace
} // namespace zarvo::testing
