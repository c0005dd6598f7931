// The route layer: which of the two API hosts service calls use, health probes of both, the user's
// pinned route, and the request pipeline every service call passes through. Main thread only;
// every completion arrives on the Loop.
#pragma once

#include "foundation/json.h"
#include "foundation/loop.h"
#include "foundation/time.h"
#include "foundation/user_defaults.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zarvo {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    HttpHeaders headers; // in the order they are sent
    std::optional<std::string> body;
    Duration timeout = seconds(60);
};

struct HttpResponse {
    int status = 0;
    HttpHeaders headers;
};

struct TransportError {
    std::string message;
    bool timedOut = false;
};

// (data, response, error): exactly one call per send.
using SendCompletion =
    std::function<void(std::optional<std::string> data, std::optional<HttpResponse> response,
                       std::optional<TransportError> error)>;
// Replaces the network in tests: receives each request and answers through the completion, on any
// thread, at any time.
using Sender = std::function<void(const HttpRequest& request, SendCompletion complete)>;
using Clock = std::function<WallTime()>;

// (json, error): a reply object, or a user-facing Chinese error text.
using RequestDone = std::function<void(std::optional<Json> json, std::optional<std::string> error)>;

// What became of a call, filled in while it runs: a caller whose next step depends on whether
// anything reached the service reads it (also before done).
struct RequestTrace {
    int attempts = 0;      // requests that went out
    bool answered = false; // the last attempt got the server's own answer (2xx object, 3xx, 4xx)
};

struct RequestOptions {
    // A write that must reach the service (the stop at quit): an attempt that fails on the route
    // (5xx, dropped connection, time-out) is sent again on the other route after a short back-off,
    // until one is answered or the call's budget ends. A server's refusal (4xx) is final.
    bool repeatUntilAnswered = false;
    std::shared_ptr<RequestTrace> trace;
};

class RouteTransport {
public:
    // `clock` defaults to the loop's wall clock; `injected`, when set, replaces the network.
    RouteTransport(Loop& loop, UserDefaults& defaults, Clock clock = {}, Sender injected = {});
    ~RouteTransport();

    void check();
    void select(const std::string& mode);
    Json snapshot() const;
    // One health probe of a route ("/health"); the route layer's own building block, public for
    // diagnostics and tests. done(healthy) is called exactly once, on the loop.
    void probe(const std::string& route, std::function<void(bool healthy)> done);

    // A service call under "/api/v1/": body none is a GET, an object is a POST.
    void request(const std::string& path, std::optional<Json> body,
                 std::optional<std::string> token, RequestDone done, RequestOptions options = {});

    // Told of every 401 the service answers to a call that carried `token`, before that call's
    // own completion: the credential is no longer accepted, whatever the call was.
    using UnauthorizedHandler =
        std::function<void(const std::string& token, const std::string& detail)>;
    void setUnauthorizedHandler(UnauthorizedHandler handler);

    // Route state, readable for the studio and tests.
    int64_t sequence() const;
    int64_t routeRevision() const;
    const std::string& mode() const;
    const std::string& activeRoute() const;
    bool confirmed() const;
    bool switching() const;
    const std::string& lastError() const;

private:
    struct State;
    // Shared so that replies arriving after destruction find it gone instead of dangling.
    std::shared_ptr<State> state_;
};

} // namespace zarvo
