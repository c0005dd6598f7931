// Sign-in by phone number and one-time code. The stand-in sends no text messages: a code goes to
// an outbox the admin endpoint lists and into the program's log.
#include "devservice/billing/billing_internal.h"

#include "foundation/encoding.h"

#include <algorithm>
#include <cstdio>

namespace zarvo::devservice {

using namespace billing;

namespace billing {

bool isPhoneNumber(std::string_view phone) {
    return phone.size() == 11 && phone[0] == '1' && phone[1] >= '3' && phone[1] <= '9' &&
           std::all_of(phone.begin(), phone.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string maskedPhone(std::string_view phone) {
    if (phone.size() < 7)
        return std::string(phone);
    return std::string(phone.substr(0, 3)) + "****" + std::string(phone.substr(phone.size() - 4));
}

} // namespace billing

namespace {

ApiResponse refuse(int status, std::string_view detail) {
    return ApiResponse{status, errorBody(detail)};
}

// Six decimal digits from the kernel's random source (the modulo bias of 2^32 is negligible).
std::string sixDigits() {
    uint32_t value = static_cast<uint32_t>(std::stoul(randomHex(8), nullptr, 16));
    char text[8];
    std::snprintf(text, sizeof text, "%06u", value % 1000000u);
    return text;
}

} // namespace

BillingService::Account* BillingService::accountForPhone(const std::string& phone) {
    for (auto& account : accounts_)
        if (account->phone == phone)
            return account.get();
    return nullptr;
}

ApiResponse BillingService::authCode(const Json& body) {
    std::string phone = jsonString(body, "phone", "");
    if (!isPhoneNumber(phone))
        return refuse(400, "手机号格式不正确，请输入 11 位手机号");
    Duration now = loop_.uptime();
    CodeState& state = codes_[phone];
    std::erase_if(state.recentSends, [&](Duration at) { return now - at >= seconds(3600); });
    if (!state.recentSends.empty() && now - state.recentSends.back() < config_.codeInterval) {
        auto wait = config_.codeInterval - (now - state.recentSends.back());
        int64_t left = static_cast<int64_t>(toSeconds(wait) + 0.999);
        return refuse(429, "验证码发送过于频繁，请 " + std::to_string(left) + " 秒后再试");
    }
    if (static_cast<int64_t>(state.recentSends.size()) >= config_.codesPerHour)
        return refuse(429, "该号码获取验证码次数过多，请一小时后再试");
    state.code = sixDigits();
    state.sentAt = now;
    state.wrongAttempts = 0;
    state.used = false;
    state.recentSends.push_back(now);
    outbox_.push_back(SentCode{phone, state.code, loop_.now()});
    std::fprintf(stderr, "zarvo-devservice: sign-in code for %s: %s\n", phone.c_str(),
                 state.code.c_str());
    return ApiResponse{200, Json{{"status", "sent"},
                                 {"resend_after_seconds", toSeconds(config_.codeInterval)},
                                 {"expires_in_seconds", toSeconds(config_.codeLifetime)}}};
}

ApiResponse BillingService::authLogin(const Json& body) {
    std::string phone = jsonString(body, "phone", "");
    std::string code = jsonString(body, "code", "");
    if (!isPhoneNumber(phone))
        return refuse(400, "手机号格式不正确，请输入 11 位手机号");
    auto it = codes_.find(phone);
    if (it == codes_.end() || it->second.code.empty() || it->second.used)
        return refuse(400, "请先获取验证码");
    CodeState& state = it->second;
    if (loop_.uptime() - state.sentAt >= config_.codeLifetime)
        return refuse(400, "验证码已过期，请重新获取");
    if (state.wrongAttempts >= config_.codeAttempts)
        return refuse(400, "验证码错误次数过多，请重新获取");
    if (!constantTimeEquals(state.code, code)) {
        ++state.wrongAttempts;
        int64_t left = config_.codeAttempts - state.wrongAttempts;
        if (left <= 0)
            return refuse(400, "验证码错误次数过多，请重新获取");
        return refuse(400, "验证码错误，还可尝试 " + std::to_string(left) + " 次");
    }
    state.used = true;
    Account* account = accountForPhone(phone);
    if (!account) {
        BillingAccountConfig fresh;
        fresh.token = "zacct_" + randomHex(32); // the account's own key, never handed out
        fresh.name = maskedPhone(phone);
        fresh.paidPoints = 0;
        fresh.giftPoints = config_.newAccountGiftPoints;
        account = &createAccount(fresh);
        account->phone = phone;
    }
    SignIn signIn{"zsig_" + randomHex(48), loop_.now(), false};
    account->signIns.push_back(signIn);
    saveSnapshot();
    return ApiResponse{200, Json{{"token", signIn.token}, {"masked_phone", maskedPhone(phone)}}};
}

ApiResponse BillingService::authLogout(const std::string& token) {
    // A configured account's token is not a sign-in: there is nothing to end for it.
    for (auto& account : accounts_)
        for (auto& s : account->signIns)
            if (constantTimeEquals(s.token, token))
                s.revoked = true;
    saveSnapshot();
    return ApiResponse{200, Json{{"status", "signed_out"}}};
}

std::vector<SentCode> BillingService::outbox() const {
    std::lock_guard lock(mutex_);
    return outbox_;
}

bool BillingService::revokeToken(const std::string& token) {
    std::lock_guard lock(mutex_);
    bool found = false;
    for (auto& account : accounts_)
        for (auto& s : account->signIns)
            if (!token.empty() && constantTimeEquals(s.token, token) && !s.revoked)
                found = s.revoked = true;
    if (found)
        saveSnapshot();
    return found;
}

bool BillingService::revokePhone(const std::string& phone) {
    std::lock_guard lock(mutex_);
    bool found = false;
    if (Account* account = accountForPhone(phone))
        for (auto& s : account->signIns)
            if (!s.revoked)
                found = s.revoked = true;
    if (found)
        saveSnapshot();
    return found;
}

std::optional<ApiResponse> BillingService::handleAdmin(const std::string& method,
                                                       const std::string& path,
                                                       const std::string& body) {
    if (path == "/auth/outbox" && method == "GET") {
        Json list = Json::array();
        for (const auto& sent : outbox())
            list.push_back(Json{{"phone", sent.phone},
                                {"code", sent.code},
                                {"sent_at", formatIso8601(sent.sentAt)}});
        return ApiResponse{200, list};
    }
    if (path == "/auth/revoke" && method == "POST") {
        auto json = parseJsonObject(body);
        if (!json)
            return refuse(400, "expected {\"token\"} or {\"phone\"}");
        bool revoked = false;
        if (auto token = jsonString(*json, "token"))
            revoked = revokeToken(*token);
        else if (auto phone = jsonString(*json, "phone"))
            revoked = revokePhone(*phone);
        else
            return refuse(400, "expected {\"token\"} or {\"phone\"}");
        return ApiResponse{revoked ? 200 : 404, Json{{"revoked", revoked}}};
    }
    return std::nullopt;
}

} // namespace zarvo::devservice
