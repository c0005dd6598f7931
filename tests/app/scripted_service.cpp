#include "scripted_service.h"

namespace zarvo::testing {

ScriptedReply ScriptedReply::json(const Json& body, int status) {
    ScriptedReply reply;
    reply.status = status;
    reply.body = body.dump();
    return reply;
}

ScriptedReply ScriptedReply::failure(std::string message) {
    ScriptedReply reply;
    reply.error = TransportError{std::move(message), false};
    return reply;
}

std::optional<Json> RecordedRequest::body() const {
    return request.body ? parseJsonObject(*request.body) : std::nullopt;
}

ScriptedService::ScriptedService(Loop& loop) : loop_(loop) {
    replies_["/health"] = ScriptedReply::json({{"status", "ok"}, {"product", "Zarvo"}});
}

Sender ScriptedService::sender() {
    return [this](const HttpRequest& request, SendCompletion complete) {
        receive(request, std::move(complete));
    };
}

void ScriptedService::answer(const std::string& path, ScriptedReply reply) {
    replies_[path] = std::move(reply);
}

void ScriptedService::answerOnce(const std::string& path, ScriptedReply reply) {
    once_[path].push_back(std::move(reply));
}

void ScriptedService::hold(const std::string& path) {
    holding_[path] = true;
}

size_t ScriptedService::release(const std::string& path, std::optional<ScriptedReply> reply) {
    holding_[path] = false;
    std::vector<Held> waiting;
    for (auto it = held_.begin(); it != held_.end();) {
        if (it->path == path) {
            waiting.push_back(std::move(*it));
            it = held_.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& entry : waiting)
        deliver(std::move(entry.complete), reply ? *reply : replyFor(path));
    return waiting.size();
}

size_t ScriptedService::count(const std::string& path) const {
    size_t n = 0;
    for (const auto& request : requests_)
        n += request.path == path;
    return n;
}

const RecordedRequest* ScriptedService::last(const std::string& path) const {
    for (auto it = requests_.rbegin(); it != requests_.rend(); ++it)
        if (it->path == path)
            return &*it;
    return nullptr;
}

ScriptedReply ScriptedService::replyFor(const std::string& path) {
    if (auto queued = once_.find(path); queued != once_.end() && !queued->second.empty()) {
        ScriptedReply reply = std::move(queued->second.front());
        queued->second.pop_front();
        return reply;
    }
    if (auto it = replies_.find(path); it != replies_.end())
        return it->second;
    return ScriptedReply::json({{"detail", "not found"}}, 404);
}

void ScriptedService::receive(const HttpRequest& request, SendCompletion complete) {
    std::string path = request.url;
    if (auto api = path.find("/api/v1/"); api != std::string::npos)
        path = path.substr(api + 8);
    else if (auto scheme = path.find("://"); scheme != std::string::npos)
        path = path.substr(path.find('/', scheme + 3));
    requests_.push_back({path, request});
    if (interceptor_ && interceptor_(RecordedRequest(requests_.back()), complete))
        return;
    if (holding_[path]) {
        held_.push_back({path, std::move(complete)});
        return;
    }
    deliver(std::move(complete), replyFor(path));
}

// Replies always arrive later on the loop, as a network reply would.
void ScriptedService::deliver(SendCompletion complete, ScriptedReply reply) {
    auto task = [complete = std::move(complete), reply] {
        if (reply.error)
            complete(std::nullopt, std::nullopt, reply.error);
        else
            complete(reply.body, HttpResponse{reply.status, {}}, std::nullopt);
    };
    if (reply.delay > Duration(0))
        delayed_.push_back(loop_.postDelayed(reply.delay, std::move(task)));
    else
        loop_.post(std::move(task));
}

} // namespace zarvo::testing
