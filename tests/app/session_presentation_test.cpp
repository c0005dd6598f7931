#include "app/session_presentation.h"

#include <gtest/gtest.h>

namespace zarvo {
namespace {

using namespace SessionPresentation;

TEST(SessionPresentation, StartableSetIsExactlyTheFourFinishedOrIdleStates) {
    for (const char* state : {"IDLE", "ENDED", "STOPPED", "FAILED", "ended", "Idle"})
        EXPECT_TRUE(canStart(state)) << state;
    for (const char* state : {"RESERVED", "CREATING", "CREATED", "RUNNING", "STOPPING",
                              "RECONCILE_REQUIRED", "", "PAUSED"})
        EXPECT_FALSE(canStart(state)) << state;
}

TEST(SessionPresentation, TitleRulesApplyInOrder) {
    EXPECT_EQ(title("RECONCILE_REQUIRED", true, true), "等待结算");
    EXPECT_EQ(title("RECONCILE_REQUIRED", false, false), "等待结算");
    EXPECT_EQ(title("RUNNING", false, true), "正在停止");
    EXPECT_EQ(title("ENDED", false, true), "本次已结算");
    EXPECT_EQ(title("IDLE", true, false), "连接中");
    EXPECT_EQ(title("RUNNING", true, true), "正在停止");
    EXPECT_EQ(title("STOPPED", false, false), "状态待核对");
    EXPECT_EQ(title("SOMETHING_NEW", false, false), "状态待核对");
    EXPECT_EQ(title("running", false, false), "状态待核对"); // callers upper-case first
    EXPECT_EQ(title("RESERVED", false, false), "额度已预留 · 正在准备");
    EXPECT_EQ(title("CREATING", false, false), "正在创建 AI 会话");
    EXPECT_EQ(title("CREATED", false, false), "连接中");
    EXPECT_EQ(title("RUNNING", false, false), "AI 运行中");
    EXPECT_EQ(title("FAILED", false, false), "连接失败 · 请检查后重试");
    EXPECT_EQ(title("IDLE", false, false), "未开启 AI");
}

TEST(SessionPresentation, FriendlyErrorMatchesCaseInsensitivelyFirstRowWins) {
    EXPECT_EQ(friendlyError("Insufficient BALANCE for start"),
              "积分不足，请充值后重试；不会自动开启 AI");
    const std::string settle =
        "AI 连接未完成，后台正在核对是否产生消费；请先停止并等待结算，不要重复开启";
    EXPECT_EQ(friendlyError("invalid editing; uncertain session"), settle);
    EXPECT_EQ(friendlyError("AI connection failed"), settle);
    EXPECT_EQ(friendlyError("no verified capacity"),
              "上游账号暂无可用额度或并发名额，请稍后重试或联系管理员");
    EXPECT_EQ(friendlyError("Invalid Editing type"), "参考图片或编辑模式无效，请重新选择图片");
    EXPECT_EQ(friendlyError("网络连接失败，请检查网络"), "网络连接失败，请检查网络");
    EXPECT_EQ(friendlyError(""), "");
}

} // namespace
} // namespace zarvo
