// A scripted stand-in for the service behind RouteTransport's injected sender: answers per path,
// can delay or hold replies, and records every request. Loop thread only.
#pragma once

#include "foundation/json.h"
#include "foundation/loop.h"
#include "service/route_transport.h"

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zarvo::testing {

struct ScriptedReply {
    int status = 200;
    std::optional<std::string> body;     // none: no body
    std::optional<TransportError> error; // a transport failure instead of a response
    Duration delay{0};

    static ScriptedReply json(const Json& body, int status = 200);
    static ScriptedReply failure(std::string message = "unreachable");
};

struct RecordedRequest {
    std::string path; // after "/api/v1/", or "/health" for a probe
    HttpRequest request;
    std::optional<Json> body() const;
};

class ScriptedService {
public:
    explicit ScriptedService(Loop& loop);

    Sender sender();

    // Every later request to `path` gets `reply` (after the queued ones).
    void answer(const std::string& path, ScriptedReply reply);
    void answer(const std::string& path, const Json& body) {
        answer(path, ScriptedReply::json(body));
    }
    // The next request to `path` gets `reply`; several queue up in order.
    void answerOnce(const std::string& path, ScriptedReply reply);
    // Requests to `path` wait until released.
    void hold(const std::string& path);
    bool holds(const std::string& path) const {
        auto it = holding_.find(path);
        return it != holding_.end() && it->second;
    }
    // Answers the held requests of `path` (with `reply`, else the path's reply) and stops holding.
    size_t release(const std::string& path, std::optional<ScriptedReply> reply = std::nullopt);

    // Sees every request first (after it is recorded); returning true means it answers through
    // `complete` itself. Lets a test model a service whose answers depend on what came before.
    using Interceptor = std::function<bool(const RecordedRequest&, SendCompletion&)>;
    void intercept(Interceptor interceptor) { interceptor_ = std::move(interceptor); }

    const std::vector<RecordedRequest>& requests() const { return requests_; }
    size_t count(const std::string& path) const;
    const RecordedRequest* last(const std::string& path) const;

private:
    struct Held {
        std::string path;
        SendCompletion complete;
    };
    ScriptedReply replyFor(const std::string& path);
    void deliver(SendCompletion complete, ScriptedReply reply);
    void receive(const HttpRequest& request, SendCompletion complete);

    Loop& loop_;
    std::map<std::string, ScriptedReply> replies_;
    std::map<std::string, std::deque<ScriptedReply>> once_;
    std::map<std::string, bool> holding_;
    std::vector<Held> held_;
    std::vector<RecordedRequest> requests_;
    std::vector<TimerHandle> delayed_;
    Interceptor interceptor_;
};

} // namespace zarvo::testing
