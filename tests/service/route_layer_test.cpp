#include "fake_sender.h"

#include <thread>

namespace zarvo::test {
namespace {

using RouteLayer = RouteTest;

TEST_F(RouteLayer, StoredModeDecidesStartingRoute) {
    defaults->set("networkRouteMode", "secondary");
    make();
    EXPECT_EQ(transport->mode(), "secondary");
    EXPECT_EQ(transport->activeRoute(), "secondary");

    for (const char* stored : {"bogus", "Secondary", ""}) {
        defaults->set("networkRouteMode", stored);
        make();
        EXPECT_EQ(transport->mode(), "auto") << stored;
        EXPECT_EQ(transport->activeRoute(), "primary") << stored;
        // The odd stored value stays until the next select.
        EXPECT_EQ(defaults->string("networkRouteMode"), stored);
    }
    defaults->remove("networkRouteMode");
    make();
    EXPECT_EQ(transport->mode(), "auto");
    EXPECT_TRUE(sent.empty()) << "construction starts no probe";
}

TEST_F(RouteLayer, SnapshotBeforeAnyProbe) {
    make();
    Json snap = transport->snapshot();
    EXPECT_EQ(snap["mode"], "auto");
    EXPECT_EQ(snap["activeRoute"], "");
    EXPECT_EQ(snap["switching"], false);
    EXPECT_EQ(snap["pendingMode"], "");
    EXPECT_EQ(snap["lastError"], "");
    ASSERT_EQ(snap["routes"].size(), 2u);
    EXPECT_EQ(
        snap["routes"][0],
        (Json{{"id", "primary"}, {"status", "unknown"}, {"latencyMs", -1}, {"checkedAt", 0}}));
    EXPECT_EQ(snap["routes"][1]["id"], "secondary");
    EXPECT_TRUE(snap["routes"][1]["checkedAt"].is_number_integer());
}

TEST_F(RouteLayer, CheckPicksTheFasterRouteAndPrimaryOnATie) {
    make();
    transport->check();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].request.url, kPrimaryHealth);
    EXPECT_EQ(sent[1].request.url, kSecondaryHealth);
    EXPECT_EQ(sent[0].request.timeout, seconds(3));
    EXPECT_TRUE(sent[0].request.headers.empty());
    loop.advance(milliseconds(80));
    answerHealthy(1);
    answerHealthy(0);
    EXPECT_EQ(transport->activeRoute(), "primary");
    EXPECT_TRUE(transport->confirmed());
    EXPECT_EQ(transport->routeRevision(), 1) << "a pick counts even when the route stays";
    Json snap = transport->snapshot();
    EXPECT_EQ(snap["activeRoute"], "primary");
    EXPECT_EQ(snap["routes"][0]["latencyMs"], 80);
    EXPECT_EQ(snap["routes"][0]["probe"], true);
    EXPECT_DOUBLE_EQ(snap["routes"][0]["checkedAt"].get<double>(), epochMilliseconds(loop.now()));

    make(); // a fresh layer: 90 ms against 40 ms
    sent.clear();
    transport->check();
    loop.advance(milliseconds(40));
    answerHealthy(1);
    loop.advance(milliseconds(50));
    answerHealthy(0);
    EXPECT_EQ(transport->activeRoute(), "secondary");
    EXPECT_EQ(transport->snapshot()["routes"][0]["latencyMs"], 90);
    EXPECT_EQ(transport->snapshot()["routes"][1]["latencyMs"], 40);
}

TEST_F(RouteLayer, ConfirmedAutoRouteIsKeptWhileHealthy) {
    make();
    transport->check();
    loop.advance(milliseconds(10));
    answerHealthy(1);
    loop.advance(milliseconds(50));
    answerHealthy(0);
    ASSERT_EQ(transport->activeRoute(), "secondary");
    int64_t revision = transport->routeRevision();

    transport->check(); // primary is now much faster, secondary still answers
    answerHealthy(2);
    loop.advance(milliseconds(300));
    answerHealthy(3);
    EXPECT_EQ(transport->activeRoute(), "secondary");
    EXPECT_EQ(transport->routeRevision(), revision);
    EXPECT_TRUE(transport->confirmed());

    transport->check(); // secondary stops answering: move to primary
    answerHealthy(4);
    failTransport(5);
    EXPECT_EQ(transport->activeRoute(), "primary");
    EXPECT_EQ(transport->routeRevision(), revision + 1);
}

TEST_F(RouteLayer, BothRoutesDownKeepsRouteAndUnconfirms) {
    make();
    transport->check();
    answerHealthy(0);
    answerHealthy(1);
    ASSERT_TRUE(transport->confirmed());
    transport->check();
    failTransport(2);
    answer(3, 503, "{}");
    EXPECT_EQ(transport->activeRoute(), "primary");
    EXPECT_FALSE(transport->confirmed());
    EXPECT_EQ(transport->lastError(), "暂时无法连接服务，请检查网络后重试。");
    EXPECT_EQ(transport->snapshot()["activeRoute"], "");
    EXPECT_EQ(transport->snapshot()["routes"][1]["latencyMs"], -1);
}

TEST_F(RouteLayer, CheckAndSelectWhileBusyAreIgnored) {
    make();
    transport->check();
    int64_t sequence = transport->sequence();
    transport->check();
    transport->select("secondary");
    transport->select("auto");
    EXPECT_EQ(sent.size(), 2u);
    EXPECT_EQ(transport->sequence(), sequence);
    EXPECT_EQ(transport->routeRevision(), 0);
    answerHealthy(0);
    answerHealthy(1);
    EXPECT_FALSE(transport->switching());

    transport->select("primary"); // a manual select is busy too
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(transport->snapshot()["pendingMode"], "primary");
    transport->select("auto");
    transport->check();
    EXPECT_EQ(sent.size(), 3u);
    EXPECT_EQ(transport->mode(), "auto");
}

TEST_F(RouteLayer, ManualSelectPinsOnlyAHealthyRoute) {
    make();
    transport->select("nonsense");
    EXPECT_TRUE(sent.empty());

    transport->select("secondary");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].request.url, kSecondaryHealth);
    failTransport(0);
    EXPECT_EQ(transport->mode(), "auto");
    EXPECT_EQ(transport->lastError(), "所选线路暂时无法连接，已保留原线路设置。");
    EXPECT_FALSE(defaults->string("networkRouteMode"));
    EXPECT_FALSE(transport->switching());

    transport->select("secondary");
    answerHealthy(1);
    EXPECT_EQ(transport->mode(), "secondary");
    EXPECT_EQ(transport->activeRoute(), "secondary");
    EXPECT_TRUE(transport->confirmed());
    EXPECT_EQ(transport->lastError(), "");
    EXPECT_EQ(defaults->string("networkRouteMode"), "secondary");

    // A check in a pinned mode probes but moves nothing.
    transport->check();
    answerHealthy(2);
    failTransport(3);
    EXPECT_EQ(transport->activeRoute(), "secondary");
    EXPECT_TRUE(transport->confirmed());

    transport->select("auto");
    EXPECT_EQ(transport->mode(), "auto");
    EXPECT_EQ(defaults->string("networkRouteMode"), "auto");
    EXPECT_TRUE(transport->switching()) << "auto starts a check";
}

TEST_F(RouteLayer, OverlappingProbesStoreOnlyTheLaterOne) {
    make();
    std::vector<std::pair<int, bool>> reports;
    transport->probe("primary", [&](bool healthy) { reports.emplace_back(1, healthy); });
    loop.advance(milliseconds(5));
    transport->probe("primary", [&](bool healthy) { reports.emplace_back(2, healthy); });
    loop.advance(milliseconds(20));
    answerHealthy(1); // the later probe answers first
    loop.advance(milliseconds(100));
    failTransport(0); // the earlier one fails afterwards
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0], std::make_pair(2, true));
    EXPECT_EQ(reports[1], std::make_pair(1, false));
    Json primary = transport->snapshot()["routes"][0];
    EXPECT_EQ(primary["status"], "healthy");
    EXPECT_EQ(primary["latencyMs"], 20);
}

TEST_F(RouteLayer, HealthNeedsStatusOkAndProduct) {
    make();
    struct Case {
        int status;
        const char* body;
        bool healthy;
    };
    const Case cases[] = {
        {200, R"({"status":"ok","product":"Zarvo"})", true},
        {200, R"({"status":"ok"})", false},
        {200, R"({"status":"ok","product":"zarvo"})", false},
        {200, R"({"status":"degraded","product":"Zarvo"})", false},
        {200, R"([{"status":"ok","product":"Zarvo"}])", false},
        {200, "not json", false},
        {302, R"({"status":"ok","product":"Zarvo"})", false},
        {204, R"({"status":"ok","product":"Zarvo"})", false},
    };
    for (const auto& c : cases) {
        std::optional<bool> reported;
        transport->probe("secondary", [&](bool healthy) { reported = healthy; });
        answer(sent.size() - 1, c.status, c.body);
        ASSERT_TRUE(reported) << c.body;
        EXPECT_EQ(*reported, c.healthy) << c.status << " " << c.body;
        EXPECT_EQ(transport->snapshot()["routes"][1]["status"], c.healthy ? "healthy" : "failed");
    }
}

TEST_F(RouteLayer, WatchdogEndsASilentProbeExactlyOnce) {
    make();
    int reports = 0;
    bool last = true;
    transport->probe("primary", [&](bool healthy) {
        ++reports;
        last = healthy;
    });
    loop.advance(seconds(2.999));
    EXPECT_EQ(reports, 0);
    loop.advance(milliseconds(1));
    EXPECT_EQ(reports, 1);
    EXPECT_FALSE(last);
    answerHealthy(0); // the network's late answer is dropped
    loop.runUntilIdle();
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(transport->snapshot()["routes"][0]["status"], "failed");
}

TEST_F(RouteLayer, AnswerFromAnotherThreadRacingTheWatchdogCompletesOnce) {
    make();
    int reports = 0;
    bool onLoop = false;
    transport->probe("primary", [&](bool) {
        ++reports;
        onLoop = loop.isLoopThread();
    });
    loop.advance(seconds(2.999));
    auto complete = sent[0].complete;
    std::thread network([&] {
        complete(R"({"status":"ok","product":"Zarvo"})", HttpResponse{200, {}}, std::nullopt);
    });
    network.join();
    EXPECT_EQ(reports, 0) << "an answer from another thread waits for the loop";
    loop.advance(milliseconds(1)); // the posted answer and the watchdog fall due together
    loop.runUntilIdle();
    EXPECT_EQ(reports, 1);
    EXPECT_TRUE(onLoop);
}

TEST_F(RouteLayer, ReplyAfterTheLayerIsGoneIsDropped) {
    make();
    bool reported = false;
    transport->probe("primary", [&](bool) { reported = true; });
    auto complete = sent[0].complete;
    transport.reset();
    complete(R"({"status":"ok","product":"Zarvo"})", HttpResponse{200, {}}, std::nullopt);
    loop.advance(seconds(5));
    EXPECT_FALSE(reported);
}

} // namespace
} // namespace zarvo::test
