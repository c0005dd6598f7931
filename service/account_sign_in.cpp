#include "service/account_sign_in.h"

#include <cctype>

namespace zarvo {
namespace {

const char* const kBadReply = "服务返回的登录信息无效，请重试";

// A token goes into an Authorization header: one line of printable ASCII.
bool plausibleToken(const std::string& token) {
    if (token.empty() || token.size() > 4096)
        return false;
    for (unsigned char c : token)
        if (c < 0x21 || c > 0x7e)
            return false;
    return true;
}

} // namespace

std::string normalizedPhone(const std::string& typed) {
    std::string digits;
    for (char c : typed)
        if (c != ' ' && c != '-')
            digits += c;
    if (digits.starts_with("+86"))
        digits.erase(0, 3);
    return digits;
}

void requestSignInCode(RouteTransport& routes, const std::string& phone,
                       std::function<void(std::optional<std::string>)> done) {
    routes.request(
        "auth/code", Json{{"phone", normalizedPhone(phone)}}, std::nullopt,
        [done = std::move(done)](std::optional<Json> json, std::optional<std::string> error) {
            done(json ? std::nullopt : std::move(error));
        });
}

void signInWithCode(RouteTransport& routes, const std::string& phone, const std::string& code,
                    std::function<void(std::optional<SignedIn>, std::optional<std::string>)> done) {
    routes.request(
        "auth/login", Json{{"phone", normalizedPhone(phone)}, {"code", code}}, std::nullopt,
        [done = std::move(done)](std::optional<Json> json, std::optional<std::string> error) {
            if (!json) {
                done(std::nullopt, std::move(error));
                return;
            }
            SignedIn signedIn{jsonString(*json, "token", ""),
                              jsonString(*json, "masked_phone", "")};
            if (!plausibleToken(signedIn.token)) {
                done(std::nullopt, std::string(kBadReply));
                return;
            }
            done(std::move(signedIn), std::nullopt);
        });
}

void signOutOfService(RouteTransport& routes, const std::string& token,
                      std::function<void(std::optional<std::string>)> done) {
    routes.request(
        "auth/logout", Json::object(), token,
        [done = std::move(done)](std::optional<Json> json, std::optional<std::string> error) {
            done(json ? std::nullopt : std::move(error));
        });
}

} // namespace zarvo
