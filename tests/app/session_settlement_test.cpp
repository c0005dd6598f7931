// A stop or a quit at every step of a start ends what the start created: exactly one "live/stop"
// reaches each session the service created, and none is left billed.
#include "session_fixture.h"

namespace zarvo::testing {
namespace {

// A service that keeps one account's session: "live/start" creates it when the upload has
// arrived, "live/stop" ends whatever is live when it arrives.
class BillingModel {
public:
    struct Session {
        bool live = true;
        int stopsAfterCreation = 0; // stops that arrived while it was the account's session
    };

    // A path the test holds goes the scripted way.
    BillingModel(Loop& loop, ScriptedService& service) : loop_(loop) {
        service.intercept(
            [this, &service](const RecordedRequest& request, SendCompletion& complete) {
                return !service.holds(request.path) && handle(request.path, complete);
            });
    }

    // Starts wait for releaseStarts(): the service creates the session then (a slow upload).
    bool holdStarts = false;
    // Stops take effect on arrival; their answers wait for releaseStops().
    bool holdStopAnswers = false;

    void releaseStarts() {
        holdStarts = false;
        for (auto& complete : startUploads_) {
            create();
            answer(complete, startReply());
        }
        startUploads_.clear();
    }
    void releaseStops() {
        holdStopAnswers = false;
        for (auto& complete : stopAnswers_)
            answer(complete, Json{{"status", "idle"}});
        stopAnswers_.clear();
    }
    bool anyLive() const {
        return std::any_of(sessions.begin(), sessions.end(),
                           [](const Session& s) { return s.live; });
    }
    // Every session got exactly one stop after it existed, and none is billed any more.
    ::testing::AssertionResult settledCleanly() const {
        for (size_t i = 0; i < sessions.size(); ++i)
            if (sessions[i].live || sessions[i].stopsAfterCreation != 1)
                return ::testing::AssertionFailure()
                       << "session " << i << " live " << sessions[i].live << " stops "
                       << sessions[i].stopsAfterCreation;
        return ::testing::AssertionSuccess();
    }

    std::vector<Session> sessions;

private:
    bool handle(const std::string& path, SendCompletion& complete) {
        if (path == "live/current") {
            answer(complete, Json{{"state", anyLive() ? "RUNNING" : "IDLE"}});
        } else if (path == "client/state") {
            answer(complete, anyLive() ? runningAccount() : idleAccount());
        } else if (path == "live/start") {
            if (holdStarts) {
                startUploads_.push_back(std::move(complete));
                return true;
            }
            create();
            answer(complete, startReply());
        } else if (path == "live/stop") {
            if (!sessions.empty()) {
                ++sessions.back().stopsAfterCreation;
                sessions.back().live = false;
            }
            if (holdStopAnswers)
                stopAnswers_.push_back(std::move(complete));
            else
                answer(complete, Json{{"status", "idle"}});
        } else {
            return false;
        }
        return true;
    }
    void create() { sessions.push_back({}); }
    Json startReply() const {
        return {{"session_id", "ses-" + std::to_string(sessions.size())},
                {"rtc", {{"token", "rtc-token"}, {"channel_id", "ch-1"}}},
                {"render_uid", "ai-7"}};
    }
    void answer(SendCompletion& complete, const Json& body) {
        loop_.post([complete = std::move(complete), text = body.dump()] {
            complete(text, HttpResponse{200, {}}, std::nullopt);
        });
    }

    Loop& loop_;
    std::vector<SendCompletion> startUploads_;
    std::vector<SendCompletion> stopAnswers_;
};

class SettlementTest : public SessionTest {
protected:
    SettlementTest() { sync(); }

    // Starts and lets the start reach the step the test names.
    void startUntilCheckInFlight() {
        service.hold("live/current");
        app->startAI();
        loop.runUntilIdle();
        ASSERT_EQ(service.count("live/current"), 1u);
    }
    void startUntilUploading() {
        model.holdStarts = true;
        app->startAI();
        loop.runUntilIdle();
        ASSERT_EQ(service.count("live/start"), 1u);
        ASSERT_TRUE(model.sessions.empty());
    }
    // A route check that has not ended: every POST waits for it.
    void routeCheckPending() {
        service.hold("/health");
        app->routes.check();
        ASSERT_TRUE(app->routes.switching());
    }
    void quit() {
        ASSERT_FALSE(app->applicationShouldTerminate([this](bool ok) {
            ++replies;
            EXPECT_TRUE(ok);
        }));
    }
    // Lets the service answer everything, then follows the account until it settles.
    void settle() {
        loop.advance(seconds(20));
        app->refreshState();
        loop.runUntilIdle();
    }

    BillingModel model{loop, service};
    int replies = 0;
};

// ---- a stop at each step ----

TEST_F(SettlementTest, AStopDuringTheCheckNeverCreatesASession) {
    startUntilCheckInFlight();
    app->stopAI();
    service.release("live/current");
    settle();
    EXPECT_EQ(service.count("live/start"), 0u);
    EXPECT_TRUE(model.sessions.empty());
    EXPECT_FALSE(app->aiStopping);
}

// The measured fault: the stop reaches an idle service, the idle snapshot would settle the stop,
// and the session the upload then creates would be billed until the heartbeat time-out.
TEST_F(SettlementTest, AStopWhileTheStartUploadsStopsTheSessionTheStartCreates) {
    startUntilUploading();
    app->stopAI();
    loop.runUntilIdle();
    EXPECT_EQ(service.count("live/stop"), 1u);
    app->refreshState();
    loop.runUntilIdle();
    ASSERT_EQ(app->usageOperationGeneration, app->operationGeneration);
    EXPECT_EQ(jsonInteger(*app->usageSnapshot, "reserved_points", -1), 0);
    EXPECT_TRUE(app->aiStopping) << "an idle snapshot settled a stop while a start was unanswered";
    app->startAI(); // still stopping: no second start
    EXPECT_EQ(service.count("live/current"), 1u);

    model.releaseStarts();
    loop.runUntilIdle();
    app->queue.sync([] {});
    loop.runUntilIdle();
    EXPECT_EQ(video.joins, 0);
    EXPECT_FALSE(app->aiActive);
    EXPECT_TRUE(model.settledCleanly());
    settle();
    EXPECT_FALSE(app->aiStopping);
    EXPECT_EQ(app->status.text, "AI 已请求停止，积分以服务端确认结果为准");
}

TEST_F(SettlementTest, AStartAnsweredWhileTheStopIsUnansweredGetsAStopOfItsOwn) {
    startUntilUploading();
    model.holdStopAnswers = true;
    app->stopAI(); // reaches the idle service at once; its answer is slow
    loop.runUntilIdle();
    model.releaseStarts();
    loop.runUntilIdle();
    EXPECT_TRUE(model.anyLive());
    model.releaseStops();
    loop.runUntilIdle();
    EXPECT_TRUE(model.settledCleanly());
    settle();
    EXPECT_FALSE(app->aiStopping);
}

TEST_F(SettlementTest, AStopWaitingForItsRouteReachesTheLateSessionOnce) {
    startUntilUploading();
    routeCheckPending();
    app->stopAI();
    loop.runUntilIdle();
    EXPECT_EQ(service.count("live/stop"), 0u);
    model.releaseStarts(); // answered while the stop has not gone out: that stop will reach it
    loop.runUntilIdle();
    service.release("/health");
    loop.advance(seconds(1));
    EXPECT_EQ(service.count("live/stop"), 1u);
    EXPECT_TRUE(model.settledCleanly());
    settle();
    EXPECT_FALSE(app->aiStopping);
}

TEST_F(SessionTest, ALateStartThatFailedOnTheRouteIsStoppedButARefusalIsNot) {
    sync();
    service.hold("live/start");
    app->startAI();
    loop.runUntilIdle();
    app->stopAI();
    loop.runUntilIdle();
    // Sent, but the answer was lost: the service may hold a session.
    service.release("live/start", ScriptedReply::failure());
    loop.advance(seconds(1)); // the route failure makes the next POST wait for a check
    EXPECT_EQ(service.count("live/stop"), 2u);

    service.answer("client/state", idleAccount());
    loop.advance(seconds(1));
    app->refreshState();
    loop.runUntilIdle();
    ASSERT_FALSE(app->aiStopping);
    service.hold("live/start");
    app->startAI();
    loop.runUntilIdle();
    app->stopAI();
    loop.runUntilIdle();
    service.release("live/start", ScriptedReply::json({{"detail", "insufficient balance"}}, 402));
    loop.advance(seconds(1));
    EXPECT_EQ(service.count("live/stop"), 3u);
    app->refreshState();
    loop.runUntilIdle();
    EXPECT_FALSE(app->aiStopping); // the refusal answered the start: settled
}

// ---- a quit at each step ----

TEST_F(SettlementTest, AQuitDuringTheCheckNeverSendsTheStart) {
    startUntilCheckInFlight();
    quit();
    loop.runUntilIdle();
    service.release("live/current");
    loop.advance(seconds(20));
    EXPECT_EQ(replies, 1);
    EXPECT_EQ(service.count("live/start"), 0u);
    EXPECT_TRUE(model.sessions.empty());
    app->startAI(); // the window is still up while the quit waits: nothing starts
    app->refreshState();
    loop.runUntilIdle();
    app->startAI();
    loop.runUntilIdle();
    EXPECT_EQ(service.count("live/current"), 1u);
}

TEST_F(SettlementTest, AQuitWhileTheStartUploadsWaitsForItAndStopsTheSession) {
    startUntilUploading();
    quit();
    loop.advance(seconds(10));
    EXPECT_EQ(replies, 0) << "exited before the start was answered";
    EXPECT_EQ(service.count("live/stop"), 0u);
    model.releaseStarts();
    loop.advance(seconds(1));
    EXPECT_EQ(replies, 1);
    EXPECT_EQ(video.joins, 0);
    EXPECT_TRUE(model.settledCleanly());
}

TEST_F(SettlementTest, AQuitWaitsForTheStartOnlyAsLongAsItsGuardAllows) {
    startUntilUploading();
    quit();
    loop.advance(seconds(29));
    EXPECT_EQ(service.count("live/stop"), 0u);
    loop.advance(seconds(2));
    EXPECT_EQ(service.count("live/stop"), 1u);
    loop.advance(seconds(1));
    EXPECT_EQ(replies, 1);
}

TEST_F(SettlementTest, AQuitAfterAStopWhoseStartIsAnsweredLateStopsTheSessionBeforeExit) {
    startUntilUploading();
    model.holdStopAnswers = true;
    app->stopAI();
    loop.runUntilIdle();
    quit(); // a start and a stop are both in flight
    model.releaseStarts();
    loop.runUntilIdle();
    EXPECT_TRUE(model.anyLive());
    EXPECT_EQ(replies, 0);
    model.releaseStops();
    loop.advance(seconds(1));
    EXPECT_EQ(replies, 1);
    EXPECT_TRUE(model.settledCleanly());
}

TEST_F(SettlementTest, AQuitWhileTheStopWaitsForItsRouteSendsItBeforeExit) {
    startSession();
    routeCheckPending();
    app->stopAI();
    quit();
    loop.runUntilIdle();
    EXPECT_EQ(replies, 0);
    EXPECT_EQ(service.count("live/stop"), 0u);
    service.release("/health");
    loop.advance(seconds(1));
    EXPECT_EQ(service.count("live/stop"), 1u);
    EXPECT_EQ(replies, 1);
    EXPECT_TRUE(model.settledCleanly());
}

TEST_F(SettlementTest, AQuitWhileTheStopWaitsForARouteThatNeverComesStillSendsIt) {
    startSession();
    routeCheckPending();
    app->stopAI();
    quit();
    loop.advance(seconds(4)); // the route wait gives up; the user's stop never went out
    EXPECT_EQ(replies, 0);
    EXPECT_EQ(service.count("live/stop"), 0u);
    loop.advance(seconds(10));
    EXPECT_GE(service.count("live/stop"), 1u);
    EXPECT_EQ(replies, 1);
    EXPECT_TRUE(model.settledCleanly());
}

// ---- guards ----

TEST_F(SettlementTest, AStartIsIgnoredWhileASessionRunsOrItsStopIsUnsettled) {
    startSession();
    // The account has not caught up yet: its snapshot would allow a start.
    app->storeUsageSnapshot(
        {{"available_points", 80}, {"reserved_points", 0}, {"session_state", "STOPPED"}},
        app->operationGeneration);
    ASSERT_TRUE(app->aiActive);
    std::string status = app->status.text;
    size_t checks = service.count("live/current");
    app->startAI();
    EXPECT_EQ(service.count("live/current"), checks);
    EXPECT_EQ(app->status.text, status);

    model.holdStopAnswers = true;
    app->stopAI();
    loop.runUntilIdle();
    app->storeUsageSnapshot(
        {{"available_points", 80}, {"reserved_points", 20}, {"session_state", "ENDED"}},
        app->operationGeneration);
    ASSERT_TRUE(app->aiStopping);
    status = app->status.text;
    app->startAI();
    EXPECT_EQ(service.count("live/current"), checks);
    EXPECT_EQ(app->status.text, status);
}

TEST_F(SettlementTest, AStopInFlightIsNotSettledByAnEmptySnapshot) {
    startSession();
    model.holdStopAnswers = true;
    app->stopAI();
    loop.runUntilIdle();
    ASSERT_TRUE(app->stopRequestBusy);
    app->storeUsageSnapshot(idleAccount(), app->operationGeneration);
    EXPECT_TRUE(app->aiStopping);
    model.releaseStops();
    loop.runUntilIdle();
    app->storeUsageSnapshot(idleAccount(), app->operationGeneration);
    EXPECT_FALSE(app->aiStopping);
}

TEST_F(SettlementTest, AnIdleSnapshotFromBeforeTheStartDoesNotEndTheSession) {
    ASSERT_EQ(jsonString(*app->usageSnapshot, "session_state"), "IDLE");
    service.intercept({});
    service.hold("client/state"); // no newer snapshot arrives
    app->startAI();
    loop.runUntilIdle();
    ASSERT_TRUE(app->aiActive);
    app->renderUsage();
    EXPECT_TRUE(app->aiActive);
    EXPECT_TRUE(app->aiTimer.isActive());
}

TEST_F(SettlementTest, PollsAnsweredWhileTheStartIsCreatedChangeNothing) {
    service.intercept({}); // polls see the previous session's end, or fail
    service.hold("live/start");
    service.answer("live/current", Json{{"state", "IDLE"}});
    app->startAI();
    loop.runUntilIdle();
    ASSERT_EQ(service.count("live/start"), 1u);
    service.answer("live/current", Json{{"state", "ENDED"}});
    loop.advance(seconds(3.5));
    service.answer("live/current", ScriptedReply::failure());
    loop.advance(seconds(9));
    ASSERT_GE(service.count("live/current"), 3u);
    EXPECT_TRUE(app->aiTimer.isActive());
    EXPECT_EQ(service.count("live/stop"), 0u);
    EXPECT_EQ(app->aiPollFailures, 0);
    service.answer("live/current", Json{{"state", "RUNNING"}});
    service.answer("client/state", runningAccount());
    service.release("live/start");
    loop.runUntilIdle();
    EXPECT_TRUE(app->aiActive);
    EXPECT_TRUE(app->aiTimer.isActive());
}

} // namespace
} // namespace zarvo::testing
