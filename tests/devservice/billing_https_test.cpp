// Whole billed lifecycles through the stand-in's HTTPS front, with the client's own TLS transport.
// These run in real time, so the service's delays are cut to fractions of a second, and no check
// depends on catching a state inside its delay: the short-lived states (settling, reconciling after
// a restart) are checked in virtual time in billing_service_test.cpp.
#include "billing_test_support.h"
#include "devservice/billing/billing_front.h"
#include "devservice/devservice.h"
#include "foundation/atomic_file.h"
#include "foundation/glib_loop.h"
#include "service/deployment.h"
#include "service/soup_http_client.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <unistd.h>

namespace zarvo::devservice {
namespace {

using testing::startBody;

struct Reply {
    int status = 0;
    Json body;
};

class BillingHttpsTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("zarvo-billing-https-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        config.reserveDelay = seconds(0.05);
        config.createDelay = seconds(0.05);
        config.runningDelay = seconds(0.05);
        config.stoppingDelay = seconds(0.05);
        config.settlementDelay = seconds(0.2);
        config.heartbeatTimeout = seconds(20);
        config.snapshotPath = dir / "billing.json";
    }
    void TearDown() override {
        stopService();
        std::filesystem::remove_all(dir);
    }

    void startService() {
        DevServiceOptions options;
        options.stateDirectory = dir;
        dev = std::make_unique<DevService>(options);
        auto started = dev->start();
        ASSERT_TRUE(started.ok()) << started.error().message;
        billing = installBilling(*dev, config);
        auto deployment = readDeploymentFile(dev->deploymentFile());
        ASSERT_TRUE(deployment.ok()) << deployment.error().message;
        host = deployment->primaryHost;
        token = deployment->accountToken;
        EXPECT_EQ(token, billing->developmentToken());
        client = std::make_unique<SoupHttpClient>(*deployment);
    }
    void stopService() {
        client.reset();
        dev.reset(); // joins the server thread before the billing goes
        billing.reset();
    }

    Reply call(const std::string& method, const std::string& pathAndQuery,
               std::optional<std::string> body = std::nullopt,
               std::optional<std::string> bearer = std::nullopt) {
        HttpRequest request;
        request.method = method;
        request.url = "https://" + host + "/api/v1/" + pathAndQuery;
        request.headers = {{"Authorization", "Bearer " + bearer.value_or(token)},
                           {"Content-Type", "application/json"}};
        request.body = std::move(body);
        request.timeout = seconds(60);
        Reply reply;
        bool done = false;
        client->send(request,
                     [&](std::optional<std::string> data, std::optional<HttpResponse> response,
                         std::optional<TransportError> error) {
                         EXPECT_FALSE(error) << error->message;
                         reply.status = response ? response->status : 0;
                         if (data)
                             reply.body = parseJsonObject(*data).value_or(Json());
                         done = true;
                     });
        EXPECT_TRUE(loop.runUntil([&] { return done; }, seconds(90)));
        return reply;
    }
    Json get(const std::string& pathAndQuery) { return call("GET", pathAndQuery).body; }
    Reply post(const std::string& path, const Json& body) {
        return call("POST", path, body.dump());
    }

    // Polls `path` (a heartbeat when it is "live/current") until `done` holds for its reply.
    Json waitFor(const std::string& path, const std::function<bool(const Json&)>& done,
                 Duration timeout = seconds(60)) {
        Duration deadline = loop.uptime() + timeout;
        for (;;) {
            Json reply = get(path);
            if (done(reply) || loop.uptime() > deadline)
                return reply;
            loop.runUntil([] { return false; }, seconds(0.03));
        }
    }
    static std::function<bool(const Json&)> stateIs(const std::string& key,
                                                    const std::string& state) {
        return [key, state](const Json& reply) { return reply.value(key, "") == state; };
    }

    std::filesystem::path dir;
    BillingConfig config;
    GLibLoop loop;
    std::shared_ptr<BillingService> billing;
    std::unique_ptr<DevService> dev;
    std::unique_ptr<SoupHttpClient> client;
    std::string host;
    std::string token;
};

TEST_F(BillingHttpsTest, StartRunStopSettleOverTls) {
    config.accounts = {{"", "dev", 100, 1}};
    startService();
    Reply started = post("live/start", startBody("K1"));
    ASSERT_EQ(started.status, 200) << started.body.dump();
    ASSERT_TRUE(started.body["rtc"].is_object());
    EXPECT_TRUE(started.body["render_uid"].is_string());
    std::string session = started.body["session_id"];

    Reply retried = post("live/start", startBody("K1"));
    EXPECT_EQ(retried.status, 200);
    EXPECT_EQ(retried.body["session_id"], session) << "one key, one session";
    Reply second = post("live/start", startBody("K2"));
    EXPECT_EQ(second.status, 409);
    EXPECT_NE(second.body.value("detail", "").find("uncertain session"), std::string::npos);

    ASSERT_EQ(waitFor("live/current", stateIs("state", "RUNNING"))["state"], "RUNNING");
    Json running =
        waitFor("live/current", [](const Json& r) { return r.value("elapsed_seconds", 0) >= 2; });
    ASSERT_GE(running["elapsed_seconds"], 2);
    EXPECT_EQ(post("live/switch", startBody("S1", "style_transfer")).body["status"], "submitted");

    EXPECT_EQ(post("live/stop", Json::object()).status, 200);
    Json settled =
        waitFor("client/state", [](const Json& s) { return s.value("reserved_points", -1) == 0; });
    ASSERT_EQ(settled["bill_confirmed"], true) << settled.dump();
    int64_t bill = settled["confirmed_bill"];
    EXPECT_GE(bill, 2);
    EXPECT_EQ(settled["session_state"], "ENDED");
    EXPECT_EQ(settled["actual_consumed_gift_points"], 1) << "the gift point goes first";
    EXPECT_EQ(settled["actual_consumed_paid_points"], bill - 1);
    EXPECT_EQ(settled["available_paid_points"], 100 - (bill - 1));
    EXPECT_EQ(settled["available_gift_points"], 0);

    Json ledger = get("client/billing?page=1");
    ASSERT_EQ(ledger["total"], 3);
    EXPECT_EQ(ledger["items"][0]["points"], -bill);
    EXPECT_EQ(ledger["items"][0]["balance_after"], settled["available_points"]);
    Json sessions = get("client/session-billing?page=1&page_size=20");
    ASSERT_EQ(sessions["items"].size(), 1u);
    EXPECT_EQ(sessions["items"][0]["confirmed_bill"], bill);
    EXPECT_EQ(post("live/start", startBody("K4")).status, 200) << "settled: a new start is fine";
}

TEST_F(BillingHttpsTest, TheServiceEndsSessionsOnExhaustionAndOnHeartbeatLoss) {
    config.accounts = {{"", "dev", 20, 0}};
    config.maxReservationPoints = 1;
    // Long enough that the polls below keep the first session alive on a busy machine.
    config.heartbeatTimeout = seconds(5);
    startService();
    ASSERT_EQ(post("live/start", startBody("K1")).status, 200);
    // One point held: the first billed second uses it up, whoever polls.
    Json exhausted = waitFor("live/current", stateIs("state", "ENDED"));
    ASSERT_EQ(exhausted["state"], "ENDED");
    Json state = get("client/state");
    EXPECT_EQ(state["confirmed_bill"], 1);
    EXPECT_EQ(state["available_points"], 19);

    // Room for a long session, restarted (the account is in the snapshot).
    stopService();
    config.maxReservationPoints = 3600;
    startService();
    ASSERT_EQ(post("live/start", startBody("K2")).status, 200);
    // The client vanishes: no "live/current" poll, only account reads.
    Json lost = waitFor("client/state", stateIs("session_state", "STOPPED"));
    EXPECT_EQ(lost["session_state"], "STOPPED");
    EXPECT_EQ(lost["reserved_points"], 0);
    EXPECT_EQ(get("client/session-billing?page=1&page_size=20")["items"][0]["end_reason"],
              "heartbeat_timeout");
}

TEST_F(BillingHttpsTest, TooFewPointsAndMalformedRequestsAreRefusedAndServiceKeepsServing) {
    config.accounts = {{"", "dev", 6, 3}};
    config.maxBodyBytes = 64 * 1024;
    startService();
    Reply poor = post("live/start", startBody("K1"));
    EXPECT_EQ(poor.status, 402);
    EXPECT_NE(poor.body.value("detail", "").find("insufficient balance"), std::string::npos);

    const std::vector<std::pair<Reply, int>> refusals = {
        {call("GET", "client/state", std::nullopt, "not-a-token"), 401},
        {call("POST", "live/start", std::string("{\"idempotency_key\":")), 400},
        {call("POST", "live/start", std::string(100 * 1024, '{')), 413},
        {post("live/start", startBody("K2", "portrait")), 422},
        {call("GET", "client/billing?page=zero"), 400},
        // Decoding would need 10000 × 10000 × 4 bytes: refused from the header.
        {post("live/start", startBody("K3", "subject_replacement",
                                      testing::jpegDataURL(testing::jpegClaiming(10000, 10000)))),
         422},
        {call("GET", "live/nothing"), 404},
    };
    for (const auto& [reply, status] : refusals) {
        EXPECT_EQ(reply.status, status) << reply.body.dump();
        EXPECT_TRUE(reply.body["detail"].is_string()) << reply.body.dump();
    }
    EXPECT_EQ(get("client/state")["available_points"], 9);
}

TEST_F(BillingHttpsTest, ARestartedServiceKeepsTheAccountAndSettlesTheSessionItLost) {
    config.accounts = {{"", "dev", 50, 10}};
    startService();
    ASSERT_EQ(post("live/start", startBody("K1")).status, 200);
    waitFor("live/current", [](const Json& r) { return r.value("elapsed_seconds", 0) >= 1; });
    std::string before = token;
    stopService();

    startService();
    EXPECT_EQ(token, before) << "the development account survives";
    Json settled = waitFor("client/state", stateIs("session_state", "STOPPED"));
    ASSERT_EQ(settled["bill_confirmed"], true);
    EXPECT_GE(settled["confirmed_bill"], 1);
    EXPECT_EQ(settled["available_points"], 60 - settled["confirmed_bill"].get<int64_t>());
}

TEST_F(BillingHttpsTest, ASnapshotWithAMemberOfTheWrongTypeIsSetAsideAndSaidSo) {
    config.accounts = {{"", "dev", 50, 10}};
    startService();
    ASSERT_EQ(post("live/start", startBody("K1")).status, 200);
    stopService();
    auto saved = parseJsonObject(*readFile(*config.snapshotPath));
    ASSERT_TRUE(saved);
    (*saved)["accounts"][0]["sessions"][0]["reserved_paid_points"] = "50";
    ASSERT_TRUE(writeFileAtomically(*config.snapshotPath, saved->dump()).ok());

    startService();
    EXPECT_NE(billing->snapshotProblem().find("reserved_paid_points"), std::string::npos)
        << billing->snapshotProblem();
    EXPECT_TRUE(std::filesystem::exists(config.snapshotPath->string() + ".unreadable"));
    Json fresh = get("client/state");
    EXPECT_EQ(fresh["available_points"], 60) << fresh.dump();
    EXPECT_EQ(fresh["session_state"], "IDLE");
}

TEST_F(BillingHttpsTest, TheFrontBillsByDefaultAcrossItsOwnRestart) {
    DevServiceOptions options;
    options.stateDirectory = dir;
    dev = std::make_unique<DevService>(options);
    ASSERT_TRUE(dev->start().ok());
    auto deployment = readDeploymentFile(dev->deploymentFile());
    ASSERT_TRUE(deployment.ok());
    host = deployment->primaryHost;
    token = deployment->accountToken;
    client = std::make_unique<SoupHttpClient>(*deployment);
    ASSERT_EQ(post("live/start", startBody("K1")).status, 200);
    EXPECT_EQ(waitFor("live/current", stateIs("state", "RUNNING"))["state"], "RUNNING");

    // A restart of the same front brings a billing bound to its new loop, not the stopped one.
    client.reset();
    dev->stop();
    ASSERT_TRUE(dev->start().ok());
    client = std::make_unique<SoupHttpClient>(*readDeploymentFile(dev->deploymentFile()));
    Json state = get("client/state");
    EXPECT_EQ(state["available_points"], 3600);
    EXPECT_EQ(state["session_state"], "IDLE");
    EXPECT_EQ(post("live/start", startBody("K2")).status, 200);
    // The lifecycle's timers run on the new loop.
    EXPECT_EQ(waitFor("live/current", stateIs("state", "RUNNING"))["state"], "RUNNING");
}

TEST(BillingProgramConfigTest, ReadsTheStateFolderSettingsAndKeepsTheSnapshotThere) {
    auto dir = std::filesystem::temp_directory_path() /
               ("zarvo-billing-program-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    auto plain = programBillingConfig(dir);
    ASSERT_TRUE(plain.ok());
    EXPECT_EQ(*plain->snapshotPath, dir / "billing.json");
    EXPECT_EQ(plain->settlementDelay, BillingConfig{}.settlementDelay);

    ASSERT_TRUE(writeFileAtomically(dir / "billing-settings.json",
                                    R"({"settlement_seconds": 0.5, "snapshot": "/tmp/b.json"})")
                    .ok());
    auto configured = programBillingConfig(dir);
    ASSERT_TRUE(configured.ok());
    EXPECT_EQ(configured->settlementDelay, seconds(0.5));
    EXPECT_EQ(configured->snapshotPath->string(), "/tmp/b.json");

    ASSERT_TRUE(
        writeFileAtomically(dir / "billing-settings.json", R"({"settlement_seconds": "x"})").ok());
    auto broken = programBillingConfig(dir);
    ASSERT_FALSE(broken.ok());
    EXPECT_NE(broken.error().message.find("billing-settings.json"), std::string::npos);
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace zarvo::devservice
