#include "service/route_transport.h"

#include "foundation/thread_check.h"
#include "service/service_endpoint.h"
#include "service/soup_http_client.h"

#include <glib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstring>

namespace zarvo {
namespace {

const std::array<std::string, 2> kRoutes = {"primary", "secondary"};
const char* const kModeKey = "networkRouteMode";

const char* const kUnreachable = "暂时无法连接服务，请检查网络后重试。";
const char* const kSelectFailed = "所选线路暂时无法连接，已保留原线路设置。";
const char* const kRouteWaitFailed = "暂时无法连接服务，请检测线路后重试";
const char* const kInvalidPath = "请求路径无效";
const char* const kInvalidBody = "请求数据无效";
const char* const kNetworkFailed = "网络连接失败，请检查网络";
const char* const kServiceUnavailable = "服务暂不可用";
const char* const kBusinessUnavailable = "业务连接暂不可用，积分以最后确认数据为准。";

// Characters a URL path and query may carry as they are; anything else would need escaping,
// which the callers' fixed paths never do.
bool isURLSafe(const std::string& path) {
    for (size_t i = 0; i < path.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(path[i]);
        if (std::isalnum(c) || std::strchr("-._~!$&'()*+,;=:@/?", c))
            continue;
        if (c == '%' && i + 2 < path.size() &&
            std::isxdigit(static_cast<unsigned char>(path[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(path[i + 2])))
            continue;
        return false;
    }
    return true;
}

bool isMode(const std::string& mode) {
    return mode == "auto" || mode == "primary" || mode == "secondary";
}

std::string originFor(const std::string& route) {
    return route == "secondary" ? ServiceEndpoint::secondaryOrigin() : ServiceEndpoint::origin();
}

int64_t elapsedMs(WallTime from, WallTime to) {
    double ms = std::trunc(std::chrono::duration<double, std::milli>(to - from).count());
    return ms <= 0 ? 0 : static_cast<int64_t>(ms);
}

Json observation(const std::string& route, bool healthy, int64_t latencyMs, WallTime at,
                 bool probe) {
    return Json{{"id", route},
                {"status", healthy ? "healthy" : "failed"},
                {"latencyMs", healthy ? latencyMs : -1},
                {"checkedAt", epochMilliseconds(at)},
                {"probe", probe}};
}

} // namespace

struct RouteTransport::State : std::enable_shared_from_this<State> {
    State(Loop& l, UserDefaults& d, Clock c, Sender s)
        : loop(l), defaults(d), clock(std::move(c)), injected(std::move(s)) {}

    Loop& loop;
    UserDefaults& defaults;
    Clock clock;
    Sender injected;
    int64_t sequence = 0;
    int64_t routeRevision = 0;
    std::map<std::string, int64_t> generations{{"primary", 0}, {"secondary", 0}};
    std::map<std::string, Json> observations;
    std::string mode = "auto";
    std::string activeRoute = "primary";
    bool confirmed = false;
    bool switching = false;
    std::string pendingMode;
    std::string lastError;
    std::unique_ptr<SoupHttpClient> session;
    RouteTransport::UnauthorizedHandler unauthorized;

    // One exchange: a watchdog at the request's time-out and exactly one completion, on the loop.
    void send(const HttpRequest& request, SendCompletion completion);
    void probe(const std::string& route, std::function<void(bool)> done);
    void check();
    void finishCheck(const std::map<std::string, bool>& results);
    void select(const std::string& newMode);

    struct Call; // one service call of the pipeline
    void request(const std::string& path, std::optional<Json> body,
                 std::optional<std::string> token, RequestDone done, RequestOptions options);
    void ready(Duration deadline, std::shared_ptr<Call> call);
    void requestReady(std::shared_ptr<Call> call);
    void attempt(std::shared_ptr<Call> call, const std::string& route, bool failover);
    void attempted(const std::shared_ptr<Call>& call, const std::string& route, bool failover,
                   WallTime attemptStart, std::optional<std::string> data,
                   std::optional<HttpResponse> response, std::optional<TransportError> error);
};

struct RouteTransport::State::Call {
    std::string path;
    std::optional<Json> body;
    std::optional<std::string> token;
    RequestDone done;
    RequestOptions options;
    int repeats = 0; // attempts sent again after a route failure
    int64_t sequence = 0;
    int64_t routeRevision = 0;
    double budget = 0;
    WallTime startedAt;
    TimerHandle wait; // the next step of ready()
};

// ---- send ----

namespace {

struct Exchange {
    bool done = false;
    TimerHandle watchdog;
    std::function<void()> cancel;
    SendCompletion completion;
};

void finishExchange(const std::shared_ptr<Exchange>& exchange, std::optional<std::string> data,
                    std::optional<HttpResponse> response, std::optional<TransportError> error) {
    if (exchange->done)
        return;
    exchange->done = true;
    exchange->watchdog.cancel();
    exchange->cancel = nullptr;
    auto completion = std::move(exchange->completion);
    exchange->completion = nullptr;
    completion(std::move(data), std::move(response), std::move(error));
}

} // namespace

void RouteTransport::State::send(const HttpRequest& request, SendCompletion completion) {
    ZARVO_DCHECK_ON(loop);
    auto exchange = std::make_shared<Exchange>();
    exchange->completion = std::move(completion);
    std::weak_ptr<Exchange> weakExchange = exchange;
    exchange->watchdog = loop.postDelayed(request.timeout, [weakExchange] {
        auto exchange = weakExchange.lock();
        if (!exchange || exchange->done)
            return;
        // Complete first: cancelling may finish the exchange at once with a cancellation error.
        auto cancel = exchange->cancel;
        finishExchange(exchange, std::nullopt, std::nullopt,
                       TransportError{"The request timed out.", true});
        if (cancel)
            cancel();
    });
    Loop* loopPtr = &loop;
    SendCompletion complete = [loopPtr, exchange](std::optional<std::string> data,
                                                  std::optional<HttpResponse> response,
                                                  std::optional<TransportError> error) {
        if (!loopPtr->isLoopThread()) {
            loopPtr->post([exchange, data = std::move(data), response = std::move(response),
                           error = std::move(error)]() mutable {
                finishExchange(exchange, std::move(data), std::move(response), std::move(error));
            });
            return;
        }
        finishExchange(exchange, std::move(data), std::move(response), std::move(error));
    };
    if (injected) {
        injected(request, std::move(complete));
        return;
    }
    if (!session)
        session = std::make_unique<SoupHttpClient>(*currentDeployment());
    auto cancel = session->send(request, std::move(complete));
    if (!exchange->done)
        exchange->cancel = std::move(cancel);
}

// ---- route layer ----

void RouteTransport::State::probe(const std::string& route, std::function<void(bool)> done) {
    ZARVO_DCHECK_ON(loop);
    int64_t generation = ++generations[route];
    WallTime start = clock();
    HttpRequest request;
    request.method = "GET";
    request.url = originFor(route) + "/health";
    request.timeout = seconds(3);
    std::weak_ptr<State> weak = weak_from_this();
    send(request, [weak, route, generation, start, done = std::move(done)](
                      std::optional<std::string> data, std::optional<HttpResponse> response,
                      std::optional<TransportError> error) {
        auto self = weak.lock();
        if (!self)
            return;
        bool healthy = false;
        if (!error && response && response->status == 200 && data) {
            auto json = parseJsonObject(*data);
            healthy = json && jsonString(*json, "status") == "ok" &&
                      jsonString(*json, "product") == "Zarvo";
        }
        if (self->generations[route] == generation) {
            WallTime now = self->clock();
            self->observations[route] =
                observation(route, healthy, elapsedMs(start, now), now, true);
        }
        done(healthy);
    });
}

void RouteTransport::State::check() {
    if (switching)
        return;
    switching = true;
    pendingMode.clear();
    int64_t s = ++sequence;
    auto results = std::make_shared<std::map<std::string, bool>>();
    auto countdown = std::make_shared<int>(2);
    std::weak_ptr<State> weak = weak_from_this();
    for (const auto& route : kRoutes) {
        probe(route, [weak, s, results, countdown, route](bool healthy) {
            auto self = weak.lock();
            if (!self || self->sequence != s)
                return;
            (*results)[route] = healthy;
            if (--*countdown > 0)
                return;
            self->finishCheck(*results);
        });
    }
}

void RouteTransport::State::finishCheck(const std::map<std::string, bool>& results) {
    switching = false;
    auto resultFor = [&](const std::string& route) {
        auto it = results.find(route);
        return it != results.end() && it->second;
    };
    if (mode == "auto") {
        if (!(confirmed && resultFor(activeRoute))) {
            std::optional<std::string> pick;
            int64_t best = INT64_MAX;
            for (const auto& route : kRoutes) {
                if (!resultFor(route))
                    continue;
                int64_t latency = INT64_MAX;
                if (auto it = observations.find(route); it != observations.end())
                    latency = jsonInteger(it->second, "latencyMs", INT64_MAX);
                if (!pick || latency < best) {
                    pick = route;
                    best = latency;
                }
            }
            if (pick) {
                activeRoute = *pick;
                ++routeRevision;
            }
        }
        confirmed = resultFor(activeRoute);
    }
    bool any = std::any_of(results.begin(), results.end(), [](const auto& r) { return r.second; });
    lastError = any ? "" : kUnreachable;
}

void RouteTransport::State::select(const std::string& newMode) {
    if (!isMode(newMode) || switching)
        return;
    if (newMode == "auto") {
        ++routeRevision;
        mode = "auto";
        defaults.set(kModeKey, "auto");
        lastError.clear();
        check();
        return;
    }
    switching = true;
    pendingMode = newMode;
    int64_t s = ++sequence;
    std::weak_ptr<State> weak = weak_from_this();
    probe(newMode, [weak, s, newMode](bool healthy) {
        auto self = weak.lock();
        if (!self || self->sequence != s)
            return;
        self->switching = false;
        self->pendingMode.clear();
        if (!healthy) {
            self->lastError = kSelectFailed;
            return;
        }
        ++self->routeRevision;
        self->mode = newMode;
        self->activeRoute = newMode;
        self->confirmed = true;
        self->defaults.set(kModeKey, newMode);
        self->lastError.clear();
    });
}

// ---- request pipeline ----

void RouteTransport::State::request(const std::string& path, std::optional<Json> body,
                                    std::optional<std::string> token, RequestDone done,
                                    RequestOptions options) {
    auto call = std::make_shared<Call>();
    call->path = path;
    call->body = std::move(body);
    call->token = std::move(token);
    call->done = std::move(done);
    call->options = std::move(options);
    if (!call->body || mode != "auto")
        return requestReady(call);
    auto active = observations.find(activeRoute);
    bool activeFailed =
        active != observations.end() && jsonString(active->second, "status") == "failed";
    if (confirmed && !switching && !activeFailed)
        return requestReady(call);
    if (!switching)
        check();
    Duration deadline = loop.uptime();
    if (switching) {
        deadline += seconds(3.2);
        std::weak_ptr<State> weak = weak_from_this();
        call->wait = loop.postDelayed(seconds(0.03), [weak, deadline, call] {
            if (auto self = weak.lock())
                self->ready(deadline, call);
        });
        return;
    }
    if (confirmed || call->options.repeatUntilAnswered)
        return requestReady(call);
    call->done(std::nullopt, kRouteWaitFailed);
}

void RouteTransport::State::ready(Duration deadline, std::shared_ptr<Call> call) {
    if (switching && deadline > loop.uptime()) {
        std::weak_ptr<State> weak = weak_from_this();
        call->wait = loop.postDelayed(seconds(0.03), [weak, deadline, call] {
            if (auto self = weak.lock())
                self->ready(deadline, call);
        });
        return;
    }
    // A call that must reach the service tries the routes itself rather than give up unsent.
    if ((!switching && confirmed) || call->options.repeatUntilAnswered)
        return requestReady(std::move(call));
    call->done(std::nullopt, kRouteWaitFailed);
}

void RouteTransport::State::requestReady(std::shared_ptr<Call> call) {
    const std::string& path = call->path;
    if (path.find("://") != std::string::npos || path.starts_with("/") ||
        path.find("..") != std::string::npos) {
        call->done(std::nullopt, kInvalidPath);
        return;
    }
    call->sequence = sequence;
    call->routeRevision = routeRevision;
    std::string route = mode == "auto" ? activeRoute : mode;
    bool isGet = !call->body;
    if (isGet)
        call->budget = path == "live/current" ? 6.5 : 12;
    else if (path == "live/stop" || path == "live/switch" || path.starts_with("auth/"))
        call->budget = 15; // a person is waiting on a sign-in call; nothing large is sent
    else
        call->budget = 90;
    bool failover = isGet && mode == "auto";
    call->startedAt = clock();
    attempt(std::move(call), route, failover);
}

void RouteTransport::State::attempt(std::shared_ptr<Call> call, const std::string& route,
                                    bool failover) {
    double remaining = call->budget - toSeconds(clock() - call->startedAt);
    if (remaining <= 0) {
        call->done(std::nullopt, kNetworkFailed);
        return;
    }
    HttpRequest request;
    request.url = originFor(route) + "/api/v1/" + call->path;
    // A path that passes the checks above but still does not make a URL is refused unsent.
    if (!isURLSafe(call->path) || !g_uri_is_valid(request.url.c_str(), G_URI_FLAGS_NONE, nullptr)) {
        call->done(std::nullopt, kInvalidPath);
        return;
    }
    // A first read in auto mode, or a repeated write, leaves room for a try on the other route.
    bool leaveRoom = failover || call->options.repeatUntilAnswered;
    request.timeout = seconds(leaveRoom ? std::min(remaining, call->budget * 0.5) : remaining);
    request.headers.emplace_back("Cache-Control", "no-cache, no-store");
    request.headers.emplace_back("Content-Type", "application/json");
    if (call->token)
        request.headers.emplace_back("Authorization", "Bearer " + *call->token);
    if (call->body) {
        request.method = "POST";
        try {
            request.body = call->body->dump();
        } catch (const Json::exception&) {
            call->done(std::nullopt, kInvalidBody);
            return;
        }
    } else {
        request.method = "GET";
    }
    WallTime attemptStart = clock();
    if (call->options.trace)
        ++call->options.trace->attempts;
    std::weak_ptr<State> weak = weak_from_this();
    send(request, [weak, call, route, failover, attemptStart](std::optional<std::string> data,
                                                              std::optional<HttpResponse> response,
                                                              std::optional<TransportError> error) {
        if (auto self = weak.lock())
            self->attempted(call, route, failover, attemptStart, std::move(data),
                            std::move(response), std::move(error));
    });
}

void RouteTransport::State::attempted(const std::shared_ptr<Call>& call, const std::string& route,
                                      bool failover, WallTime attemptStart,
                                      std::optional<std::string> data,
                                      std::optional<HttpResponse> response,
                                      std::optional<TransportError> error) {
    std::optional<Json> json = data ? parseJsonObject(*data) : std::nullopt;
    int status = response ? response->status : 0;
    bool is2xx = status >= 200 && status <= 299;
    bool success = !error && is2xx && json;
    bool routeFailed = error || status == 0 || (status >= 500 && status <= 599) || (is2xx && !json);
    bool unchanged = sequence == call->sequence && routeRevision == call->routeRevision;
    if (call->options.trace)
        call->options.trace->answered = !routeFailed;
    // A repeated write may land on the route the user did not pin; that says nothing about
    // which route the pinned mode uses.
    bool offMode = mode != "auto" && route != mode;
    if (unchanged) {
        WallTime now = clock();
        observations[route] =
            observation(route, !routeFailed, elapsedMs(attemptStart, now), now, false);
        if (success && offMode) {
            call->done(std::move(json), std::nullopt);
            return;
        }
        if (success) {
            if (activeRoute != route)
                ++routeRevision;
            activeRoute = route;
            confirmed = true;
            lastError.clear();
            call->done(std::move(json), std::nullopt);
            return;
        }
    } else if (success) {
        call->done(std::move(json), std::nullopt);
        return;
    }
    const std::string other = route == "primary" ? "secondary" : "primary";
    if (failover && routeFailed && unchanged && mode == "auto") {
        attempt(call, other, false);
        return;
    }
    if (routeFailed && call->options.repeatUntilAnswered) {
        // 0.25 s, 0.5 s, 1 s, then 1 s apart: quick enough for a quit, gentle on a failing host.
        Duration backOff = seconds(std::min(1.0, 0.25 * std::pow(2.0, call->repeats)));
        double remaining = call->budget - toSeconds(clock() - call->startedAt);
        if (remaining > toSeconds(backOff)) {
            ++call->repeats;
            std::weak_ptr<State> weak = weak_from_this();
            call->wait = loop.postDelayed(backOff, [weak, call, other] {
                if (auto self = weak.lock())
                    self->attempt(call, other, false);
            });
            return;
        }
    }
    if (routeFailed && sequence == call->sequence)
        lastError = kBusinessUnavailable;
    std::string message;
    if (auto detail = json ? jsonString(*json, "detail") : std::nullopt)
        message = *detail;
    else
        message = error ? kNetworkFailed : kServiceUnavailable;
    if (status == 401 && call->token && unauthorized) {
        // A copy: the handler may replace itself or end the transport's owner's signed-in state.
        auto handler = unauthorized;
        handler(*call->token, message);
    }
    call->done(std::nullopt, std::move(message));
}

// ---- public face ----

RouteTransport::RouteTransport(Loop& loop, UserDefaults& defaults, Clock clock, Sender injected) {
    if (!clock)
        clock = [&loop] { return loop.now(); };
    state_ = std::make_shared<State>(loop, defaults, std::move(clock), std::move(injected));
    auto stored = defaults.string(kModeKey);
    if (stored && isMode(*stored))
        state_->mode = *stored;
    state_->activeRoute = state_->mode == "secondary" ? "secondary" : "primary";
}

RouteTransport::~RouteTransport() = default;

void RouteTransport::check() {
    state_->check();
}
void RouteTransport::probe(const std::string& route, std::function<void(bool)> done) {
    state_->probe(route, std::move(done));
}
void RouteTransport::select(const std::string& mode) {
    state_->select(mode);
}

Json RouteTransport::snapshot() const {
    Json routes = Json::array();
    for (const auto& route : kRoutes) {
        auto it = state_->observations.find(route);
        if (it != state_->observations.end())
            routes.push_back(it->second);
        else
            routes.push_back(
                Json{{"id", route}, {"status", "unknown"}, {"latencyMs", -1}, {"checkedAt", 0}});
    }
    return Json{{"mode", state_->mode},
                {"activeRoute", state_->confirmed ? state_->activeRoute : std::string()},
                {"switching", state_->switching},
                {"pendingMode", state_->pendingMode},
                {"lastError", state_->lastError},
                {"routes", routes}};
}

void RouteTransport::request(const std::string& path, std::optional<Json> body,
                             std::optional<std::string> token, RequestDone done,
                             RequestOptions options) {
    state_->request(path, std::move(body), std::move(token), std::move(done), std::move(options));
}

void RouteTransport::setUnauthorizedHandler(UnauthorizedHandler handler) {
    state_->unauthorized = std::move(handler);
}

int64_t RouteTransport::sequence() const {
    return state_->sequence;
}
int64_t RouteTransport::routeRevision() const {
    return state_->routeRevision;
}
const std::string& RouteTransport::mode() const {
    return state_->mode;
}
const std::string& RouteTransport::activeRoute() const {
    return state_->activeRoute;
}
bool RouteTransport::confirmed() const {
    return state_->confirmed;
}
bool RouteTransport::switching() const {
    return state_->switching;
}
const std::string& RouteTransport::lastError() const {
    return state_->lastError;
}

} // namespace zarvo
