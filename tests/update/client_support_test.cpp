#include "foundation/glib_loop.h"
#include "foundation/paths.h"
#include "release_service_fixture.h"
#include "scripted_update_host.h"
#include "update/client_support.h"
#include "update/diagnostics_report.h"
#include "update/pending_update.h"

#include <gtest/gtest.h>

#include <deque>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace zarvo {
namespace {

using namespace testing_support;

struct FakePresenter : UpdatePresenter {
    struct Shown {
        std::string kind, title, text;
        std::vector<std::string> buttons;
    };
    std::vector<Shown> shown;
    std::deque<int> answers; // button indexes for release dialogs and confirmations; default 1
    bool present = true;

    bool canPresent() override { return present; }
    void alert(const std::string& title, const std::string& message) override {
        shown.push_back({"alert", title, message, {"知道了"}});
    }
    int answer() {
        if (answers.empty())
            return 1;
        int a = answers.front();
        answers.pop_front();
        return a;
    }
    int showRelease(const ReleaseDialog& dialog) override {
        shown.push_back({"release", dialog.title, dialog.text, dialog.buttons});
        return answer();
    }
    int confirm(const std::string& title, const std::string& message,
                const std::vector<std::string>& buttons) override {
        shown.push_back({"confirm", title, message, buttons});
        return answer();
    }
    std::optional<fs::path> chooseSaveLocation(const std::string&, const std::string&) override {
        return std::nullopt;
    }
};

class ClientSupportTest : public ReleaseServiceFixture {
protected:
    void SetUp() override {
        ReleaseServiceFixture::SetUp();
        home = dir.path() / "home";
        fs::create_directories(home / "Applications");
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
        current = makeBundle(home / "Applications", "1.0.29");
        templateDir = dir.path() / "template";
        makeBundle(templateDir, "1.0.29");
    }

    // Publishes `version` with scripts/make-release.sh, signed with the stand-in's key.
    void release(const std::string& version, const std::string& key = "") {
        std::string keyPath = key.empty() ? releases->signingKey().string() : key;
        auto made =
            command(ZARVO_SOURCE_DIR "/scripts/make-release.sh",
                    {version, "--from", (templateDir / "Zarvo 1.0.29.app").string(), "--key",
                     keyPath, "--key-id", "ZARVODEV01", "--out", releases->folder().string(),
                     "--tool", ZARVO_RELEASE_TOOL, "--restamp"});
        ASSERT_TRUE(made.ok()) << made.error().message;
    }

    std::unique_ptr<ClientSupport> makeSupport(std::optional<fs::path> bundle = std::nullopt) {
        ClientSupportEnvironment environment = ClientSupportEnvironment::forThisProcess();
        environment.currentVersion = "1.0.29";
        environment.currentBundle = bundle ? *bundle : current;
        environment.updaterExecutable = "/bin/true";
        environment.startProcess = [this](const std::vector<std::string>& argv) {
            started.push_back(argv);
            return true;
        };
        return std::make_unique<ClientSupport>(loop, presenter, host, environment);
    }

    bool waitFor(const std::function<bool()>& done) {
        return loop.runUntil(done, std::chrono::seconds(120));
    }
    bool idle(ClientSupport& s) { return !s.checking() && !s.downloading(); }
    std::vector<fs::path> stagingFolders() {
        std::vector<fs::path> found;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(storageDirectory() / "Updates", ec))
            if (e.path().filename().string().starts_with("update-"))
                found.push_back(e.path());
        return found;
    }

    GLibLoop loop;
    FakePresenter presenter;
    fs::path home, current, templateDir;
    zarvo::testing::ScriptedUpdateHost host;
    bool& busy = host.busy;
    bool& settled = host.settled;
    int& terminations = host.quits;
    std::vector<std::vector<std::string>> started;
};

TEST_F(ClientSupportTest, FindsDownloadsVerifiesStagesAndHandsOverToTheInstaller) {
    release("1.0.30");
    auto support = makeSupport();
    presenter.answers = {0, 1}; // "下载更新", then "稍后" once staged
    support->start();
    ASSERT_TRUE(waitFor([&] { return support->stagedApp().has_value(); }));
    EXPECT_EQ(support->updateStatus(), "更新已下载，可以安装");
    ASSERT_GE(presenter.shown.size(), 2u);
    EXPECT_EQ(presenter.shown[0].title, "发现新版本 1.0.30");
    EXPECT_EQ(presenter.shown[0].buttons, (std::vector<std::string>{"下载更新", "稍后"}));
    EXPECT_EQ(presenter.shown[1].buttons, (std::vector<std::string>{"退出并安装", "稍后"}));

    const fs::path app = *support->stagedApp();
    EXPECT_EQ(app.filename(), "Zarvo 1.0.30.app");
    EXPECT_TRUE(app.parent_path().filename().string().starts_with("update-"));
    EXPECT_FALSE(fs::exists(app.parent_path() / "update.zip"));
    auto pending = PendingUpdate::read(storageDirectory() / "Updates/pending.json");
    ASSERT_TRUE(pending);
    EXPECT_EQ(pending->app, app);
    Json snapshot = support->snapshot();
    EXPECT_EQ(snapshot["ready"], true);
    EXPECT_EQ(snapshot["canInstall"], true);
    EXPECT_EQ(snapshot["latest"], "1.0.30");
    EXPECT_EQ(snapshot.size(), 13u) << "the running version's day came beside its number";

    // A restart restores the staged update, and the same manifest keeps it.
    support.reset();
    presenter.shown.clear();
    auto restarted = makeSupport();
    restarted->start();
    ASSERT_TRUE(waitFor([&] { return !presenter.shown.empty(); }));
    EXPECT_EQ(restarted->stagedApp(), app);
    EXPECT_EQ(restarted->updateStatus(), "更新已下载，可以安装");

    // Install: confirmed, the service confirms the account settled, the helper starts, we quit.
    presenter.answers = {0};
    restarted->installDownloaded();
    ASSERT_EQ(started.size(), 1u);
    const auto& argv = started[0];
    ASSERT_EQ(argv.size(), 5u);
    EXPECT_TRUE(fs::path(argv[0]).filename().string().starts_with("ZarvoUpdater-"));
    EXPECT_EQ(fs::path(argv[0]).parent_path(), app.parent_path());
    EXPECT_EQ(argv[1], app.string());
    EXPECT_EQ(argv[2], std::to_string(getpid()));
    EXPECT_EQ(argv[3], current.string());
    EXPECT_EQ(argv[4], "1.0.30");
    EXPECT_EQ(terminations, 1);
}

TEST_F(ClientSupportTest, DownloadHostOutageFallsBackToThePrimaryHost) {
    release("1.0.30");
    devservice::ReleaseFaults faults;
    faults.unavailableOnDownloadHost = 1000;
    releases->setFaults(faults);
    auto support = makeSupport();
    presenter.answers = {0};
    support->start();
    ASSERT_TRUE(waitFor([&] { return support->stagedApp() || presenter.shown.size() >= 2; }));
    ASSERT_TRUE(support->stagedApp()) << support->updateStatus();
    std::vector<std::string> hosts;
    for (const auto& r : releases->requests())
        if (r.path.ends_with(".zip"))
            hosts.push_back(r.host + " " + std::to_string(r.status));
    EXPECT_EQ(hosts, (std::vector<std::string>{"download 503", "primary 200"}));
}

TEST_F(ClientSupportTest, ClosedMidDownloadStagesNothingAndLeavesNoTemporaryFile) {
    release("1.0.30");
    devservice::ReleaseFaults faults;
    faults.bytesPerSecondPerConnection = 1; // the download cannot end while the test runs
    releases->setFaults(faults);
    auto support = makeSupport();
    presenter.answers = {0};
    support->start();
    ASSERT_TRUE(waitFor([&] { return support->updateStatus().ends_with("%"); }))
        << support->updateStatus();
    support.reset();
    // Whatever the download queued before the close runs first, on a workflow that is gone.
    bool drained = false;
    loop.post([&] { drained = true; });
    ASSERT_TRUE(waitFor([&] { return drained; }));
    EXPECT_TRUE(stagingFolders().empty());
    EXPECT_FALSE(fs::exists(storageDirectory() / "Updates/pending.json"));
    EXPECT_TRUE(tmpIsEmpty());
}

TEST_F(ClientSupportTest, WrongDigestOrForeignSignatureIsNeverStaged) {
    TempDir other;
    const fs::path strangerKey = makeSigningKey(other.path());
    for (int round = 0; round < 2; ++round) {
        if (round == 0) {
            release("1.0.30");
            // Republish the manifest with another digest.
            auto manifest = parseJsonObject(*readFile(releases->folder() / "latest.json"));
            (*manifest)["sha256"] = std::string(64, 'a');
            ASSERT_TRUE(writeFileAtomically(releases->folder() / "latest.json", manifest->dump()));
        } else {
            release("1.0.30", strangerKey.string());
        }
        auto support = makeSupport();
        presenter.shown.clear();
        presenter.answers = {0};
        support->start();
        ASSERT_TRUE(waitFor(
            [&] { return !presenter.shown.empty() && presenter.shown.back().kind == "alert"; }));
        EXPECT_EQ(presenter.shown.back().title, "更新未完成");
        EXPECT_EQ(presenter.shown.back().text, "下载或校验未通过，原版本未改动，请稍后重试。");
        EXPECT_EQ(support->updateStatus(), "下载或校验失败，可重试");
        EXPECT_FALSE(support->stagedApp());
        EXPECT_TRUE(stagingFolders().empty()) << "round " << round;
        EXPECT_FALSE(fs::exists(storageDirectory() / "Updates/pending.json"));
    }
}

// The package says 0777 for the executable that was signed 0755: unpacked as root, bsdtar would
// keep the archive's mode; the staged bundle has the signed one.
TEST_F(ClientSupportTest, ArchiveModesAreNotKeptWhenStaging) {
    release("1.0.30");
    const std::string package = "Zarvo-1.0.30-linux-x64.zip";
    const fs::path repack = dir.path() / "repack";
    fs::create_directories(repack);
    ASSERT_TRUE(command("/usr/bin/bsdtar", {"-x", "-f", (releases->folder() / package).string(),
                                            "-C", repack.string()})
                    .ok());
    ASSERT_EQ(::chmod((repack / "Zarvo 1.0.30.app/Contents/MacOS/Zarvo").c_str(), 0777), 0);
    fs::remove(releases->folder() / package);
    ASSERT_TRUE(
        command("/usr/bin/bsdtar", {"--format", "zip", "-C", repack.string(), "-cf",
                                    (releases->folder() / package).string(), "Zarvo 1.0.30.app"})
            .ok());
    auto listing = command("/usr/bin/bsdtar", {"-tvf", (releases->folder() / package).string()});
    ASSERT_TRUE(listing.ok());
    ASSERT_NE(listing->find("-rwxrwxrwx"), std::string::npos) << "the entry says 0777";
    ASSERT_TRUE(
        command(ZARVO_RELEASE_TOOL,
                {"manifest", (releases->folder() / package).string(), "1.0.30", "api.zarvo.test",
                 "修复已知问题，提升稳定性。", (releases->folder() / "latest.json").string()})
            .ok());

    const mode_t saved = ::umask(0); // the archive's bits are not merely masked
    auto support = makeSupport();
    presenter.answers = {0, 1};
    support->start();
    const bool staged =
        waitFor([&] { return support->stagedApp() || presenter.shown.size() >= 2; });
    ::umask(saved);
    ASSERT_TRUE(staged);
    ASSERT_TRUE(support->stagedApp()) << support->updateStatus();
    struct stat info {};
    ASSERT_EQ(::stat((*support->stagedApp() / "Contents/MacOS/Zarvo").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
}

// Another bsdtar first on PATH is never run, and the system one's complaints about a broken
// package stay off the terminal.
TEST_F(ClientSupportTest, StagingRunsTheSystemArchiveToolQuietly) {
    release("1.0.30");
    const fs::path fakeBin = dir.path() / "bin", ran = dir.path() / "fake-ran";
    fs::create_directories(fakeBin);
    ASSERT_TRUE(writeFileAtomically(fakeBin / "bsdtar",
                                    "#!/bin/sh\ntouch '" + ran.string() + "'\nexit 1\n"));
    fs::permissions(fakeBin / "bsdtar", fs::perms(0755));
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
    setenv("PATH", (fakeBin.string() + ":" + path).c_str(), 1);
    {
        auto support = makeSupport();
        presenter.answers = {0, 1};
        support->start();
        EXPECT_TRUE(waitFor([&] { return support->stagedApp() || presenter.shown.size() >= 2; }));
        EXPECT_TRUE(support->stagedApp()) << support->updateStatus();
    }
    EXPECT_FALSE(fs::exists(ran)) << "the bsdtar on PATH was run";

    // A package that is no archive at all, published with its own digest.
    fs::remove_all(storageDirectory() / "Updates");
    const std::string package = "Zarvo-1.0.31-linux-x64.zip";
    ASSERT_TRUE(writeFileAtomically(releases->folder() / package, std::string(4096, 'z')));
    ASSERT_TRUE(command(ZARVO_RELEASE_TOOL,
                        {"manifest", (releases->folder() / package).string(), "1.0.31",
                         "api.zarvo.test", "x", (releases->folder() / "latest.json").string()})
                    .ok());
    const fs::path errors = dir.path() / "stderr";
    fflush(stderr);
    const int savedError = dup(2);
    const int file = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(file, 2);
    ::close(file);
    {
        auto support = makeSupport();
        presenter.shown.clear();
        presenter.answers = {0};
        support->start();
        EXPECT_TRUE(waitFor(
            [&] { return !presenter.shown.empty() && presenter.shown.back().kind == "alert"; }));
        EXPECT_FALSE(support->stagedApp());
    }
    fflush(stderr);
    dup2(savedError, 2);
    ::close(savedError);
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(readFile(errors).value_or("?").find("bsdtar"), std::string::npos)
        << readFile(errors).value_or("");
    EXPECT_FALSE(fs::exists(ran));
}

// At start, of the staged updates only the one "pending.json" names stays; without a record, the
// newest that still verifies.
TEST_F(ClientSupportTest, OldStagedUpdatesAreRemovedAtStart) {
    const fs::path updates = storageDirectory() / "Updates";
    auto stage = [&](const std::string& folder, int ageHours, bool sign) {
        fs::path app = makeBundle(updates / folder, "1.0.30");
        if (sign) {
            EXPECT_TRUE(BundleSignature::sign(app, releases->signingKey(), "ZARVODEV01",
                                              "cn.zarvo.morvex.workbench"));
        }
        fs::last_write_time(updates / folder,
                            fs::file_time_type::clock::now() - std::chrono::hours(ageHours));
        return app;
    };
    auto names = [&] {
        std::set<std::string> found;
        for (const auto& folder : stagingFolders())
            found.insert(folder.filename().string());
        return found;
    };
    auto startAndSettle = [&] {
        auto support = makeSupport();
        support->start();
        EXPECT_TRUE(waitFor([&] { return !support->snapshot()["checking"].get<bool>(); }));
    };

    stage("update-newest-unsigned", 1, false);
    stage("update-newer", 2, true);
    stage("update-older", 3, true);
    startAndSettle();
    EXPECT_EQ(names(), (std::set<std::string>{"update-newer"}));

    // A record names the older one (even one that is no longer accepted): it stays, and only it.
    const fs::path named = stage("update-named", 5, true);
    stage("update-other", 1, true);
    ASSERT_TRUE(
        writeFileAtomically(updates / "pending.json",
                            Json{{"release", Json::object()}, {"app", named.string()}}.dump()));
    startAndSettle();
    EXPECT_EQ(names(), (std::set<std::string>{"update-named"}));
    EXPECT_TRUE(fs::exists(named / "Contents/MacOS/Zarvo"));
}

TEST_F(ClientSupportTest, ChecksReportUpToDateOnlyWhenAskedAndIgnoreRequestsWhileBusy) {
    release("1.0.29");
    auto support = makeSupport();
    support->start();
    ASSERT_TRUE(waitFor([&] { return support->updateStatus() == "已是最新版本"; }));
    loop.runUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_TRUE(presenter.shown.empty()) << "a silent check shows nothing";

    support->checkForUpdates(true);
    support->checkForUpdates(true); // ignored: a check is in flight
    ASSERT_TRUE(waitFor([&] { return !presenter.shown.empty(); }));
    loop.runUntil([] { return false; }, std::chrono::milliseconds(200));
    ASSERT_EQ(presenter.shown.size(), 1u);
    EXPECT_EQ(presenter.shown[0].title, "已是最新版本");
    EXPECT_EQ(presenter.shown[0].text, "当前版本：1.0.29");
}

TEST_F(ClientSupportTest, InstallWaitsForSettlementAndTheApplicationsFolder) {
    release("1.0.30");
    auto support = makeSupport();
    presenter.answers = {0, 1};
    support->start();
    ASSERT_TRUE(waitFor([&] { return support->stagedApp().has_value(); }));

    // During a session: only "稍后", and the page says why.
    busy = true;
    presenter.shown.clear();
    support->showRelease();
    EXPECT_EQ(presenter.shown.back().buttons, std::vector<std::string>{"稍后"});
    EXPECT_EQ(support->snapshot()["status"], "已下载，等待 AI 会话结束并完成结算");
    EXPECT_EQ(support->snapshot()["canInstall"], false);

    // The service does not confirm the account settled.
    busy = false;
    settled = false;
    presenter.answers = {0};
    support->installDownloaded();
    EXPECT_TRUE(started.empty());
    EXPECT_EQ(support->updateStatus(), "暂不能安装：请联网并等待 AI 会话完成结算");
    EXPECT_FALSE(support->installing());

    // A client outside the applications folders.
    auto downloads = makeBundle(home / "Downloads", "1.0.29");
    auto elsewhere = makeSupport(downloads);
    support.reset();
    elsewhere->start();
    ASSERT_TRUE(waitFor([&] { return elsewhere->stagedApp().has_value(); }));
    presenter.shown.clear();
    settled = true;
    elsewhere->installDownloaded();
    ASSERT_FALSE(presenter.shown.empty());
    EXPECT_EQ(presenter.shown.back().title, "请先移入应用程序");
    EXPECT_TRUE(started.empty());
}

TEST(MarkLaunchReady, WritesOnlyAMarkerNamedByTheInstallerInsideTheSupportFolder) {
    TempDir dir;
    const fs::path support = dir.path() / "Zarvo";
    fs::create_directories(support);
    auto mark = [&](const fs::path& marker) {
        setenv("ZARVO_UPDATE_READY", marker.c_str(), 1);
        ClientSupport::markLaunchReady(support);
        unsetenv("ZARVO_UPDATE_READY");
        return readFile(marker);
    };
    EXPECT_FALSE(mark(dir.path() / "update-ready-1")) << "outside the support folder";
    EXPECT_FALSE(mark(support / "sub/update-ready-1")) << "below the support folder";
    EXPECT_FALSE(mark(support / "other-1")) << "wrong name";
    fs::create_directories(dir.path() / "elsewhere");
    fs::create_directory_symlink(dir.path() / "elsewhere", dir.path() / "Zarvo/link");
    EXPECT_FALSE(mark(support / "link/update-ready-1")) << "through a link";
    EXPECT_EQ(mark(support / "update-ready-1"), "ready");
}

} // namespace
} // namespace zarvo

namespace zarvo {
namespace {

TEST(Diagnostics, MasksCredentialsAndPassesOnlyTheSixContextKeys) {
    EXPECT_EQ(Diagnostics::mask("Bearer abc.def token=xyz"), "[已隐藏] [已隐藏]");
    EXPECT_EQ(Diagnostics::mask("BEARER abc"), "[已隐藏]");
    EXPECT_EQ(Diagnostics::mask("key vda_123 and TOKEN:9"), "key [已隐藏] and [已隐藏]");
    EXPECT_EQ(Diagnostics::mask("RUNNING"), "RUNNING");

    Diagnostics::ReportInput input;
    input.now = WallTime(std::chrono::seconds(1'772'352'000)); // 2026-03-01T08:00:00Z
    input.appVersion = "1.0.29";
    input.osVersion = "Debian";
    input.context = {{"session_state", "RUNNING"},
                     {"last_error_code", "Bearer abc token=def"},
                     {"account_id", "user-42"}};
    Json report = Diagnostics::report(input);
    EXPECT_EQ(report.size(), 6u);
    EXPECT_EQ(report["generated_at"], "2026-03-01T08:00:00Z");
    EXPECT_EQ(report["virtual_camera"], "未检测到");
    EXPECT_EQ(report["macos"], "Debian");
    EXPECT_EQ(report["state"],
              (Json{{"session_state", "RUNNING"}, {"last_error_code", "[已隐藏] [已隐藏]"}}));
    EXPECT_EQ(report.dump().find("user-42"), std::string::npos);
    EXPECT_EQ(Diagnostics::suggestedFileName(input.now), "Zarvo诊断-2026-03-01T08-00-00Z.json");
}

struct SavingPresenter : FakePresenter {
    std::optional<fs::path> target;
    std::optional<fs::path> chooseSaveLocation(const std::string& name,
                                               const std::string& message) override {
        shown.push_back({"save", name, message, {}});
        return target;
    }
};

TEST(Diagnostics, ExportWritesTheReportOrSaysTheFolderIsNotWritable) {
    TempDir dir;
    GLibLoop loop;
    SavingPresenter presenter;
    ClientSupportEnvironment environment;
    environment.currentVersion = "1.0.29";
    zarvo::testing::ScriptedUpdateHost host;
    host.context = {{"network_state", "token:abc"}};
    ClientSupport support(loop, presenter, host, environment);

    support.exportDiagnostics(); // cancelled: nothing happens
    EXPECT_EQ(presenter.shown.size(), 1u);

    presenter.target = dir.path() / "report.json";
    support.exportDiagnostics();
    auto written = parseJsonObject(readFile(*presenter.target).value_or(""));
    ASSERT_TRUE(written);
    EXPECT_EQ((*written)["state"]["network_state"], "[已隐藏]");
    EXPECT_EQ((*written)["app_version"], "1.0.29");

    fs::create_directories(dir.path() / "locked");
    fs::permissions(dir.path() / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    presenter.target = dir.path() / "locked/report.json";
    support.exportDiagnostics();
    if (::geteuid() != 0) { // root writes anywhere
        EXPECT_EQ(presenter.shown.back().title, "导出失败");
        EXPECT_EQ(presenter.shown.back().text, "请选择可写入的位置后重试。");
        EXPECT_FALSE(fs::exists(*presenter.target));
    }
}

} // namespace
} // namespace zarvo
