// A whole billed session against the service stand-in over TLS: start checks, "live/current",
// "live/start", running, stop, "live/stop", and the account followed until the points settle.
#include "../app/fake_hosts.h"
#include "app/app.h"
#include "app/session_presentation.h"
#include "devservice/billing/billing_front.h"
#include "devservice/devservice.h"
#include "foundation/atomic_file.h"
#include "foundation/glib_loop.h"
#include "foundation/owned.h"
#include "service/deployment.h"
#include "shell/update_link.h"
#include "update/client_support.h"
#include "update/update_presenter.h"
#include "version.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <random>

#include <unistd.h>

namespace zarvo {
namespace {

using devservice::DevService;

// Stands in for the RTC bridge: once joined, edited frames keep arriving.
class FrameReportingBridge : public SessionVideo {
public:
    explicit FrameReportingBridge(Loop& loop) : loop_(loop) {}
    Status<> join(const Json& credentials, const std::string& renderUID) override {
        joinedWith = credentials;
        uid = renderUID;
        joinedAt = loop_.now();
        joinedUptime = loop_.uptime();
        return Ok{};
    }
    void stop() override { joinedAt.reset(); }
    bool resetting() const override { return false; }
    bool hasEngine() const override { return true; }
    void setCameraID(const std::string& id) override { camera = id; }
    std::string cameraID() const override { return camera; }
    RemoteFrameStats frameStats() const override {
        if (!joinedAt)
            return stats;
        stats.count += 25;
        stats.first = stats.first.value_or(*joinedAt);
        stats.last = loop_.now();
        stats.firstUptime = stats.firstUptime.value_or(joinedUptime);
        stats.lastUptime = loop_.uptime();
        return stats;
    }

    Json joinedWith;
    std::string uid, camera;
    std::optional<WallTime> joinedAt;
    Duration joinedUptime{};

private:
    Loop& loop_;
    mutable RemoteFrameStats stats;
};

struct NoOutput : SessionOutput {
    void clear() override {}
};

std::string referencePNG() {
    auto pixbuf = adoptRef(gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 320, 240));
    gdk_pixbuf_fill(pixbuf.get(), 0x4080c0ff);
    gchar* buffer = nullptr;
    gsize size = 0;
    gdk_pixbuf_save_to_buffer(pixbuf.get(), &buffer, &size, "png", nullptr, nullptr);
    GOwned<gchar> saved(buffer);
    return std::string(saved.get(), size);
}

std::vector<std::string> apiCalls(const DevService& service) {
    std::vector<std::string> calls;
    for (const auto& request : service.requests())
        if (request.path.starts_with("/api/v1/"))
            calls.push_back(request.method + " " + request.path.substr(8));
    return calls;
}

// The stand-in over TLS with quick billing, the deployment pointing at it, and Zarvo's folders in
// a folder of the test's own.
class BilledSessionIntegration : public ::testing::Test {
protected:
    void SetUp() override {
        folder = std::filesystem::temp_directory_path() /
                 ("zarvo-billed-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(folder);
        setenv("XDG_DATA_HOME", (folder / "data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
        defaults = std::make_unique<UserDefaults>(folder / "config" / "Zarvo" / "defaults.json");

        startStandIn("stand-in", quickBilling());
    }
    // Billing that moves through its states in a few hundredths of a second.
    static devservice::BillingConfig quickBilling() {
        devservice::BillingConfig config;
        config.reserveDelay = seconds(0.02);
        config.createDelay = seconds(0.02);
        config.runningDelay = seconds(0.02);
        config.stoppingDelay = seconds(0.02);
        config.settlementDelay = seconds(0.05);
        return config;
    }
    // (Re)starts the stand-in in its own state folder and points the deployment at it.
    void startStandIn(const std::string& stateFolder, const devservice::BillingConfig& config) {
        stand.reset(); // before the billing it serves
        billing.reset();
        devservice::DevServiceOptions options;
        options.stateDirectory = folder / stateFolder;
        stand = std::make_unique<DevService>(options);
        ASSERT_TRUE(stand->start().ok());
        billing = devservice::installBilling(*stand, config);
        auto deployment = readDeploymentFile(stand->deploymentFile());
        ASSERT_TRUE(deployment.ok()) << deployment.error().message;
        setCurrentDeployment(*deployment);
    }
    void TearDown() override {
        stand.reset(); // before the billing it serves
        billing.reset();
        std::filesystem::remove_all(folder);
    }

    // Zarvo as the application wires it, with the given bridge and the camera "camera-1" chosen.
    std::unique_ptr<App> makeApp(FrameReportingBridge& bridge, SessionOutput& output) {
        AppWiring wiring;
        wiring.video = &bridge;
        wiring.output = &output;
        wiring.credential = stand->accountToken();
        hosts.camera = "camera-1";
        auto app = std::make_unique<App>(loop, *defaults, hosts.hosts(), std::move(wiring));
        app->selectedReferenceData = reference;
        return app;
    }

    // Runs the loop until `done` holds, at most `limit` seconds.
    bool within(const std::function<bool()>& done, double limit = 20) {
        return loop.runUntil(done, seconds(limit));
    }
    // The account display asks again whenever its last answer is in; stops once `done` holds.
    bool followAccount(App& app, const std::function<bool()>& done) {
        return within([&] {
            if (done())
                return true;
            if (!app.stateBusy)
                app.refreshState();
            return false;
        });
    }

    std::filesystem::path folder;
    std::shared_ptr<devservice::BillingService> billing;
    std::unique_ptr<DevService> stand;
    GLibLoop loop;
    std::unique_ptr<UserDefaults> defaults;
    zarvo::testing::FakeHosts hosts;
    const std::string reference = referencePNG();
};

TEST_F(BilledSessionIntegration, AWholeSessionOverTlsSettlesShowsTheBillAndLeavesItsReport) {
    DevService& service = *stand;
    FrameReportingBridge bridge(loop);
    NoOutput output;
    auto app = makeApp(bridge, output);

    app->refreshState();
    ASSERT_TRUE(within([&] { return !app->stateBusy; }));
    ASSERT_EQ(app->networkState, "online") << app->syncLabel.text;

    app->startAI();
    ASSERT_TRUE(within([&] { return !bridge.uid.empty() || (!app->aiBusy && !app->aiActive); }))
        << app->status.text;
    ASSERT_TRUE(app->aiActive) << app->status.text;
    EXPECT_TRUE(bridge.joinedWith.contains("token"));
    ASSERT_TRUE(followAccount(
        *app, [&] { return jsonString(*app->usageSnapshot, "session_state", "") == "RUNNING"; }));
    EXPECT_EQ(app->sessionBadge.text, "AI 运行中");
    app->pollAI(); // frames flow: the watchdog keeps quiet and the service confirms the session
    ASSERT_TRUE(within([&] { return !app->aiPollBusy; }));
    EXPECT_TRUE(app->aiActive) << app->status.text;

    app->stopAI();
    ASSERT_TRUE(within([&] { return !app->stopRequestBusy; }));
    EXPECT_EQ(app->status.text, "AI 已请求停止，积分以服务端确认结果为准");
    ASSERT_TRUE(followAccount(*app, [&] { return !app->aiStopping; })) << app->sessionBadge.text;
    app->renderUsage();

    const Json& settled = *app->usageSnapshot;
    EXPECT_EQ(jsonInteger(settled, "reserved_points", -1), 0);
    auto bill = jsonInteger(settled, "confirmed_bill");
    ASSERT_TRUE(bill);
    int64_t available = jsonInteger(settled, "available_points", -1);
    int64_t elapsed = jsonInteger(settled, "session_elapsed_seconds", 0);
    char hms[64];
    std::snprintf(hms, sizeof hms, "%02lld:%02lld:%02lld", static_cast<long long>(elapsed / 3600),
                  static_cast<long long>(elapsed / 60 % 60), static_cast<long long>(elapsed % 60));
    EXPECT_EQ(app->sessionBadge.text, "本次已结算");
    EXPECT_EQ(app->pointsLabel.text, std::to_string(available) + "  积分");
    EXPECT_EQ(app->durationLabel.text, "本次已结算\n运行 " + std::string(hms) + " · 实际扣费 " +
                                           std::to_string(*bill) + " 积分\n剩余 " +
                                           std::to_string(available) + " 积分");

    auto calls = apiCalls(service);
    auto at = [&](const std::string& call) {
        return std::find(calls.begin(), calls.end(), call) - calls.begin();
    };
    ASSERT_LT(at("POST live/stop"), static_cast<long>(calls.size()));
    EXPECT_LT(at("GET live/current"), at("POST live/start"));
    EXPECT_LT(at("POST live/start"), at("POST live/stop"));
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "POST live/start"), 1);
    EXPECT_EQ(calls.back(), "GET client/state");

    auto report = readFile(folder / "data" / "ZarvoDiagnostics" /
                           ("stop-" + std::string(kVersion) + ".json"));
    ASSERT_TRUE(report);
    auto object = parseJsonObject(*report);
    ASSERT_TRUE(object);
    EXPECT_EQ((*object)["reason"], "用户或业务流程停止");
    EXPECT_GT((*object)["remote_frames"].get<int64_t>(), 0);
}

// Saves the diagnostics summary where the test says; every other dialog is declined.
struct SavingPresenter : UpdatePresenter {
    bool canPresent() override { return true; }
    void alert(const std::string& title, const std::string& message) override {
        alerts.push_back(title + " " + message);
    }
    int showRelease(const ReleaseDialog&) override { return -1; }
    int confirm(const std::string&, const std::string&, const std::vector<std::string>&) override {
        return -1;
    }
    std::optional<std::filesystem::path> chooseSaveLocation(const std::string&,
                                                            const std::string&) override {
        return target;
    }
    std::filesystem::path target;
    std::vector<std::string> alerts;
};

// A client signed in from its kept credential runs and settles a session; then neither the
// diagnostics export nor anything it wrote into its folders holds the token.
TEST_F(BilledSessionIntegration, TheTokenReachesNoReportAndNoDiagnosticsExport) {
    const std::string token = stand->accountToken();
    ASSERT_GE(token.size(), 8u);
    const auto credentialFile = folder / "config" / "Zarvo" / "credential";
    ASSERT_TRUE(FileCredentialStore(credentialFile).write(token).ok());

    FrameReportingBridge bridge(loop);
    NoOutput output;
    AppWiring wiring;
    wiring.video = &bridge;
    wiring.output = &output;
    wiring.credentialStore = std::make_shared<FileCredentialStore>(credentialFile);
    // App and the update workflow joined as the shell joins them.
    UpdateLink link(nullptr);
    hosts.camera = "camera-1";
    App app(loop, *defaults, hosts.hosts(link), std::move(wiring));
    app.selectedReferenceData = reference;

    app.loadStoredCredential();
    ASSERT_TRUE(followAccount(app, [&] { return app.networkState == "online"; }))
        << app.syncLabel.text;
    EXPECT_EQ(app.credential, token);
    app.startAI();
    ASSERT_TRUE(within([&] { return !bridge.uid.empty() || (!app.aiBusy && !app.aiActive); }))
        << app.status.text;
    ASSERT_TRUE(followAccount(
        app, [&] { return jsonString(*app.usageSnapshot, "session_state", "") == "RUNNING"; }));
    app.stopAI();
    ASSERT_TRUE(followAccount(app, [&] { return !app.aiStopping && !app.stopRequestBusy; }));

    SavingPresenter presenter;
    presenter.target = folder / "export" / "diagnostics.json";
    ClientSupportEnvironment environment;
    environment.currentVersion = kVersion;
    ClientSupport& support = link.open(app, loop, presenter, environment, [] {});
    support.exportDiagnostics();
    ASSERT_TRUE(presenter.alerts.empty()) << presenter.alerts.front();
    ASSERT_TRUE(std::filesystem::exists(presenter.target));
    link.close(); // before the presenter goes

    // Every file of the export and of Zarvo's folders, the kept credential itself aside.
    size_t searched = 0;
    for (const auto& root : {folder / "export", folder / "data", folder / "config"})
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
            if (!entry.is_regular_file() || entry.path() == credentialFile)
                continue;
            ++searched;
            auto text = readFile(entry.path());
            ASSERT_TRUE(text) << entry.path();
            EXPECT_EQ(text->find(token), std::string::npos) << entry.path();
        }
    EXPECT_GE(searched, 2u); // the export and the stop report at least
    EXPECT_TRUE(std::filesystem::exists(folder / "data" / "ZarvoDiagnostics" /
                                        ("stop-" + std::string(kVersion) + ".json")));
}

// Quits at random moments of a start or a session, with the stand-in slow or failing on the way:
// after each quit's reply the stand-in settles without a live session (a leaked one would stay
// billed until its 30 s heartbeat time-out). Seeded, so a failure repeats.
TEST_F(BilledSessionIntegration, QuitsAtRandomMomentsLeaveNoSessionLive) {
    std::mt19937 random(20261209);
    const devservice::Fault faults[] = {
        {},
        {.path = "/api/v1/live/start", .delay = seconds(0.6)},
        {.path = "/api/v1/live/stop", .status = 503, .count = 1},
        {.path = "/api/v1/live/stop", .drop = true, .count = 1},
        {.path = "/api/v1/live/current", .delay = seconds(0.3)},
    };
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const devservice::Fault& fault = faults[round % std::size(faults)];
        const auto quitAfter = std::chrono::milliseconds(random() % 1500);
        FrameReportingBridge bridge(loop);
        NoOutput output;
        auto app = makeApp(bridge, output);
        // The account as the stand-in sees it now, asked again until `done` holds.
        auto settled = [&] {
            return loop.runUntil(
                [&] {
                    if (app->stateBusy)
                        return false;
                    if (app->usageSnapshot &&
                        app->usageOperationGeneration == app->operationGeneration) {
                        const Json& s = *app->usageSnapshot;
                        if (jsonInteger(s, "reserved_points", -1) == 0 &&
                            SessionPresentation::canStart(jsonString(s, "session_state", "")))
                            return true;
                    }
                    app->refreshState();
                    return false;
                },
                seconds(20));
        };
        ASSERT_TRUE(settled()) << "the last round left a session behind";

        if (fault.path != "*")
            stand->faults().add(fault);
        app->startAI();
        loop.runUntil([] { return false; }, quitAfter);
        std::optional<bool> reply;
        if (app->applicationShouldTerminate([&](bool ok) { reply = ok; }))
            reply = true;
        ASSERT_TRUE(loop.runUntil([&] { return reply.has_value(); }, seconds(30)))
            << "the quit never ended; " << app->status.text;
        stand->faults().clear();
        EXPECT_TRUE(settled()) << "a session outlived the quit";
        app.reset();
    }
}

// Signed in through the real stand-in, the account's token is revoked while a session runs: the
// next account-bound call's 401 stops the video at once and signs out once, and the service,
// no longer hearing from the client, stops billing within its heartbeat time-out.
TEST_F(BilledSessionIntegration, ARevokedTokenMidSessionStopsTheVideoSignsOutAndBillsNoMore) {
    auto config = quickBilling();
    config.heartbeatTimeout = seconds(10);
    config.codeInterval = seconds(0); // the test signs the same number in twice at once
    startStandIn("stand-in-2", config);
    const std::string phone = "13800001111";

    FrameReportingBridge bridge(loop);
    NoOutput output;
    auto app = makeApp(bridge, output);
    app->credential.reset(); // a newcomer
    const auto kept = folder / "config" / "Zarvo" / "credential";
    app->credentialKeeper =
        std::make_unique<CredentialKeeper>(loop, std::make_shared<FileCredentialStore>(kept));
    // Signed in, an account reply must have come before `done` counts.
    auto followSignedIn = [&](const std::function<bool()>& done) {
        return followAccount(*app, [&] { return app->usageSnapshot && done(); });
    };
    std::optional<std::optional<std::string>> answer;
    auto answered = [&](std::optional<std::string> error) { answer = std::move(error); };

    app->requestSignInCode(phone, answered);
    ASSERT_TRUE(within([&] { return answer.has_value(); }));
    ASSERT_FALSE(*answer) << **answer;
    const std::string code = billing->outbox().back().code;
    answer.reset();
    app->signIn(phone, code == "000000" ? "111111" : "000000", answered);
    ASSERT_TRUE(within([&] { return answer.has_value(); }));
    EXPECT_EQ(answer->value_or(""), "验证码错误，还可尝试 4 次");
    EXPECT_FALSE(app->credential);
    answer.reset();
    app->signIn(phone, code, answered);
    ASSERT_TRUE(within([&] { return answer.has_value(); }));
    ASSERT_FALSE(*answer) << **answer;
    ASSERT_TRUE(app->credential);
    const std::string token = *app->credential;
    EXPECT_EQ(app->maskedPhone, "138****1111");
    EXPECT_TRUE(within([&] { return readFile(kept).value_or("").find(token) == 0; })) << "kept";
    ASSERT_TRUE(followSignedIn([] { return true; }));
    EXPECT_EQ(jsonInteger(*app->usageSnapshot, "available_points", -1), 600) << "the gift points";

    // A second sign-in of the same account, for the test to watch the account after the
    // client's token is gone. Reading "client/state" is no heartbeat.
    auto onServer = [&](const std::string& method, const std::string& path, const Json& body,
                        const std::string& bearer) {
        devservice::ApiResponse response;
        stand->runOnServer([&] {
            devservice::ApiRequest request;
            request.method = method;
            request.path = path;
            request.body = method == "POST" ? body.dump() : "";
            request.bearerToken = bearer;
            response = billing->handle(request);
        });
        return response;
    };
    ASSERT_EQ(onServer("POST", "auth/code", {{"phone", phone}}, "").status, 200);
    std::string watcher = onServer("POST", "auth/login",
                                   {{"phone", phone}, {"code", billing->outbox().back().code}}, "")
                              .body.value("token", "");
    ASSERT_FALSE(watcher.empty());

    app->startAI();
    ASSERT_TRUE(within([&] { return !bridge.uid.empty() || (!app->aiBusy && !app->aiActive); }));
    ASSERT_TRUE(app->aiActive) << app->status.text;
    ASSERT_TRUE(followSignedIn(
        [&] { return jsonString(*app->usageSnapshot, "session_state", "") == "RUNNING"; }));
    EXPECT_EQ(app->signOut().value_or(""), "请先停止 AI 并等待结算，再退出或切换账号");
    EXPECT_EQ(app->credential, token) << "still signed in";

    // Revoked on the service; what it had billed at that moment.
    int64_t billedAtRevocation = -1;
    stand->runOnServer([&] {
        devservice::ApiRequest request;
        request.method = "GET";
        request.path = "client/state";
        request.bearerToken = watcher;
        billedAtRevocation =
            jsonInteger(billing->handle(request).body, "session_elapsed_seconds", -1);
        EXPECT_TRUE(billing->revokeToken(token));
    });
    ASSERT_GE(billedAtRevocation, 0);

    app->pollAI();
    ASSERT_TRUE(within([&] { return !app->credential; }));
    EXPECT_FALSE(bridge.joinedAt) << "the video stopped with the 401";
    EXPECT_FALSE(app->aiActive);
    EXPECT_EQ(app->signInNotice, "登录已过期，请重新登录");
    EXPECT_EQ(app->maskedPhone, "");
    const size_t callsAtSignOut = apiCalls(*stand).size();

    // The service stops the session by its heartbeat rule and settles it.
    Json record;
    ASSERT_TRUE(within(
        [&] {
            Json page = onServer("GET", "client/session-billing", {}, watcher).body;
            if (!page.contains("items") || page["items"].empty())
                return false;
            record = page["items"][0];
            return record.value("bill_confirmed", false);
        },
        60));
    EXPECT_EQ(record.value("end_reason", ""), "heartbeat_timeout");
    const int64_t billed = record.value("elapsed_seconds", int64_t{-1});
    EXPECT_LE(billed - billedAtRevocation, 10 + 1) << "billed past the 401";
    EXPECT_LE(apiCalls(*stand).size(), callsAtSignOut + 1) << "no calls after one 401";

    auto report = readFile(folder / "data" / "ZarvoDiagnostics" /
                           ("stop-" + std::string(kVersion) + ".json"));
    ASSERT_TRUE(report);
    auto object = parseJsonObject(*report);
    ASSERT_TRUE(object);
    EXPECT_EQ((*object)["reason"], "登录已过期，请重新登录");
    EXPECT_FALSE(std::filesystem::exists(kept)) << "erased with the 401";
}

} // namespace
} // namespace zarvo
