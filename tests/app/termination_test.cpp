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

TEST_F(SessionTest, QuitStillEndsWhenTheStopFails) {
    startSession();
    service.answer("live/stop", ScriptedReply::failure());
    std::optional<bool> reply;
    EXPECT_FALSE(app->applicationShouldTerminate([&](bool ok) { reply = ok; }));
    loop.advance(seconds(16));
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
