// Signing in to the service with a phone number and a one-time code, and signing out. These calls
// go through the route layer like every other service call; only "auth/logout" carries a token.
//
// | Call | Sent | Relied on in the reply |
// |---|---|---|
// | POST "auth/code" | "phone" | success, or a "detail" to show (bad number, too soon, too many) |
// | POST "auth/login" | "phone", "code" | "token" and "masked_phone" ("138****0000") |
// | POST "auth/logout" | empty object, with the token | success or failure only |
//
// Any account-bound call answered with 401 means the token is unknown, expired or revoked.
#pragma once

#include "service/route_transport.h"

#include <functional>
#include <optional>
#include <string>

namespace zarvo {

struct SignedIn {
    std::string token;
    std::string maskedPhone;
};

// `done(error)`: none when the service sent the code; else the text to show.
void requestSignInCode(RouteTransport& routes, const std::string& phone,
                       std::function<void(std::optional<std::string> error)> done);
// `done(signedIn, error)`: exactly one of them is set.
void signInWithCode(
    RouteTransport& routes, const std::string& phone, const std::string& code,
    std::function<void(std::optional<SignedIn> signedIn, std::optional<std::string> error)> done);
// Revokes `token` on the service; `done(error)` as above.
void signOutOfService(RouteTransport& routes, const std::string& token,
                      std::function<void(std::optional<std::string> error)> done);

// Tidies what a person typed into a number: spaces, dashes and a leading "+86" go.
std::string normalizedPhone(const std::string& typed);

} // namespace zarvo
