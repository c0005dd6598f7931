// A placeholder for the service's business logic: one account (the development token), no real
// sessions. Every endpoint answers well-formed JSON of the agreed shape, so the client's pipeline
// can be exercised before the real accounts and billing are plugged in with setApiHandler.
#pragma once

#include "devservice/api_handler.h"

#include <string>

namespace zarvo::devservice {

class StubApi final : public ApiHandler {
public:
    explicit StubApi(std::string acceptedToken) : token_(std::move(acceptedToken)) {}
    ApiResponse handle(const ApiRequest& request) override;

private:
    std::string token_;
};

} // namespace zarvo::devservice
