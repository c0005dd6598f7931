// The billing service's lifecycle and money rules, driven through its API in virtual time.
#include "billing_test_support.h"
#include "devservice/billing/billing_service.h"
#include "foundation/atomic_file.h"
#include "foundation/virtual_loop.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

namespace zarvo::devservice {
namespace {

using testing::apiRequest;
using testing::jpegDataURL;
using testing::startBody;

class BillingTest : public ::testing::Test {
protected:
    void SetUp() override { config.accounts = {{"tok-a", "A", 100, 30}}; }

    void make() { service = std::make_unique<BillingService>(loop, config); }

    ApiResponse get(const std::string& path,
                    std::vector<std::pair<std::string, std::string>> query = {}) {
        return service->handle(apiRequest("GET", path, token, {}, std::move(query)));
    }
    ApiResponse post(const std::string& path, const Json& body) {
        return service->handle(apiRequest("POST", path, token, body.dump()));
    }
    Json state() { return get("client/state").body; }
    std::string sessionState() { return get("live/current").body["state"]; }

    std::string start(const std::string& key) {
        ApiResponse response = post("live/start", startBody(key));
        EXPECT_EQ(response.status, 200) << response.body.dump();
        return response.body.value("session_id", "");
    }
    void advance(double s) { loop.advance(seconds(s)); }
    // Moves time on while the client polls "live/current" every 3 s, as Zarvo does.
    void runPolling(double s) {
        while (s > 1e-9) {
            double step = std::min(3.0, s);
            advance(step);
            s -= step;
            get("live/current");
        }
    }
    // From "live/start" to RUNNING with the default delays: the clock has billed one second.
    void reachRunning() {
        advance(0.2);
        EXPECT_EQ(sessionState(), "CREATING");
        advance(0.5);
        EXPECT_EQ(sessionState(), "CREATED");
        advance(1.0);
        EXPECT_EQ(sessionState(), "RUNNING");
    }
    void settle() { advance(0.5 + 3.0); }

    VirtualLoop loop;
    BillingConfig config;
    std::unique_ptr<BillingService> service;
    std::string token = "tok-a";
};

TEST_F(BillingTest, StartRunStopSettlesTheBillGiftPointsFirst) {
    make();
    ApiResponse started = post("live/start", startBody("K1"));
    ASSERT_EQ(started.status, 200);
    EXPECT_EQ(started.body["state"], "RESERVED");
    EXPECT_TRUE(started.body["rtc"]["token"].is_string());
    EXPECT_TRUE(started.body["rtc"]["channel_id"].is_string());
    EXPECT_TRUE(started.body["rtc"]["user_id"].is_string());
    EXPECT_TRUE(started.body["render_uid"].is_string());

    Json reserved = state();
    EXPECT_EQ(reserved["reserved_points"], 130);
    EXPECT_EQ(reserved["reserved_gift_points"], 30);
    EXPECT_EQ(reserved["available_points"], 0);
    EXPECT_EQ(reserved["session_running"], false);

    reachRunning();
    runPolling(44);
    Json running = state();
    EXPECT_EQ(running["session_state"], "RUNNING");
    EXPECT_EQ(running["session_running"], true);
    EXPECT_EQ(running["session_elapsed_seconds"], 45);
    EXPECT_EQ(running["estimated_consumed_points"], 45);
    EXPECT_EQ(running["estimated_consumed_gift_points"], 30);
    EXPECT_EQ(running["estimated_consumed_paid_points"], 15);
    EXPECT_EQ(running["estimated_remaining_points"], 85);
    EXPECT_EQ(running["estimated_remaining_gift_points"], 0);
    EXPECT_EQ(running["estimated_remaining_paid_points"], 85);
    EXPECT_EQ(running["safe_start_seconds"], 85);
    EXPECT_TRUE(running["confirmed_bill"].is_null());

    EXPECT_EQ(post("live/stop", Json::object()).status, 200);
    EXPECT_EQ(sessionState(), "STOPPING");
    advance(0.5);
    Json reconciling = state();
    EXPECT_EQ(reconciling["session_state"], "RECONCILE_REQUIRED");
    EXPECT_EQ(reconciling["reserved_points"], 130) << "the hold lasts until settlement";
    EXPECT_EQ(reconciling["session_elapsed_seconds"], 45) << "the clock stops at the stop";
    advance(3.0);

    Json settled = state();
    EXPECT_EQ(settled["session_state"], "ENDED");
    EXPECT_EQ(settled["bill_confirmed"], true);
    EXPECT_EQ(settled["confirmed_bill"], 45);
    EXPECT_EQ(settled["actual_consumed_gift_points"], 30);
    EXPECT_EQ(settled["actual_consumed_paid_points"], 15);
    EXPECT_EQ(settled["reserved_points"], 0);
    EXPECT_EQ(settled["available_paid_points"], 85);
    EXPECT_EQ(settled["available_gift_points"], 0);
    EXPECT_EQ(settled["estimated_remaining_points"], 85);
}

TEST_F(BillingTest, ASecondStartIsRefusedUntilTheFirstIsSettled) {
    make();
    start("K1");
    reachRunning();
    ApiResponse second = post("live/start", startBody("K2"));
    EXPECT_EQ(second.status, 409);
    EXPECT_NE(second.body["detail"].get<std::string>().find("uncertain session"),
              std::string::npos);

    post("live/stop", Json::object());
    advance(0.5);
    ASSERT_EQ(sessionState(), "RECONCILE_REQUIRED");
    EXPECT_EQ(post("live/start", startBody("K3")).status, 409);
    advance(3.0);
    ASSERT_EQ(sessionState(), "ENDED");
    EXPECT_EQ(post("live/start", startBody("K4")).status, 200);
    EXPECT_EQ(state()["reserved_points"], 130 - 1) << "one second billed by the first run";
}

TEST_F(BillingTest, TheSameIdempotencyKeyNeverCreatesASecondSession) {
    make();
    std::string first = start("SAME");
    advance(0.7);
    ApiResponse again = post("live/start", startBody("SAME"));
    ASSERT_EQ(again.status, 200) << "a retried start is not an uncertain second session";
    EXPECT_EQ(again.body["session_id"], first);
    EXPECT_EQ(again.body["state"], "CREATED");
    EXPECT_EQ(state()["reserved_points"], 130);
    EXPECT_EQ(get("client/session-billing", {{"page", "1"}}).body["total"], 1);
}

TEST_F(BillingTest, BalanceBelowTheMinimumIsRefusedAndTheMinimumItselfStarts) {
    config.accounts = {{"tok-a", "A", 5, 4}, {"tok-b", "B", 0, 10}};
    make();
    ApiResponse poor = post("live/start", startBody("K1"));
    EXPECT_EQ(poor.status, 402);
    EXPECT_NE(poor.body["detail"].get<std::string>().find("insufficient balance"),
              std::string::npos);
    EXPECT_EQ(state()["available_points"], 9) << "a refused start holds nothing";
    EXPECT_EQ(state()["min_start_points"], 10);

    token = "tok-b";
    EXPECT_EQ(post("live/start", startBody("K1")).status, 200);
    EXPECT_EQ(state()["reserved_gift_points"], 10);
}

TEST_F(BillingTest, OnlyKnownModesAndDecodableJpegDataURLsAreAccepted) {
    make();
    std::string jpeg = testing::jpegBytes();
    const std::pair<std::string, std::string> bad[] = {
        {"cartoon", jpegDataURL()},
        {"style_transfer", "data:image/png;base64," + base64Encode(testing::pngBytes())},
        {"style_transfer", jpegDataURL(testing::pngBytes())},
        {"style_transfer", jpegDataURL(jpeg.substr(0, 40))},
        {"style_transfer", "data:image/jpeg;base64,@@@@"},
        {"style_transfer", "https://example.test/a.jpg"},
        {"style_transfer", ""},
    };
    for (const auto& [type, url] : bad) {
        ApiResponse response =
            post("live/start", startBody("K-" + type + url.substr(0, 30), type, url));
        EXPECT_EQ(response.status, 422) << type << " " << url.substr(0, 40);
        EXPECT_NE(response.body.value("detail", "").find("invalid editing"), std::string::npos);
    }
    EXPECT_EQ(state()["reserved_points"], 0);
    EXPECT_EQ(post("live/start", startBody("OK", "virtual_tryon")).status, 200);
}

TEST_F(BillingTest, ImagesAboveTheLimitAreRefused) {
    config.maxImageBytes = 2000;
    make();
    std::string large = testing::jpegBytes(400, 300, 100);
    ASSERT_GT(large.size(), 2000u);
    EXPECT_EQ(post("live/start", startBody("K1", "style_transfer", jpegDataURL(large))).status,
              422);
    EXPECT_EQ(post("live/start", startBody("K2")).status, 200);
}

TEST_F(BillingTest, AStartHoldsAtMostTheReservationCap) {
    config.accounts = {{"tok-a", "A", 5000, 100}};
    config.maxReservationPoints = 3600;
    make();
    EXPECT_EQ(state()["safe_start_seconds"], 3600);
    start("K1");
    Json held = state();
    EXPECT_EQ(held["reserved_points"], 3600);
    EXPECT_EQ(held["reserved_gift_points"], 100);
    EXPECT_EQ(held["available_points"], 1500);
}

TEST_F(BillingTest, TheServiceEndsASessionWhoseReservationIsUsedUp) {
    config.accounts = {{"tok-a", "A", 8, 4}};
    make();
    start("K1");
    reachRunning();
    runPolling(10);
    EXPECT_EQ(sessionState(), "RUNNING");
    advance(1);
    EXPECT_EQ(sessionState(), "STOPPING") << "12 points are 12 seconds";
    settle();
    Json settled = state();
    EXPECT_EQ(settled["session_state"], "ENDED");
    EXPECT_EQ(settled["confirmed_bill"], 12);
    EXPECT_EQ(settled["available_points"], 0);
    EXPECT_EQ(settled["reserved_points"], 0);
    auto record = get("client/session-billing", {{"page", "1"}}).body["items"][0];
    EXPECT_EQ(record["end_reason"], "reservation_exhausted");
}

TEST_F(BillingTest, AClientThatStopsPollingIsStoppedAfterTheHeartbeatTimeout) {
    // Half a second off the billing ticks, so the stop and a tick never fall on one instant.
    config.heartbeatTimeout = seconds(30.5);
    make();
    start("K1");
    reachRunning();
    runPolling(60);
    EXPECT_EQ(sessionState(), "RUNNING") << "polling keeps the session alive";

    advance(30.3);
    EXPECT_EQ(state()["session_state"], "RUNNING")
        << "client/state is no heartbeat, but 30.3 < 30.5";
    advance(0.4);
    EXPECT_EQ(state()["session_state"], "STOPPING");
    settle();
    Json settled = state();
    EXPECT_EQ(settled["session_state"], "STOPPED");
    EXPECT_EQ(settled["confirmed_bill"], 91) << "1 + 60 + 30 seconds billed";
    EXPECT_EQ(settled["available_points"], 130 - 91);
}

TEST_F(BillingTest, StopBeforeTheSessionExistsChargesNothing) {
    make();
    start("K1");
    advance(0.3);
    ASSERT_EQ(sessionState(), "CREATING");
    post("live/stop", Json::object());
    advance(1.0);
    EXPECT_EQ(sessionState(), "RECONCILE_REQUIRED") << "no late CREATED after the stop";
    advance(3.0);
    Json settled = state();
    EXPECT_EQ(settled["confirmed_bill"], 0);
    EXPECT_EQ(settled["available_points"], 130);
    EXPECT_EQ(get("client/billing").body["total"], 2) << "only the two opening grants";
}

TEST_F(BillingTest, StopIsIdempotentAndHarmlessWithoutASession) {
    make();
    ApiResponse idle = post("live/stop", Json::object());
    EXPECT_EQ(idle.status, 200);
    EXPECT_EQ(idle.body["status"], "idle");
    EXPECT_EQ(service->handle(apiRequest("POST", "live/stop", token, "")).status, 200);
    start("K1");
    reachRunning();
    post("live/stop", Json::object());
    advance(0.2);
    EXPECT_EQ(post("live/stop", Json::object()).body["status"], "stopping");
    settle();
    EXPECT_EQ(state()["confirmed_bill"], 1);
}

TEST_F(BillingTest, SwitchesApplyToARunningSessionAndFailuresAreReported) {
    make();
    EXPECT_EQ(post("live/switch", startBody("S0")).status, 409);
    std::string id = start("K1");
    // Right after the start (RESERVED) and while the session is created: kept for the join.
    ASSERT_EQ(sessionState(), "RESERVED");
    ApiResponse reserved = post("live/switch", startBody("S0", "virtual_tryon"));
    EXPECT_EQ(reserved.status, 200) << reserved.body.dump();
    EXPECT_EQ(service->sessionMedia(id)->editingType, "virtual_tryon");
    advance(0.3);
    ASSERT_EQ(sessionState(), "CREATING");
    ApiResponse early = post("live/switch", startBody("S0b", "style_transfer"));
    EXPECT_EQ(early.status, 200) << early.body.dump();
    EXPECT_EQ(service->sessionMedia(id)->editingType, "style_transfer");
    advance(0.45);
    ASSERT_EQ(sessionState(), "CREATED");
    advance(1.0);
    ASSERT_EQ(sessionState(), "RUNNING");

    std::vector<SessionEvent> events;
    service->addListener([&](const SessionEvent& event) { events.push_back(event); });
    ApiResponse accepted = post("live/switch", startBody("S1", "background_replacement"));
    ASSERT_EQ(accepted.status, 200);
    EXPECT_EQ(accepted.body["status"], "submitted");
    EXPECT_EQ(post("live/switch", startBody("S1", "background_replacement")).body["seq_id"],
              accepted.body["seq_id"]);
    loop.runUntilIdle();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, SessionEventKind::Switched);
    EXPECT_EQ(events[0].media.editingType, "background_replacement");
    EXPECT_EQ(service->sessionMedia(id)->switchSeq, accepted.body["seq_id"]);

    service->failNextSwitch("render_failed");
    ApiResponse failing = post("live/switch", startBody("S2", "style_transfer"));
    EXPECT_EQ(failing.body["status"], "submitted");
    Json current = get("live/current").body;
    EXPECT_EQ(current["switch_error"]["seq_id"], failing.body["seq_id"]);
    EXPECT_EQ(current["switch_error"]["error_code"], "render_failed");
    EXPECT_EQ(service->sessionMedia(id)->editingType, "background_replacement");

    EXPECT_EQ(post("live/switch", startBody("S3", "style_transfer", "data:,")).status, 422);
}

TEST_F(BillingTest, RequestsThatAreNotUnderstoodGetAClear4xx) {
    config.maxBodyBytes = 1000;
    make();
    struct Case {
        ApiRequest request;
        int status;
    };
    const Case cases[] = {
        {apiRequest("GET", "client/state", ""), 401},
        {apiRequest("GET", "client/state", "nope"), 401},
        {apiRequest("POST", "live/start", token, "{not json"), 400},
        {apiRequest("POST", "live/start", token, "[1,2]"), 400},
        {apiRequest("POST", "live/start", token, "{\"idempotency_key\":\"\xff\xfe\"}"), 400},
        {apiRequest("POST", "live/start", token, std::string(1001, ' ')), 413},
        {apiRequest("POST", "live/start", token, R"({"editing_type":"style_transfer"})"), 400},
        {apiRequest("GET", "live/start", token), 405},
        {apiRequest("GET", "live/everything", token), 404},
        {apiRequest("GET", "client/billing", token, {}, {{"page", "0"}}), 400},
        {apiRequest("GET", "client/billing", token, {}, {{"page", "-2"}}), 400},
        {apiRequest("GET", "client/billing", token, {}, {{"page", "1e3"}}), 400},
        {apiRequest("GET", "client/session-billing", token, {}, {{"page_size", "1000"}}), 400},
    };
    for (const auto& c : cases) {
        ApiResponse response = service->handle(c.request);
        EXPECT_EQ(response.status, c.status) << c.request.method << " " << c.request.path;
        EXPECT_TRUE(response.body["detail"].is_string()) << response.body.dump();
    }
    EXPECT_EQ(state()["available_points"], 130) << "still serving";
}

TEST_F(BillingTest, BillingPagesPageNewestFirstAndAddUpToTheBalances) {
    make();
    for (int run = 0; run < 3; ++run) {
        start("K" + std::to_string(run));
        reachRunning();
        runPolling(4.0 + run);
        post("live/stop", Json::object());
        settle();
    }
    // Charges: 5, 6 and 7 seconds; gift points go first.
    Json balances = state();
    EXPECT_EQ(balances["available_points"], 130 - 18);

    Json all = get("client/billing", {{"page", "1"}}).body;
    EXPECT_EQ(all["total"], 5);
    int64_t paid = 0, gift = 0;
    for (const Json& entry : all["items"]) {
        paid += entry["paid_points"].get<int64_t>();
        gift += entry["gift_points"].get<int64_t>();
    }
    EXPECT_EQ(paid, balances["available_paid_points"]);
    EXPECT_EQ(gift, balances["available_gift_points"]);
    EXPECT_EQ(all["items"][0]["balance_after"], balances["available_points"]);
    EXPECT_EQ(all["items"][0]["points"], -7);

    Json page2 = get("client/billing", {{"page", "2"}, {"page_size", "2"}}).body;
    EXPECT_EQ(page2["total_pages"], 3);
    EXPECT_EQ(page2["has_more"], true);
    ASSERT_EQ(page2["items"].size(), 2u);
    EXPECT_EQ(page2["items"][0]["entry_id"], 3);
    EXPECT_EQ(page2["items"][1]["entry_id"], 2);
    EXPECT_TRUE(get("client/billing", {{"page", "9"}}).body["items"].empty());

    Json sessions = get("client/session-billing", {{"page", "1"}, {"page_size", "20"}}).body;
    ASSERT_EQ(sessions["items"].size(), 3u);
    int64_t charged = 0;
    for (const Json& record : sessions["items"]) {
        EXPECT_EQ(record["bill_confirmed"], true);
        EXPECT_EQ(record["refunded_points"], record["reserved_points"].get<int64_t>() -
                                                 record["confirmed_bill"].get<int64_t>());
        charged += record["confirmed_bill"].get<int64_t>();
    }
    EXPECT_EQ(charged, 18);
    EXPECT_EQ(sessions["items"][0]["confirmed_bill"], 7);
}

TEST_F(BillingTest, RegistryFollowsTheSessionAndItsParticipant) {
    make();
    ApiResponse started = post("live/start", startBody("K1", "virtual_tryon"));
    std::string id = started.body["session_id"];
    RTCCredentials join{started.body["rtc"]["token"], started.body["rtc"]["channel_id"],
                        started.body["rtc"]["user_id"]};
    auto media = service->validateJoin(join);
    ASSERT_TRUE(media);
    EXPECT_EQ(media->sessionID, id);
    EXPECT_EQ(media->renderUID, started.body["render_uid"]);
    EXPECT_EQ(media->editingType, "virtual_tryon");
    EXPECT_EQ(media->referenceJpeg, testing::jpegBytes());
    EXPECT_FALSE(service->validateJoin({join.token, join.channelID, "someone-else"}));
    EXPECT_FALSE(service->validateJoin({join.token, "another-channel", ""}));
    EXPECT_FALSE(service->validateJoin({"rtc_guess", join.channelID, join.userID}));
    EXPECT_TRUE(service->validateJoin({join.token, "", ""})) << "the token alone identifies it";
    EXPECT_FALSE(service->validateJoin({"", "", ""}));

    ASSERT_TRUE(service->attachParticipant(id));
    advance(0.7 + 5.0);
    EXPECT_EQ(sessionState(), "CREATED") << "with a participant, RUNNING waits for its video";
    service->videoFlowing(id);
    EXPECT_EQ(sessionState(), "RUNNING");

    std::vector<SessionEvent> events;
    service->addListener([&](const SessionEvent& event) { events.push_back(event); });
    post("live/stop", Json::object());
    loop.runUntilIdle();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, SessionEventKind::Ended);
    EXPECT_EQ(events[0].media.sessionID, id);
    EXPECT_FALSE(service->validateJoin(join)) << "an ended session takes no joins";
    EXPECT_FALSE(service->attachParticipant(id));
}

TEST_F(BillingTest, AParticipantWhoseVideoNeverFlowsFailsTheSessionAndRefundsIt) {
    config.participantTimeout = seconds(20);
    make();
    std::string id = start("K1");
    ASSERT_TRUE(service->attachParticipant(id));
    advance(0.7);
    runPolling(19.9);
    EXPECT_EQ(sessionState(), "CREATED");
    advance(0.2);
    Json failed = state();
    EXPECT_EQ(failed["session_state"], "FAILED");
    EXPECT_EQ(failed["confirmed_bill"], 0);
    EXPECT_EQ(failed["reserved_points"], 0);
    EXPECT_EQ(failed["available_points"], 130);
    EXPECT_EQ(post("live/start", startBody("K2")).status, 200) << "FAILED is startable";
}

class BillingSnapshotTest : public BillingTest {
protected:
    void SetUp() override {
        BillingTest::SetUp();
        dir = std::filesystem::temp_directory_path() /
              ("zarvo-billing-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        config.snapshotPath = dir / "state.json";
    }
    void TearDown() override {
        service.reset();
        std::filesystem::remove_all(dir);
    }
    std::filesystem::path dir;
};

TEST_F(BillingSnapshotTest, ARestartKeepsAccountsAndReconcilesTheSessionItLostTrackOf) {
    config.accounts.clear(); // the development account with a generated token
    make();
    token = service->developmentToken();
    ASSERT_FALSE(token.empty());
    start("K1");
    reachRunning();
    runPolling(9);
    ASSERT_EQ(state()["session_elapsed_seconds"], 10);
    // Killed right after that answer: only what was on disk then comes back.
    const auto onDisk = readFile(*config.snapshotPath);
    ASSERT_TRUE(onDisk);

    service.reset();
    ASSERT_TRUE(writeFileAtomically(*config.snapshotPath, *onDisk, 0600).ok());
    make();
    EXPECT_EQ(service->developmentToken(), token);
    EXPECT_EQ(service->snapshotProblem(), "");
    Json restarted = state();
    EXPECT_EQ(restarted["session_state"], "RECONCILE_REQUIRED");
    EXPECT_EQ(restarted["reserved_points"], 3600);
    EXPECT_EQ(post("live/start", startBody("K2")).status, 409);
    EXPECT_EQ(post("live/start", startBody("K1")).status, 200) << "the key is remembered";

    advance(3.0);
    Json settled = state();
    EXPECT_EQ(settled["session_state"], "STOPPED");
    EXPECT_EQ(settled["confirmed_bill"], 10);
    EXPECT_EQ(settled["available_points"], 3600 - 10);
    EXPECT_EQ(get("client/billing").body["total"], 3);
}

TEST_F(BillingSnapshotTest, AStopUnderWayAtARestartSettlesAsEnded) {
    make();
    start("K1");
    reachRunning();
    runPolling(3);
    post("live/stop", Json::object());
    service.reset();
    make();
    EXPECT_EQ(sessionState(), "RECONCILE_REQUIRED");
    advance(3.0);
    Json settled = state();
    EXPECT_EQ(settled["session_state"], "ENDED");
    EXPECT_EQ(settled["confirmed_bill"], 4);
    EXPECT_EQ(settled["available_points"], 126);
}

TEST_F(BillingSnapshotTest, AnUnreadableSnapshotIsSetAsideNotOverwrittenSilently) {
    ASSERT_TRUE(writeFileAtomically(*config.snapshotPath, "{\"accounts\": 12").ok());
    make();
    EXPECT_NE(service->snapshotProblem(), "");
    EXPECT_TRUE(std::filesystem::exists(config.snapshotPath->string() + ".unreadable"));
    EXPECT_EQ(state()["available_points"], 130);
}

TEST_F(BillingSnapshotTest, OneMemberOfTheWrongTypeSetsTheWholeSnapshotAside) {
    make();
    start("K1");
    service.reset();
    auto saved = parseJsonObject(*readFile(*config.snapshotPath));
    ASSERT_TRUE(saved);
    (*saved)["accounts"][0]["available_paid_points"] = "lots"; // read as 0 would lose the money
    ASSERT_TRUE(writeFileAtomically(*config.snapshotPath, saved->dump()).ok());

    make();
    EXPECT_NE(service->snapshotProblem().find("available_paid_points"), std::string::npos)
        << service->snapshotProblem();
    EXPECT_TRUE(std::filesystem::exists(config.snapshotPath->string() + ".unreadable"));
    EXPECT_EQ(state()["available_points"], 130) << "a fresh account, not a zeroed one";
    EXPECT_EQ(state()["session_state"], "IDLE");
}

TEST_F(BillingSnapshotTest, TheSnapshotIsOwnerOnlyAndRunningCountersAreWrittenInBatches) {
    make();
    struct stat info {};
    ASSERT_EQ(stat(config.snapshotPath->c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "it holds the tokens";

    start("K1");
    reachRunning();
    auto savedElapsed = [&] {
        auto saved = parseJsonObject(readFile(*config.snapshotPath).value_or(""));
        return saved ? (*saved)["accounts"][0]["sessions"][0].value("elapsed_seconds", -1) : -1;
    };
    const int64_t atRunning = savedElapsed();
    advance(2);
    EXPECT_EQ(savedElapsed(), atRunning) << "not rewritten every billed second";
    // A reported second is on disk before the answer leaves.
    EXPECT_EQ(savedElapsed(), state()["session_elapsed_seconds"]);
    EXPECT_GT(savedElapsed(), atRunning);
    const int64_t reported = savedElapsed();
    advance(config.counterSaveDelay.count() / 1e9 + 1.5);
    EXPECT_GT(savedElapsed(), reported) << "and unreported ones follow soon";
    post("live/stop", Json::object());
    EXPECT_EQ(savedElapsed(), state()["session_elapsed_seconds"]) << "a state change saves at once";
}

// Sign-in by one-time code, in virtual time: the code's limits, the account a number gets, and
// the three ways a token stops working.
class SignInTest : public BillingSnapshotTest {
protected:
    ApiResponse auth(const std::string& path, const Json& body) {
        return service->handle(apiRequest("POST", path, "", body.dump()));
    }
    std::string lastCode() { return service->outbox().back().code; }
    std::string login(const std::string& phone) {
        EXPECT_EQ(auth("auth/code", {{"phone", phone}}).status, 200);
        ApiResponse reply = auth("auth/login", {{"phone", phone}, {"code", lastCode()}});
        EXPECT_EQ(reply.status, 200) << reply.body.dump();
        return reply.body.value("token", "");
    }
    ApiResponse stateOf(const std::string& t) {
        return service->handle(apiRequest("GET", "client/state", t));
    }
};

TEST_F(SignInTest, CodesAreLimitedAndVoidedAfterFiveWrongTries) {
    make();
    ApiResponse bad = auth("auth/code", {{"phone", "1380000"}});
    EXPECT_EQ(bad.status, 400);
    EXPECT_EQ(bad.body["detail"], "手机号格式不正确，请输入 11 位手机号");
    ASSERT_EQ(auth("auth/code", {{"phone", "13800000000"}}).status, 200);
    const std::string code = lastCode();
    EXPECT_EQ(code.size(), 6u);
    advance(59);
    ApiResponse again = auth("auth/code", {{"phone", "13800000000"}});
    EXPECT_EQ(again.status, 429);
    EXPECT_EQ(again.body["detail"], "验证码发送过于频繁，请 1 秒后再试");
    EXPECT_EQ(service->outbox().size(), 1u);
    EXPECT_EQ(auth("auth/code", {{"phone", "13900000000"}}).status, 200) << "per number";

    std::string wrong = code == "000000" ? "111111" : "000000";
    for (int i = 1; i <= 4; ++i) {
        ApiResponse r = auth("auth/login", {{"phone", "13800000000"}, {"code", wrong}});
        EXPECT_EQ(r.status, 400);
        EXPECT_EQ(r.body["detail"], "验证码错误，还可尝试 " + std::to_string(5 - i) + " 次");
    }
    EXPECT_EQ(auth("auth/login", {{"phone", "13800000000"}, {"code", wrong}}).body["detail"],
              "验证码错误次数过多，请重新获取");
    ApiResponse voided = auth("auth/login", {{"phone", "13800000000"}, {"code", code}});
    EXPECT_EQ(voided.status, 400) << "the right code no longer counts";
    EXPECT_FALSE(voided.body.contains("token"));

    // A fresh code after the minute; it lives five minutes; ten an hour at most.
    advance(1);
    ASSERT_EQ(auth("auth/code", {{"phone", "13800000000"}}).status, 200);
    const std::string late = lastCode();
    advance(300);
    EXPECT_EQ(auth("auth/login", {{"phone", "13800000000"}, {"code", late}}).body["detail"],
              "验证码已过期，请重新获取");
    for (int sent = 2; sent < 10; ++sent) {
        advance(60);
        ASSERT_EQ(auth("auth/code", {{"phone", "13800000000"}}).status, 200) << sent;
    }
    advance(60);
    EXPECT_EQ(auth("auth/code", {{"phone", "13800000000"}}).body["detail"],
              "该号码获取验证码次数过多，请一小时后再试");
}

TEST_F(SignInTest, ANumberKeepsItsAccountAndTokensEndByLogoutRevocationAndExpiry) {
    config.tokenLifetime = seconds(3600);
    make();
    const std::string first = login("13800000000");
    EXPECT_GE(first.size(), 32u) << "at least 128 bits";
    EXPECT_EQ(auth("auth/login", {{"phone", "13800000000"}, {"code", lastCode()}}).status, 400)
        << "a code signs in once";
    ApiResponse fresh = stateOf(first);
    ASSERT_EQ(fresh.status, 200);
    EXPECT_EQ(fresh.body["available_points"], 600) << "the usual gift";
    token = first;
    start("K1");
    reachRunning();
    post("live/stop", Json::object());
    settle();
    const Json history = get("client/session-billing").body;
    ASSERT_EQ(history["total"], 1);

    // Out and in again, after a restart: the same account with its history, a new token.
    EXPECT_EQ(post("auth/logout", Json::object()).status, 200);
    ApiResponse out = stateOf(first);
    EXPECT_EQ(out.status, 401);
    EXPECT_EQ(out.body["detail"], "登录已失效（已退出或被撤销），请重新登录");
    make();
    advance(60);
    const std::string second = login("13800000000");
    EXPECT_NE(second, first);
    token = second;
    EXPECT_EQ(get("client/session-billing").body["items"], history["items"]);
    EXPECT_EQ(stateOf("tok-a").status, 200) << "a configured token is untouched";
    EXPECT_EQ(stateOf("zsig_unknown").body["detail"], "登录状态已失效，请重新登录");

    EXPECT_EQ(service->handleAdmin("POST", "/auth/revoke", Json{{"token", second}}.dump())->status,
              200);
    EXPECT_EQ(stateOf(second).status, 401);

    advance(60);
    const std::string third = login("13800000000");
    EXPECT_EQ(stateOf(third).status, 200);
    advance(3600);
    ApiResponse expired = stateOf(third);
    EXPECT_EQ(expired.status, 401);
    EXPECT_EQ(expired.body["detail"], "登录已过期，请重新登录");
    const Json outbox = service->handleAdmin("GET", "/auth/outbox", "")->body;
    ASSERT_TRUE(outbox.is_array());
    EXPECT_EQ(outbox.back()["phone"], "13800000000");
}

} // namespace
} // namespace zarvo::devservice
