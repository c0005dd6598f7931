#include "session_fixture.h"

namespace zarvo::testing {
namespace {

class QuitOutput : public FakeOutput {
public:
    void shutdown() override { ++shutdowns; }
    int shutdowns = 0;
};

TEST_F(SessionTest, QuitDuringASessionStopsItOnTheServiceBeforeExiting) {
    startSession();
    service.hold("live/stop");
    std::optional<bool> reply;
    EXPECT_FALSE(app->applicationShouldTerminate([&](bool ok) { reply = ok; }));
    loop.runUntilIdle();
    EXPECT_EQ(service.count("live/stop"), 1u);
    EXPECT_EQ(service.last("live/stop")->request.body, "{}");
    EXPECT_GE(video.stops, 1);
    EXPECT_FALSE(reply); // the window stays until the service answered
    service.release("live/stop");
    loop.runUntilIdle();
    EXPECT_EQ(reply, true);
}

// The origin each "live/stop" went to, in order.
std::vector<std::string> stopHosts(const ScriptedService& service) {
    std::vector<std::string> hosts;
    for (const auto& request : service.requests())
        if (request.path == "live/stop")
            hosts.push_back(request.request.url.substr(0, request.request.url.find("/api/")));
    return hosts;
}

// The stop at quit is the last chance to end the billing: failures on the route are sent again,
// alternating routes, until answered or the stop's 15 s budget is spent.
TEST_F(SessionTest, QuitSendsAFailedStopAgainOnTheOtherRouteUntilAnswered) {
    startSession();
    service.answerOnce("live/stop", ScriptedReply::json({{"detail", "upstream down"}}, 503));
    std::optional<bool> reply;
    EXPECT_FALSE(app->applicationShouldTerminate([&](bool ok) { reply = ok; }));
    loop.runUntilIdle();
    EXPECT_EQ(service.count("live/stop"), 1u);
    EXPECT_FALSE(reply);
    loop.advance(seconds(1));
    ASSERT_EQ(service.count("live/stop"), 2u);
    EXPECT_EQ(reply, true);
    EXPECT_NE(stopHosts(service)[0], stopHosts(service)[1]);
}

TEST_F(SessionTest, QuitWhoseStopsAllFailExitsAtTheStopsBudget) {
    startSession();
    service.answer("live/stop", ScriptedReply::failure());
    std::optional<bool> reply;
    Duration quitAt = loop.uptime();
    EXPECT_FALSE(app->applicationShouldTerminate([&](bool ok) { reply = ok; }));
    for (int step = 0; step < 120 && !reply; ++step)
        loop.advance(seconds(0.25));
    EXPECT_EQ(reply, true);
    EXPECT_LE(loop.uptime() - quitAt, seconds(15.5));
    EXPECT_GE(loop.uptime() - quitAt, seconds(13));
    EXPECT_GE(service.count("live/stop"), 5u);
}

TEST_F(SessionTest, QuitWhoseStopHangsTriesTheOtherRouteWithinTheBudget) {
    startSession();
    service.hold("live/stop"); // the first route never answers
    std::optional<bool> reply;
    EXPECT_FALSE(app->applicationShouldTerminate([&](bool ok) { reply = ok; }));
    loop.advance(seconds(7));
    EXPECT_EQ(service.count("live/stop"), 1u);
    loop.advance(seconds(1)); // the first attempt gave up at half the budget
    ASSERT_EQ(service.count("live/stop"), 2u);
    EXPECT_NE(stopHosts(service)[0], stopHosts(service)[1]);
    EXPECT_FALSE(reply);
    service.release("live/stop");
    loop.runUntilIdle();
    EXPECT_EQ(reply, true);
}

TEST_F(SessionTest, QuitDoesNotRepeatAStopTheServiceRefused) {
    startSession();
    service.answer("live/stop", ScriptedReply::json({{"detail", "forbidden"}}, 403));
    std::optional<bool> reply;
    EXPECT_FALSE(app->applicationShouldTerminate([&](bool ok) { reply = ok; }));
    loop.advance(seconds(16));
    EXPECT_EQ(reply, true);
    EXPECT_EQ(service.count("live/stop"), 1u);
}

TEST_F(SessionTest, QuitAfterAnUnconfirmedStopSendsItAgain) {
    startSession();
    service.answer("live/stop", ScriptedReply::failure());
    app->stopAI();
    loop.runUntilIdle();
    ASSERT_EQ(service.count("live/stop"), 1u); // the user's own stop: one request
    service.answer("live/stop", Json::object());
    std::optional<bool> reply;
    EXPECT_FALSE(app->applicationShouldTerminate([&](bool ok) { reply = ok; }));
    loop.advance(seconds(1));
    EXPECT_EQ(service.count("live/stop"), 2u);
    EXPECT_EQ(reply, true);
}

TEST_F(SessionTest, QuitDuringTheStartCheckAlsoSendsAStop) {
    sync();
    service.hold("live/current");
    app->startAI();
    loop.runUntilIdle();
    ASSERT_TRUE(app->aiBusy);
    std::optional<bool> reply;
    EXPECT_FALSE(app->applicationShouldTerminate([&](bool ok) { reply = ok; }));
    loop.runUntilIdle();
    EXPECT_EQ(service.count("live/stop"), 1u);
    EXPECT_EQ(reply, true);
}

TEST_F(SessionTest, QuitWithoutASessionOrWithOnlyAPendingStopExitsAtOnce) {
    EXPECT_TRUE(app->applicationShouldTerminate([](bool) { FAIL(); }));
    startSession();
    app->stopAI();
    loop.runUntilIdle();
    ASSERT_TRUE(app->aiStopping);
    size_t stops = service.count("live/stop");
    EXPECT_TRUE(app->applicationShouldTerminate([](bool) { FAIL(); }));
    EXPECT_EQ(service.count("live/stop"), stops);
}

TEST_F(SessionTest, WillTerminateReleasesOutputVideoActivityAndTimers) {
    QuitOutput quitOutput;
    app->setOutput(&quitOutput);
    app->startAccountTimers();
    startSession();
    ASSERT_EQ(activity.live, 1);
    app->applicationWillTerminate();
    EXPECT_EQ(activity.live, 0);
    EXPECT_EQ(quitOutput.clears, 1);
    EXPECT_EQ(quitOutput.shutdowns, 1);
    EXPECT_GE(video.stops, 1);
    EXPECT_FALSE(app->stateTimer.isActive());
    EXPECT_FALSE(app->usageTimer.isActive());
    size_t states = service.count("client/state");
    loop.advance(seconds(30));
    EXPECT_EQ(service.count("client/state"), states);
}

} // namespace
} // namespace zarvo::testing
