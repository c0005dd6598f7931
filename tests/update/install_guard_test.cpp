// The install hand-over guarded by the real application core, joined by the shell's own update
// link: the update workflow holds a staged, signed update and asks App whether a paid session is
// in the way and whether the service confirms the account idle and settled, and App asks the
// workflow whether it is installing before a start. In virtual time against a scripted service;
// the installer is never really started.
#include "../app/session_fixture.h"
#include "foundation/paths.h"
#include "shell/update_link.h"
#include "update/bundle_signature.h"
#include "update/client_support.h"
#include "update/pending_update.h"
#include "update/url_error.h"
#include "update_test_support.h"

#include <gtest/gtest.h>

#include <deque>
#include <unistd.h>

namespace zarvo {
namespace {

namespace fs = std::filesystem;
using zarvo::testing::ScriptedReply;

// Every dialog answered with its first button ("退出并安装"): only the guards can stop it.
struct ConfirmingPresenter : UpdatePresenter {
    std::vector<std::string> titles;
    bool canPresent() override { return true; }
    void alert(const std::string& title, const std::string&) override { titles.push_back(title); }
    int showRelease(const ReleaseDialog& dialog) override {
        titles.push_back(dialog.title);
        return 1; // "稍后" when offered at start-up; the tests install explicitly
    }
    int confirm(const std::string& title, const std::string&,
                const std::vector<std::string>&) override {
        titles.push_back(title);
        return 0;
    }
    std::optional<fs::path> chooseSaveLocation(const std::string&, const std::string&) override {
        return std::nullopt;
    }
};

class InstallGuard : public zarvo::testing::SessionTest {
protected:
    void SetUp() override {
        home = folder / "home";
        fs::create_directories(home / "Applications");
        setenv("HOME", home.c_str(), 1);
        current = testing_support::makeBundle(home / "Applications", "1.0.29");

        // A development deployment that trusts one release key, as the stand-in's does.
        const fs::path key = testing_support::makeSigningKey(folder);
        auto publicKey = BundleSignature::publicKeyOf(key);
        ASSERT_TRUE(publicKey.ok());
        Json deployment = {
            {"primary_host", "api.zarvo.test"},
            {"secondary_host", "api2.zarvo.test"},
            {"download_host", "download.zarvo.test"},
            {"release_key", {{"key_id", "ZARVODEV01"}, {"public_key", base64Encode(*publicKey)}}}};
        const fs::path file = folder / "deployment.json";
        ASSERT_TRUE(writeFileAtomically(file, deployment.dump()).ok());
        auto read = readDeploymentFile(file);
        ASSERT_TRUE(read.ok()) << read.error().message;
        setCurrentDeployment(*read);

        // The staged update a previous run left, restored at start.
        ClientRelease release;
        release.version = "1.0.30";
        release.url = "https://api.zarvo.test/downloads/workbench/zarvo/linux/"
                      "Zarvo-1.0.30-linux-x64.zip";
        release.sha256 = std::string(64, 'a');
        release.notes = "修复已知问题。";
        release.architecture = "x86_64";
        release.platform = "linux";
        release.size = 1000;
        release.publishedAt = "2026-03-01T08:00:00Z";
        const fs::path updates = storageDirectory() / "Updates";
        staged = testing_support::makeBundle(updates / "update-1B2C", "1.0.30");
        ASSERT_TRUE(BundleSignature::sign(staged, key, "ZARVODEV01", "cn.zarvo.morvex.workbench"));
        PendingUpdate pending{release, staged};
        ASSERT_TRUE(pending.write(updates / "pending.json"));

        auto environment = ClientSupportEnvironment::forThisProcess();
        environment.currentVersion = "1.0.29";
        environment.currentBundle = current;
        environment.updaterExecutable = "/bin/true";
        environment.startProcess = [this](const std::vector<std::string>& argv) {
            started.push_back(argv);
            return true;
        };
        // The manifest cannot be read: the restored update is what there is.
        environment.fetch = [](const std::string&, UpdateMirror::FetchReply reply) {
            reply(std::nullopt, std::nullopt, URLError::make(URLError::kCannotConnectToHost));
        };
        // App and the workflow joined as the shell joins them.
        buildApp(link);
        loop.runUntilIdle();
        support = &link.open(*app, loop, presenter, environment, [this] { ++terminations; });
        sync();
        support->start();
        ASSERT_TRUE(loop.runUntil([&] { return support->stagedApp() && !support->checking(); },
                                  std::chrono::seconds(60)))
            << support->updateStatus();
    }
    void TearDown() override {
        link.close();
        app.reset(); // before the link it was given
        clearCurrentDeployment();
    }

    // Asks to install; the confirmation is answered "退出并安装".
    void install() {
        support->installDownloaded();
        loop.runUntilIdle();
    }
    void expectNoHandOver(const char* when) {
        EXPECT_TRUE(started.empty()) << when;
        EXPECT_EQ(terminations, 0) << when;
        EXPECT_FALSE(support->installing()) << when;
        EXPECT_TRUE(support->stagedApp()) << when << ": the staged update stays for later";
    }

    fs::path home, current, staged;
    ConfirmingPresenter presenter;
    UpdateLink link{nullptr};
    ClientSupport* support = nullptr;
    std::vector<std::vector<std::string>> started;
    int terminations = 0;
};

TEST_F(InstallGuard, NoHandOverWhileASessionRunsOrSettlesOrTheServiceCannotConfirmIdle) {
    startSession();
    install();
    expectNoHandOver("session running");
    EXPECT_EQ(support->snapshot()["canInstall"], false);
    EXPECT_EQ(support->snapshot()["status"], "已下载，等待 AI 会话结束并完成结算");

    // Stopping: the service still reports the session and its reserved points.
    service.answer("client/state", zarvo::testing::runningAccount());
    app->stopAI();
    loop.runUntilIdle();
    install();
    expectNoHandOver("session stopping");

    // Settled as far as this client's last reply knows, but the service still holds points.
    service.answer("client/state", zarvo::testing::idleAccount());
    sync();
    ASSERT_FALSE(app->sessionBusy());
    service.answer(
        "client/state",
        Json{{"available_points", 80}, {"reserved_points", 20}, {"session_state", "ENDED"}});
    const size_t asked = service.count("client/state");
    install();
    EXPECT_GT(service.count("client/state"), asked) << "the service was asked";
    expectNoHandOver("points still reserved");

    // Or the confirming request fails.
    service.answer("client/state", zarvo::testing::idleAccount());
    sync();
    service.answer("client/state", ScriptedReply::failure());
    install();
    expectNoHandOver("service unreachable");
    EXPECT_EQ(support->updateStatus(), "暂不能安装：请联网并等待 AI 会话完成结算");
}

// From the moment the install step asks the service whether the account is idle, a start is
// refused with its reason and nothing is sent: the quit that follows would cut the session short.
// Once the service confirms, the hand-over goes ahead.
TEST_F(InstallGuard, AStartWhileTheServiceConfirmsIsRefusedAndTheHandOverGoesAhead) {
    sync(); // a fresh account: but for the install, this start would go out
    service.hold("client/state");
    install();
    ASSERT_TRUE(support->installing());
    EXPECT_EQ(support->updateStatus(), "正在核对会话结算…");
    const size_t checks = service.count("live/current");
    app->startAI();
    loop.runUntilIdle();
    EXPECT_EQ(app->status.text, "正在安装更新，暂不能开启 AI");
    EXPECT_FALSE(app->sessionBusy());
    EXPECT_EQ(service.count("live/current"), checks) << "nothing was sent";

    service.release("client/state", ScriptedReply::json(zarvo::testing::idleAccount()));
    loop.runUntilIdle();
    ASSERT_EQ(started.size(), 1u);
    const auto& argv = started[0];
    ASSERT_EQ(argv.size(), 5u);
    EXPECT_TRUE(fs::path(argv[0]).filename().string().starts_with("ZarvoUpdater-"));
    EXPECT_EQ(argv[1], staged.string());
    EXPECT_EQ(argv[2], std::to_string(::getpid()));
    EXPECT_EQ(argv[3], current.string());
    EXPECT_EQ(argv[4], "1.0.30");
    EXPECT_EQ(terminations, 1);
    EXPECT_FALSE(app->sessionBusy());
}

// Signed out, the install check does not ask the service without a credential, and without its
// answer nothing is handed over.
TEST_F(InstallGuard, WithoutAnAccountTheServiceIsNotAskedAndNothingIsHandedOver) {
    app->credential.reset();
    const size_t asked = service.count("client/state");
    install();
    EXPECT_EQ(service.count("client/state"), asked);
    expectNoHandOver("no account");
    EXPECT_EQ(support->updateStatus(), "暂不能安装：请联网并等待 AI 会话完成结算");
}

} // namespace
} // namespace zarvo
