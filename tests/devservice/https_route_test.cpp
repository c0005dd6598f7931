// The route layer and the request pipeline over real TLS against the stand-in.
#include "https_test_support.h"

#include "foundation/glib_loop.h"
#include "service/route_transport.h"

namespace zarvo::test {
namespace {

struct Outcome {
    int calls = 0;
    std::optional<Json> json;
    std::optional<std::string> error;
};

RequestDone record(Outcome& outcome) {
    return [&outcome](std::optional<Json> json, std::optional<std::string> error) {
        ++outcome.calls;
        outcome.json = std::move(json);
        outcome.error = std::move(error);
    };
}

class OverTls : public StandIn {
protected:
    void SetUp() override {
        StandIn::SetUp();
        defaults = std::make_unique<UserDefaults>(state / "client-defaults.json");
    }
    void TearDown() override {
        transport.reset();
        net.reset();
        StandIn::TearDown();
    }
    // Production wiring: libsoup on the test thread's GLib loop.
    RouteTransport& production() {
        glib = std::make_unique<GLibLoop>();
        transport = std::make_unique<RouteTransport>(*glib, *defaults);
        return *transport;
    }
    // Virtual time for the watchdog, real exchanges on a network thread.
    RouteTransport& virtualTime() {
        net = std::make_unique<NetworkThread>(deployment);
        transport =
            std::make_unique<RouteTransport>(virtualLoop, *defaults, Clock{}, net->sender());
        return *transport;
    }
    bool glibUntil(const std::function<bool()>& done) { return glib->runUntil(done, seconds(20)); }
    size_t count(const std::string& host, const std::string& path) const {
        size_t n = 0;
        for (const auto& r : service->requests())
            n += r.host == host && r.path == path;
        return n;
    }
    void stall(const std::string& host, const std::string& path) {
        devservice::Fault fault;
        fault.host = host;
        fault.path = path;
        fault.stall = true;
        service->faults().add(fault);
    }

    VirtualLoop virtualLoop;
    std::unique_ptr<GLibLoop> glib;
    std::unique_ptr<UserDefaults> defaults;
    std::unique_ptr<NetworkThread> net;
    std::unique_ptr<RouteTransport> transport;
};

TEST_F(OverTls, CheckAndRequestWithProductionTransport) {
    auto& t = production();
    // The probe's own 3 s limit is real time here; a sanitizer build's first TLS handshakes on a
    // busy machine can take longer, so a check that timed out is tried again.
    for (int attempt = 0; attempt < 3 && !t.confirmed(); ++attempt) {
        t.check();
        ASSERT_TRUE(glibUntil([&] { return !t.switching(); }));
    }
    EXPECT_TRUE(t.confirmed());
    Json snap = t.snapshot();
    EXPECT_EQ(snap["routes"][0]["status"], "healthy");
    EXPECT_EQ(snap["routes"][1]["status"], "healthy");

    service->clearRequests();
    Outcome withToken, without;
    t.request("client/state", std::nullopt, deployment.accountToken, record(withToken));
    ASSERT_TRUE(glibUntil([&] { return withToken.calls == 1; }));
    ASSERT_TRUE(withToken.json) << *withToken.error;
    t.request("client/billing?page=1", std::nullopt, std::nullopt, record(without));
    ASSERT_TRUE(glibUntil([&] { return without.calls == 1; }));
    EXPECT_EQ(without.error, "登录状态已失效，请重新登录");
    EXPECT_EQ(t.lastError(), "");

    auto requests = service->requests();
    ASSERT_EQ(requests.size(), 2u);
    auto order = [](const devservice::RecordedRequest& r) {
        std::vector<std::string> names;
        for (const auto& [name, value] : r.headers)
            if (name == "Cache-Control" || name == "Content-Type" || name == "Authorization")
                names.push_back(name + ": " + value);
        return names;
    };
    EXPECT_EQ(order(requests[0]),
              (std::vector<std::string>{
                  "Cache-Control: no-cache, no-store", "Content-Type: application/json",
                  "Authorization: " +
                      devservice::maskedAuthorization("Bearer " + deployment.accountToken)}));
    EXPECT_EQ(order(requests[1]).size(), 2u) << "no token, no Authorization";
    EXPECT_EQ(requests[1].query, "page=1");
    for (const auto& [name, value] : requests[0].headers)
        EXPECT_NE(name, "Cookie");
}

TEST_F(OverTls, RedirectsAreNeverFollowed) {
    auto& t = production();
    devservice::Fault redirect;
    redirect.host = "primary";
    redirect.path = "/health";
    redirect.redirect = "https://api2.zarvo.test/health";
    service->faults().add(redirect);
    std::optional<bool> healthy;
    t.probe("primary", [&](bool h) { healthy = h; });
    ASSERT_TRUE(glibUntil([&] { return healthy.has_value(); }));
    EXPECT_FALSE(*healthy);
    EXPECT_EQ(count("secondary", "/health"), 0u);

    redirect.path = "/api/v1/client/state";
    service->faults().add(redirect);
    Outcome outcome;
    t.request("client/state", std::nullopt, deployment.accountToken, record(outcome));
    ASSERT_TRUE(glibUntil([&] { return outcome.calls == 1; }));
    EXPECT_EQ(outcome.error, "服务暂不可用");
    EXPECT_EQ(count("primary", "/api/v1/client/state"), 1u);
    EXPECT_EQ(count("secondary", "/api/v1/client/state"), 0u) << "a 3xx is no reason to fail over";
}

TEST_F(OverTls, StalledReadFailsOverToTheOtherRoute) {
    auto& t = virtualTime();
    stall("primary", "/api/v1/live/current");
    Outcome outcome;
    t.request("live/current", std::nullopt, deployment.accountToken, record(outcome));
    ASSERT_TRUE(eventually([&] { return count("primary", "/api/v1/live/current") == 1; }));
    virtualLoop.advance(seconds(3.249));
    EXPECT_EQ(count("secondary", "/api/v1/live/current"), 0u);
    virtualLoop.advance(milliseconds(1)); // half of the 6.5 s budget: the first try is cut
    ASSERT_TRUE(virtualLoop.runUntil([&] { return outcome.calls == 1; }, std::chrono::seconds(20)));
    ASSERT_TRUE(outcome.json) << *outcome.error;
    EXPECT_EQ((*outcome.json)["state"], "IDLE");
    EXPECT_EQ(t.activeRoute(), "secondary");
    EXPECT_EQ(t.routeRevision(), 1);
    EXPECT_EQ(t.snapshot()["routes"][0]["status"], "failed");
}

TEST_F(OverTls, PinnedRouteTimesOutWithTheWholeBudget) {
    defaults->set("networkRouteMode", "primary");
    auto& t = virtualTime();
    stall("primary", "/api/v1/live/current");
    Outcome outcome;
    t.request("live/current", std::nullopt, deployment.accountToken, record(outcome));
    ASSERT_TRUE(eventually([&] { return count("primary", "/api/v1/live/current") == 1; }));
    virtualLoop.advance(seconds(6.499));
    EXPECT_EQ(outcome.calls, 0);
    virtualLoop.advance(milliseconds(1));
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.error, "网络连接失败，请检查网络");
    EXPECT_EQ(count("secondary", "/api/v1/live/current"), 0u);
    EXPECT_EQ(t.lastError(), "业务连接暂不可用，积分以最后确认数据为准。");
}

TEST_F(OverTls, UnhealthyPrimaryAndADroppedWrite) {
    auto& t = virtualTime();
    service->failHealth("primary");
    t.check();
    ASSERT_TRUE(virtualLoop.runUntil([&] { return !t.switching(); }, std::chrono::seconds(20)));
    EXPECT_EQ(t.activeRoute(), "secondary");
    EXPECT_TRUE(t.confirmed());

    devservice::Fault drop;
    drop.host = "secondary";
    drop.path = "/api/v1/live/stop";
    drop.drop = true;
    service->faults().add(drop);
    Outcome outcome;
    t.request("live/stop", Json::object(), deployment.accountToken, record(outcome));
    ASSERT_TRUE(virtualLoop.runUntil([&] { return outcome.calls == 1; }, std::chrono::seconds(20)));
    EXPECT_EQ(outcome.error, "网络连接失败，请检查网络");
    EXPECT_EQ(count("secondary", "/api/v1/live/stop"), 1u);
    EXPECT_EQ(count("primary", "/api/v1/live/stop"), 0u) << "a write is never repeated";
    EXPECT_EQ(t.lastError(), "业务连接暂不可用，积分以最后确认数据为准。");

    devservice::Fault array;
    array.path = "/api/v1/live/start";
    array.nonObjectBody = true;
    service->faults().add(array);
    Outcome start;
    t.request("live/start", Json{{"idempotency_key", "k"}}, deployment.accountToken, record(start));
    // The route just failed, so the write waits for a fresh check first.
    ASSERT_TRUE(virtualLoop.runUntil([&] { return !t.switching(); }, std::chrono::seconds(20)));
    virtualLoop.advance(milliseconds(30));
    ASSERT_TRUE(virtualLoop.runUntil([&] { return start.calls == 1; }, std::chrono::seconds(20)));
    EXPECT_EQ(start.error, "服务暂不可用");
    EXPECT_EQ(t.snapshot()["routes"][1]["status"], "failed");
}

TEST_F(OverTls, SlowCallsNeverQueueAProbeOrAStopBehindThem) {
    // Pinned, so the stop goes out at once; virtual time, so no budget runs out while we wait.
    defaults->set("networkRouteMode", "primary");
    auto& t = virtualTime();
    stall("primary", "/api/v1/client/billing");
    Outcome slow1, slow2;
    t.request("client/billing?page=1", std::nullopt, deployment.accountToken, record(slow1));
    t.request("client/billing?page=2", std::nullopt, deployment.accountToken, record(slow2));
    ASSERT_TRUE(eventually([&] { return count("primary", "/api/v1/client/billing") == 2; }));

    Outcome stop;
    t.check();
    t.request("live/stop", Json::object(), deployment.accountToken, record(stop));
    EXPECT_TRUE(eventually([&] { return count("primary", "/health") == 1; }))
        << "the probe waited behind the stalled calls";
    EXPECT_TRUE(eventually([&] { return count("primary", "/api/v1/live/stop") == 1; }))
        << "the stop waited behind the stalled calls";
    ASSERT_TRUE(virtualLoop.runUntil([&] { return stop.calls == 1 && !t.switching(); },
                                     std::chrono::seconds(20)));
    EXPECT_NE(stop.error, "网络连接失败，请检查网络") << "the stop got no answer";
    EXPECT_EQ(slow1.calls + slow2.calls, 0);
    service->faults().clear();
}

TEST_F(OverTls, WatchdogEndsAndCancelsARealExchange) {
    // libsoup on this thread's default context, the watchdog in virtual time.
    transport = std::make_unique<RouteTransport>(virtualLoop, *defaults);
    auto pump = [&](const std::function<bool()>& done) {
        return eventually([&] {
            while (g_main_context_iteration(nullptr, FALSE)) {
            }
            virtualLoop.runUntilIdle();
            return done();
        });
    };
    stall("primary", "/health");
    int reports = 0;
    bool healthy = true;
    transport->probe("primary", [&](bool h) {
        ++reports;
        healthy = h;
    });
    ASSERT_TRUE(pump([&] { return count("primary", "/health") == 1; }));
    virtualLoop.advance(seconds(3));
    EXPECT_EQ(reports, 1);
    EXPECT_FALSE(healthy);
    // The cancelled exchange's own ending is dropped; the next probe works normally.
    service->faults().clear();
    std::optional<bool> next;
    transport->probe("primary", [&](bool h) { next = h; });
    ASSERT_TRUE(pump([&] { return next.has_value(); }));
    EXPECT_TRUE(*next);
    EXPECT_EQ(reports, 1);
}

TEST_F(OverTls, LayerAndLoopGoneWhileAnExchangeIsInFlight) {
    // A pinned route gives the read its whole 12 s budget, so a slow machine does not see the
    // time-out end the exchange before the layer goes away.
    defaults->set("networkRouteMode", "primary");
    auto& t = production();
    stall("primary", "/api/v1/client/state");
    bool reported = false;
    t.request("client/state", std::nullopt, service->accountToken(),
              [&](std::optional<Json>, std::optional<std::string>) { reported = true; });
    // The stalled call is answered only when the connection drops, so give it a moment on the wire.
    glib->runUntil([] { return false; }, milliseconds(300));
    ASSERT_FALSE(reported);
    transport.reset();
    glib.reset();
    service->faults().clear();
    service.reset(); // the stalled connection closes now
    for (int i = 0; i < 50; ++i)
        g_main_context_iteration(nullptr, FALSE);
    EXPECT_FALSE(reported);
}

} // namespace
} // namespace zarvo::test
