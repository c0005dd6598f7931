#include "session_fixture.h"

namespace zarvo::testing {
namespace {

const char* const kTooLarge = "图片过大或无效，请使用 10 MB 以内图片";

class SwitchTest : public SessionTest {
protected:
    void SetUp() override { startSession(); }
    // Runs until the encoded image is back on the main thread and handled.
    void encoded() {
        ASSERT_TRUE(loop.runUntil([&] { return app->switchNotice != "正在处理参考图…"; }));
    }
};

TEST_F(SwitchTest, TheSizeLimitIsTenMegabytesInclusive) {
    app->switchLive("bytes:10485761", 1, {});
    encoded();
    EXPECT_EQ(app->switchNotice, kTooLarge);
    EXPECT_FALSE(app->liveSwitchBusy);
    EXPECT_EQ(service.count("live/switch"), 0u);

    service.hold("live/switch");
    app->switchLive("bytes:10485760", 3, {});
    encoded();
    ASSERT_EQ(service.count("live/switch"), 1u);
    auto body = service.last("live/switch")->body();
    EXPECT_EQ((*body)["editing_type"], "style_transfer");
    EXPECT_EQ((*body)["image_url"],
              "data:image/jpeg;base64," + base64Encode(std::string(10485760, 'j')));
    EXPECT_EQ(encoder.qualities.back(), 85);
    EXPECT_EQ(app->switchRequestedAt, loop.now());
    EXPECT_EQ(app->switchNotice, "切换发送中 · 会话持续计费");
    service.release("live/switch");
    loop.runUntilIdle();
    EXPECT_EQ(app->switchNotice, "已请求切换 · 请以 AI 画面为准");
    EXPECT_EQ(app->status.text, "已请求切换 · 请以 AI 画面为准");
}

TEST_F(SwitchTest, AStopDuringEncodingVoidsTheSwitch) {
    encoder.close();
    app->switchLive("first", 1, [] { ADD_FAILURE() << "voided switch committed"; });
    encoder.waitEntered(2); // the start's encoding was the first
    app->stopAI();
    encoder.open();
    loop.runUntilIdle();
    service.answer("client/state", idleAccount());
    sync();
    startSession();
    // The encoder queue is serial: once the next switch is back, the voided one has been handled.
    app->switchLive("second", 2, {});
    ASSERT_TRUE(loop.runUntil([&] { return service.count("live/switch") == 1; }));
    loop.runUntilIdle();
    EXPECT_EQ(service.count("live/switch"), 1u);
    EXPECT_EQ((*service.last("live/switch")->body())["image_url"],
              "data:image/jpeg;base64," + base64Encode("jpeg85:second"));
}

TEST_F(SwitchTest, AModeButtonCommitsOnlyWhenTheServiceAccepted) {
    app->modeButtons[0].selectedMode = true;
    service.hold("live/switch");
    app->selectMode(2);
    encoded();
    app->selectMode(3); // one switch at a time
    EXPECT_EQ(app->status.text, "请等待当前连接或切换完成");
    EXPECT_TRUE(app->modeButtons[0].selectedMode);
    EXPECT_FALSE(app->modeButtons[2].selectedMode);
    service.release("live/switch");
    loop.runUntilIdle();
    EXPECT_TRUE(app->modeButtons[2].selectedMode);
    EXPECT_FALSE(app->modeButtons[0].selectedMode);
    EXPECT_EQ(defaults->integer("editingMode"), 2);

    service.answer("live/switch", Json{{"status", "queued"}});
    app->selectMode(1);
    encoded();
    loop.runUntilIdle();
    EXPECT_EQ(app->status.text, "切换结果未确认，可观察画面后手动重试");
    EXPECT_TRUE(app->modeButtons[2].selectedMode);

    service.answer("live/switch", ScriptedReply::json({{"detail", "切换过于频繁"}}, 429));
    app->selectMode(1);
    encoded();
    loop.runUntilIdle();
    EXPECT_EQ(app->switchNotice, "切换过于频繁");
    EXPECT_EQ(defaults->integer("editingMode"), 2);
}

TEST_F(SessionTest, WithoutASessionModeButtonsOnlySelect) {
    app->selectMode(1);
    EXPECT_TRUE(app->modeButtons[1].selectedMode);
    EXPECT_EQ(defaults->integer("editingMode"), 1);
    EXPECT_EQ(app->status.text, "已选择 虚拟试穿 · 添加参考图以准备编辑");
    app->switchLive("other", 1, [] { ADD_FAILURE(); });
    EXPECT_EQ(app->status.text, "请等待当前连接或切换完成");
    EXPECT_EQ(service.count("live/switch"), 0u);
}

} // namespace
} // namespace zarvo::testing
