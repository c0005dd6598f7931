#include "app/session_presentation.h"

#include <algorithm>
#include <array>
#include <utility>

namespace zarvo::SessionPresentation {
namespace {

constexpr std::array<std::string_view, 4> kStartable = {"IDLE", "ENDED", "STOPPED", "FAILED"};

constexpr std::array<std::pair<std::string_view, std::string_view>, 10> kTitles = {{
    {"IDLE", "未开启 AI"},
    {"RESERVED", "额度已预留 · 正在准备"},
    {"CREATING", "正在创建 AI 会话"},
    {"CREATED", "连接中"},
    {"RUNNING", "AI 运行中"},
    {"STOPPING", "正在停止"},
    {"RECONCILE_REQUIRED", "等待结算"},
    {"ENDED", "本次已结算"},
    {"STOPPED", "状态待核对"},
    {"FAILED", "连接失败 · 请检查后重试"},
}};

constexpr std::string_view kUncertain =
    "AI 连接未完成，后台正在核对是否产生消费；请先停止并等待结算，不要重复开启";

constexpr std::array<std::pair<std::string_view, std::string_view>, 5> kErrors = {{
    {"insufficient balance", "积分不足，请充值后重试；不会自动开启 AI"},
    {"no verified capacity", "上游账号暂无可用额度或并发名额，请稍后重试或联系管理员"},
    {"uncertain session", kUncertain},
    {"ai connection failed", kUncertain},
    {"invalid editing", "参考图片或编辑模式无效，请重新选择图片"},
}};

template <size_t N> bool contains(const std::array<std::string_view, N>& set, std::string_view s) {
    return std::find(set.begin(), set.end(), s) != set.end();
}

// Service texts are ASCII where they matter; other bytes (UTF-8) pass through unchanged.
std::string lowerCased(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

} // namespace

std::string upperCased(std::string_view state) {
    std::string out(state);
    for (char& c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return out;
}

bool canStart(std::string_view state) { return contains(kStartable, upperCased(state)); }

std::string title(std::string_view state, bool connecting, bool stopping) {
    if (state == "RECONCILE_REQUIRED")
        return "等待结算";
    if (stopping && !canStart(state))
        return "正在停止";
    if (connecting)
        return "连接中";
    for (const auto& [name, text] : kTitles)
        if (name == state)
            return std::string(text);
    return "状态待核对";
}

std::string friendlyError(std::string_view text) {
    std::string lower = lowerCased(text);
    for (const auto& [needle, message] : kErrors)
        if (lower.find(needle) != std::string::npos)
            return std::string(message);
    return std::string(text);
}

bool isWindingDown(std::string_view state) {
    return state == "STOPPING" || state == "RECONCILE_REQUIRED";
}
bool isFinished(std::string_view state) {
    return state == "ENDED" || state == "STOPPED" || state == "FAILED";
}
bool isIdle(std::string_view state) {
    return state == "ENDED" || state == "FAILED" || state == "IDLE";
}

} // namespace zarvo::SessionPresentation
