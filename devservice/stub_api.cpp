#include "devservice/stub_api.h"

#include "foundation/encoding.h"

namespace zarvo::devservice {
namespace {

ApiResponse refuse(int status, const std::string& detail) {
    return {status, {{"detail", detail}}};
}

std::string query(const ApiRequest& request, const std::string& key, const std::string& fallback) {
    for (const auto& [k, v] : request.query)
        if (k == key)
            return v;
    return fallback;
}

Json page(const ApiRequest& request) {
    int64_t number = 1;
    try {
        number = std::max<int64_t>(1, std::stoll(query(request, "page", "1")));
    } catch (...) {
    }
    return Json{{"page", number},
                {"page_size", 20},
                {"total", 0},
                {"items", Json::array()},
                {"has_more", false}};
}

} // namespace

ApiResponse StubApi::handle(const ApiRequest& request) {
    if (request.bearerToken != token_)
        return refuse(401, "登录状态已失效，请重新登录");
    const std::string& p = request.path;
    bool get = request.method == "GET";
    bool post = request.method == "POST";
    if (get && p == "live/current")
        return {200,
                {{"state", "IDLE"},
                 {"session_id", ""},
                 {"switch_error", {{"seq_id", 0}, {"error_code", ""}}}}};
    if (post && p == "live/start")
        return {200,
                {{"session_id", randomUuid()},
                 {"state", "RESERVED"},
                 {"rtc", {{"token", "stub"}, {"channel_id", "stub"}, {"user_id", 1}}},
                 {"render_uid", 2}}};
    if (post && p == "live/switch")
        return {200, {{"status", "submitted"}}};
    if (post && p == "live/stop")
        return {200, {{"status", "stopped"}}};
    if (get && p == "client/state")
        return {200,
                {{"available_points", 3600},
                 {"reserved_points", 0},
                 {"session_state", "IDLE"},
                 {"session_running", false},
                 {"session_elapsed_seconds", 0},
                 {"estimated_consumed_points", 0},
                 {"confirmed_bill", nullptr},
                 {"min_start_points", 10}}};
    if (get && (p == "client/billing" || p == "client/session-billing"))
        return {200, page(request)};
    return refuse(404, "接口不存在");
}

} // namespace zarvo::devservice
