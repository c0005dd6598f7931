// The JSON API of accounts and sessions: request checks, the session calls and the account pages.
#include "devservice/billing/billing_internal.h"
#include "devservice/billing/jpeg_data_url.h"
#include "foundation/encoding.h"

#include <algorithm>
#include <cstdio>

namespace zarvo::devservice {

using namespace billing;

namespace {

ApiResponse reply(int status, Json body) {
    return ApiResponse{status, std::move(body)};
}
ApiResponse refuse(int status, std::string_view detail) {
    return ApiResponse{status, errorBody(detail)};
}

std::optional<std::string> queryValue(const ApiRequest& request, std::string_view name) {
    for (const auto& [key, value] : request.query)
        if (key == name)
            return value;
    return std::nullopt;
}

// A positive decimal number small enough to page with; none for anything else.
std::optional<int64_t> positiveNumber(const std::string& text) {
    if (text.empty() || text.size() > 9 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    int64_t value = std::stoll(text);
    return value >= 1 ? std::optional<int64_t>(value) : std::nullopt;
}

struct Paging {
    int64_t page = 1;
    int64_t pageSize = 20;
};

std::optional<Paging> paging(const ApiRequest& request, int64_t defaultSize, int64_t maxSize,
                             std::string& problem) {
    Paging result{1, defaultSize};
    if (auto page = queryValue(request, "page")) {
        auto number = positiveNumber(*page);
        if (!number) {
            problem = "页码无效：应为从 1 开始的整数";
            return std::nullopt;
        }
        result.page = *number;
    }
    if (auto size = queryValue(request, "page_size")) {
        auto number = positiveNumber(*size);
        if (!number || *number > maxSize) {
            problem = "每页条数无效：应为 1 到 " + std::to_string(maxSize);
            return std::nullopt;
        }
        result.pageSize = *number;
    }
    return result;
}

// Newest first: `count` items, `itemAt(i)` the i-th oldest.
template <class ItemAt> Json pageOf(const Paging& paging, int64_t count, ItemAt itemAt) {
    Json items = Json::array();
    int64_t first = (paging.page - 1) * paging.pageSize;
    for (int64_t i = first; i < count && i < first + paging.pageSize; ++i)
        items.push_back(itemAt(count - 1 - i));
    int64_t totalPages = (count + paging.pageSize - 1) / paging.pageSize;
    return Json{{"page", paging.page},
                {"page_size", paging.pageSize},
                {"total", count},
                {"total_pages", totalPages},
                {"has_more", paging.page < totalPages},
                {"items", std::move(items)}};
}

} // namespace

ApiResponse BillingService::handle(const ApiRequest& request) {
    try {
        std::lock_guard lock(mutex_);
        ApiResponse response = route(request);
        // A billed second reaches the client only once it is on disk: a crash right after this
        // answer must not reconcile less than it said. At most one write per billed second.
        if (counterSavePending_)
            saveSnapshot();
        return response;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "zarvo-devservice: %s %s failed: %s\n", request.method.c_str(),
                     request.path.c_str(), error.what());
        return refuse(500, "internal error");
    }
}

ApiResponse BillingService::route(const ApiRequest& request) {
    if (request.body.size() > config_.maxBodyBytes)
        return refuse(413, "请求内容过大");
    // Signing in is the one thing done without a token.
    if (request.path == "auth/code" || request.path == "auth/login") {
        if (request.method != "POST")
            return refuse(405, "method not allowed");
        auto parsed = parseJsonObject(request.body);
        if (!parsed)
            return refuse(400, "请求格式不正确");
        return request.path == "auth/code" ? authCode(*parsed) : authLogin(*parsed);
    }
    std::string refusal;
    Account* account = accountForToken(request.bearerToken, &refusal);
    if (!account)
        return refuse(401, refusal);
    if (request.path == "auth/logout") {
        if (request.method != "POST")
            return refuse(405, "method not allowed");
        return authLogout(request.bearerToken);
    }

    struct Call {
        std::string_view path;
        std::string_view method;
    };
    static constexpr Call calls[] = {
        {"live/current", "GET"},           {"live/start", "POST"},
        {"live/switch", "POST"},           {"live/stop", "POST"},
        {"client/state", "GET"},           {"client/billing", "GET"},
        {"client/session-billing", "GET"},
    };
    auto call = std::find_if(std::begin(calls), std::end(calls),
                             [&](const Call& c) { return c.path == request.path; });
    if (call == std::end(calls))
        return refuse(404, "not found");
    if (call->method != request.method)
        return refuse(405, "method not allowed");

    Json body = Json::object();
    if (request.method == "POST") {
        bool emptyAllowed = request.path == "live/stop";
        if (!(emptyAllowed && request.body.empty())) {
            auto parsed = parseJsonObject(request.body);
            if (!parsed)
                return refuse(400, "invalid JSON body: expected an object");
            body = std::move(*parsed);
        }
    }

    if (request.path == "live/current")
        return liveCurrent(*account);
    if (request.path == "live/start")
        return liveStart(*account, body);
    if (request.path == "live/switch")
        return liveSwitch(*account, body);
    if (request.path == "live/stop")
        return liveStop(*account);
    if (request.path == "client/state")
        return clientState(*account);
    if (request.path == "client/billing")
        return billingPage(*account, request);
    return sessionBillingPage(*account, request);
}

Json BillingService::startReply(const Session& session) const {
    Json reply{
        {"session_id", session.id},
        {"state", session.state},
        {"rtc",
         {{"token", session.rtc.token},
          {"channel_id", session.rtc.channelID},
          {"user_id", session.rtc.userID}}},
        {"render_uid", session.renderUID},
        {"reserved_points", session.reserved()},
        {"reserved_paid_points", session.reservedPaid},
        {"reserved_gift_points", session.reservedGift},
    };
    if (!config_.iceServers.empty())
        reply["rtc"]["ice_servers"] = config_.iceServers;
    return reply;
}

ApiResponse BillingService::liveCurrent(Account& account) {
    Session* session = account.current();
    if (!session)
        return reply(200, Json{{"state", "IDLE"}, {"session_id", nullptr}});
    // The client's poll is its heartbeat.
    if (isLive(session->state))
        session->lastHeartbeat = loop_.uptime();
    Json body{{"state", session->state},
              {"session_id", session->id},
              {"elapsed_seconds", session->elapsedSeconds}};
    if (session->switchError)
        body["switch_error"] = {{"seq_id", session->switchError->seqID},
                                {"error_code", session->switchError->errorCode}};
    return reply(200, std::move(body));
}

ApiResponse BillingService::liveStart(Account& account, const Json& body) {
    auto key = jsonString(body, "idempotency_key");
    if (!key || key->empty() || key->size() > 200)
        return refuse(400, "idempotency_key required");
    // A repeated start (a retry after a lost reply) gets the session it already created.
    if (auto known = account.idempotency.find(*key); known != account.idempotency.end())
        if (Session* session = findSession(known->second))
            return reply(200, startReply(*session));

    Session* current = account.current();
    if (current && !isStartable(current->state))
        return refuse(409, "uncertain session: the previous session (" + current->state +
                               ") is still alive or awaiting settlement; stop it and wait");
    auto editingType = jsonString(body, "editing_type");
    if (!editingType || !isEditingType(*editingType))
        return refuse(422, "invalid editing: unknown editing_type");
    auto image = decodeJpegDataURL(jsonString(body, "image_url", ""), config_.maxImageBytes);
    if (!image)
        return refuse(422, "invalid editing: " + image.error().message);
    int64_t available = account.paid + account.gift;
    if (available < config_.minStartPoints)
        return refuse(402, "insufficient balance: " + std::to_string(config_.minStartPoints) +
                               " points are needed to start, " + std::to_string(available) +
                               " available");

    auto session = std::make_unique<Session>();
    session->id = "ses_" + randomHex(32);
    session->idempotencyKey = *key;
    session->editingType = *editingType;
    session->referenceJpeg = std::move(*image);
    session->renderUID = "ai_" + randomHex(12);
    session->rtc =
        RTCCredentials{"rtc_" + randomHex(40), "live_" + randomHex(16), "u_" + randomHex(12)};
    session->createdAt = loop_.now();
    session->lastHeartbeat = loop_.uptime();
    // The hold takes gift points first, the order in which they are also spent.
    int64_t reserve = std::min(available, config_.maxReservationPoints);
    session->reservedGift = std::min(account.gift, reserve);
    session->reservedPaid = reserve - session->reservedGift;
    account.gift -= session->reservedGift;
    account.paid -= session->reservedPaid;
    account.reservedGift += session->reservedGift;
    account.reservedPaid += session->reservedPaid;
    account.idempotency[*key] = session->id;
    account.sessions.push_back(std::move(session));

    Session& started = *account.sessions.back();
    scheduleStep(started);
    Account* owner = &account;
    started.heartbeatTimer = loop_.postDelayed(config_.heartbeatTimeout, [this, owner, &started] {
        std::lock_guard lock(mutex_);
        checkHeartbeat(*owner, started);
    });
    saveSnapshot();
    return reply(200, startReply(started));
}

ApiResponse BillingService::liveSwitch(Account& account, const Json& body) {
    auto key = jsonString(body, "idempotency_key");
    if (!key || key->empty() || key->size() > 200)
        return refuse(400, "idempotency_key required");
    Session* session = account.current();
    // Any live state: a mode changed right after the start is kept, and the participant takes
    // the newest media when it joins.
    if (!session || !isLive(session->state))
        return refuse(409, "当前没有可切换的 AI 会话，请先开启 AI");
    if (auto known = session->switchKeys.find(*key); known != session->switchKeys.end())
        return reply(
            200,
            Json{{"status", "submitted"}, {"session_id", session->id}, {"seq_id", known->second}});
    auto editingType = jsonString(body, "editing_type");
    if (!editingType || !isEditingType(*editingType))
        return refuse(422, "invalid editing: unknown editing_type");
    auto image = decodeJpegDataURL(jsonString(body, "image_url", ""), config_.maxImageBytes);
    if (!image)
        return refuse(422, "invalid editing: " + image.error().message);

    int64_t seq = ++session->switchSeq;
    session->switchKeys[*key] = seq;
    if (!pendingSwitchFailures_.empty()) {
        session->switchError = SwitchError{seq, pendingSwitchFailures_.front()};
        pendingSwitchFailures_.erase(pendingSwitchFailures_.begin());
    } else {
        session->editingType = *editingType;
        session->referenceJpeg = std::move(*image);
        session->mediaSeq = seq;
        notify(SessionEventKind::Switched, *session);
    }
    saveSnapshot();
    return reply(200, Json{{"status", "submitted"}, {"session_id", session->id}, {"seq_id", seq}});
}

ApiResponse BillingService::liveStop(Account& account) {
    Session* session = account.current();
    if (!session)
        return reply(200, Json{{"status", "idle"}, {"session_id", nullptr}, {"state", "IDLE"}});
    if (isLive(session->state))
        endSession(account, *session, "client_stop", "ENDED");
    bool settled = isStartable(session->state);
    return reply(200, Json{{"status", settled ? "idle" : "stopping"},
                           {"session_id", session->id},
                           {"state", session->state}});
}

ApiResponse BillingService::clientState(const Account& account) const {
    const Session* s = account.current();
    int64_t available = account.paid + account.gift;
    int64_t reserved = account.reservedPaid + account.reservedGift;
    bool confirmed = s && s->confirmed;
    // Unsettled consumption is still inside the hold; settled consumption has left the account.
    int64_t openPaid = s && !confirmed ? s->consumedPaid : 0;
    int64_t openGift = s && !confirmed ? s->consumedGift : 0;
    int64_t window = s && !confirmed ? std::max<int64_t>(0, s->reserved() - s->consumed())
                                     : std::min(available, config_.maxReservationPoints);
    Json body{
        {"available_points", available},
        {"available_paid_points", account.paid},
        {"available_gift_points", account.gift},
        {"reserved_points", reserved},
        {"reserved_paid_points", account.reservedPaid},
        {"reserved_gift_points", account.reservedGift},
        {"session_id", s ? Json(s->id) : Json(nullptr)},
        {"session_state", s ? s->state : std::string("IDLE")},
        {"session_running", s && s->billing},
        {"session_elapsed_seconds", s ? s->elapsedSeconds : 0},
        {"estimated_consumed_points", s ? s->consumed() : 0},
        {"estimated_consumed_paid_points", s ? s->consumedPaid : 0},
        {"estimated_consumed_gift_points", s ? s->consumedGift : 0},
        {"estimated_remaining_points", available + reserved - openPaid - openGift},
        {"estimated_remaining_paid_points", account.paid + account.reservedPaid - openPaid},
        {"estimated_remaining_gift_points", account.gift + account.reservedGift - openGift},
        {"safe_start_seconds", window},
        {"confirmed_bill", confirmed ? Json(s->consumed()) : Json(nullptr)},
        {"bill_confirmed", confirmed},
        {"actual_consumed_paid_points", confirmed ? s->consumedPaid : 0},
        {"actual_consumed_gift_points", confirmed ? s->consumedGift : 0},
        {"min_start_points", config_.minStartPoints},
        {"points_per_second", 1},
    };
    return reply(200, std::move(body));
}

ApiResponse BillingService::billingPage(const Account& account, const ApiRequest& request) const {
    std::string problem;
    auto pages = paging(request, config_.billingPageSize, config_.maxPageSize, problem);
    if (!pages)
        return refuse(400, problem);
    const auto& ledger = account.ledger;
    return reply(200, pageOf(*pages, static_cast<int64_t>(ledger.size()),
                             [&](int64_t i) { return ledger[static_cast<size_t>(i)]; }));
}

ApiResponse BillingService::sessionBillingPage(const Account& account,
                                               const ApiRequest& request) const {
    std::string problem;
    auto pages = paging(request, config_.billingPageSize, config_.maxPageSize, problem);
    if (!pages)
        return refuse(400, problem);
    const auto& sessions = account.sessions;
    return reply(200, pageOf(*pages, static_cast<int64_t>(sessions.size()), [&](int64_t i) {
                     return sessionRecord(*sessions[static_cast<size_t>(i)]);
                 }));
}

} // namespace zarvo::devservice
