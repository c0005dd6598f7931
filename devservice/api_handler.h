// The seam between the stand-in's HTTPS front and the service it stands in for: the front parses
// requests and hands every call under "/api/v1/" to a handler, on the server's main loop.
#pragma once

#include "foundation/json.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zarvo::devservice {

struct ApiRequest {
    std::string host;   // "primary" or "secondary"
    std::string method; // "GET", "POST", ...
    std::string path;   // after "/api/v1/", without the query: "live/start"
    std::vector<std::pair<std::string, std::string>> query;   // decoded query parameters
    std::vector<std::pair<std::string, std::string>> headers; // in the order received
    std::string body;
    std::string bearerToken; // from "Authorization: Bearer …", empty when absent
};

struct ApiResponse {
    int status = 200;
    Json body = Json::object();
};

class ApiHandler {
public:
    virtual ~ApiHandler() = default;
    virtual ApiResponse handle(const ApiRequest& request) = 0;
    // The handler's share of the admin endpoint (already authorised); none: not its path.
    virtual std::optional<ApiResponse>
    handleAdmin(const std::string& method, const std::string& path, const std::string& body) {
        (void)method, (void)path, (void)body;
        return std::nullopt;
    }
};

} // namespace zarvo::devservice
