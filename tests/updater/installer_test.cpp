#include "foundation/paths.h"
#include "update/bundle_signature.h"
#include "update_test_support.h"
#include "updater/installer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zarvo::updater {
namespace {

using namespace testing_support;

const std::string kKeyID = "ZDEVKEY001";
const std::string kReadyScript =
    "#!/bin/sh\nprintf ready > \"$ZARVO_UPDATE_READY.tmp\" && mv \"$ZARVO_UPDATE_READY.tmp\" "
    "\"$ZARVO_UPDATE_READY\"\nexec sleep 2\n";
const std::string kSilentScript = "#!/bin/sh\nexec sleep 100\n";

pid_t spawnProcess(const fs::path& executable, const std::string& argument) {
    pid_t pid = fork();
    if (pid == 0) {
        execl(executable.c_str(), executable.c_str(), argument.c_str(), nullptr);
        _exit(127);
    }
    return pid;
}

// A pid that belonged to a process that has already ended.
std::string endedPid() {
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    int status = 0;
    waitpid(pid, &status, 0);
    return std::to_string(pid);
}

class InstallerTest : public ::testing::Test {
protected:
    void SetUp() override {
        home = dir.path() / "home";
        fs::create_directories(home / "Applications");
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
        key = makeSigningKey(dir.path());
        auto raw = BundleSignature::publicKeyOf(key);
        ASSERT_TRUE(raw.ok());
        fs::path deploymentFile = dir.path() / "deployment.json";
        ASSERT_TRUE(writeFileAtomically(
            deploymentFile,
            Json{{"release_key", {{"key_id", kKeyID}, {"public_key", base64Encode(*raw)}}}}
                .dump()));
        setCurrentDeployment(testDeployment(deploymentFile));
        current = makeSigned(home / "Applications", "1.0.29", kSilentScript);
        staging = storageDirectory() / "Updates" / "update-1B2C";
        fs::create_directories(staging);
        ASSERT_TRUE(writeFileAtomically(storageDirectory() / "Updates/pending.json", "{}"));
    }
    void TearDown() override {
        for (pid_t pid : children) {
            kill(pid, SIGKILL);
            int status = 0;
            waitpid(pid, &status, 0);
        }
        clearCurrentDeployment();
    }

    fs::path makeSigned(const fs::path& folder, const std::string& version,
                        const std::string& script) {
        fs::path app = makeBundle(folder, version, script);
        EXPECT_TRUE(BundleSignature::sign(app, key, kKeyID, "cn.zarvo.morvex.workbench"));
        return app;
    }
    fs::path candidate(const std::string& script = kReadyScript) {
        return makeSigned(staging, "1.0.30", script);
    }
    // A private process list: other clients running on this machine do not count, and a test
    // can make a process look like an application of a bundle.
    InstallerOptions quick() {
        InstallerOptions options;
        options.procRoot = dir.path() / "proc";
        fs::create_directories(options.procRoot);
        options.oldProcessWait = seconds(0.6);
        options.launchWait = seconds(20);
        options.poll = seconds(0.05);
        return options;
    }
    std::string reason(const std::vector<std::string>& arguments,
                       std::optional<InstallerOptions> options = std::nullopt) {
        Installer installer(options ? *options : quick());
        auto result = installer.install(arguments);
        previous = installer.verifiedPrevious();
        return result ? "ok" : result.error().reason;
    }
    std::string resultFile() {
        return readFile(storageDirectory() / "last-update-result.txt").value_or("");
    }

    TempDir dir;
    fs::path home, key, current, staging;
    std::optional<fs::path> previous;
    std::vector<pid_t> children;
};

TEST_F(InstallerTest, RefusesBadArgumentsNamesAndFoldersBeforeTouchingAnything) {
    const fs::path next = candidate();
    const std::string pid = endedPid();
    EXPECT_EQ(reason({next, pid, current}), "invalid_arguments");
    EXPECT_EQ(reason({next, "0", current, "1.0.30"}), "invalid_arguments");
    EXPECT_EQ(reason({next, "1", current, "1.0.30"}), "invalid_arguments");
    EXPECT_EQ(reason({next, "12x", current, "1.0.30"}), "invalid_arguments");
    EXPECT_EQ(reason({next, "4294967297", current, "1.0.30"}), "invalid_arguments");
    EXPECT_EQ(reason({next, pid, current, "1.0.29"}), "invalid_paths_or_version");
    EXPECT_EQ(reason({next, pid, current, "1.0.3"}), "invalid_paths_or_version");
    EXPECT_EQ(reason({next, pid, current, "1.0.31"}), "invalid_paths_or_version");

    // An installed bundle under another name.
    fs::path renamed = home / "Applications/My App.app";
    fs::copy(current, renamed, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    EXPECT_EQ(reason({next, pid, renamed, "1.0.30"}), "invalid_paths_or_version");

    // A candidate outside the staging root, or in a folder not named "update-…".
    TempDir elsewhere;
    fs::path stray = makeSigned(elsewhere.path() / "update-X", "1.0.30", kReadyScript);
    EXPECT_EQ(reason({stray, pid, current, "1.0.30"}), "invalid_paths_or_version");
    fs::path oddFolder = makeSigned(storageDirectory() / "Updates/other", "1.0.30", kReadyScript);
    EXPECT_EQ(reason({oddFolder, pid, current, "1.0.30"}), "invalid_paths_or_version");

    // An installed bundle outside the install roots.
    fs::path downloads = makeSigned(home / "Downloads", "1.0.29", kSilentScript);
    EXPECT_EQ(reason({next, pid, downloads, "1.0.30"}), "invalid_install_directory");

    EXPECT_FALSE(previous) << "nothing was verified, so nothing is reopened";
    EXPECT_FALSE(fs::exists(home / "Applications/Zarvo 1.0.30.app"));
    EXPECT_EQ(resultFile(), "invalid_install_directory") << "the last refusal is recorded";
}

TEST_F(InstallerTest, PidMustBelongToTheInstalledBundleAndNoOtherInstanceMayRun) {
    const fs::path next = candidate();
    // A running process listed as the application of another bundle.
    fs::path other = makeSigned(dir.path() / "elsewhere", "1.0.28", "");
    pid_t running = spawnProcess("/bin/sleep", "30");
    children.push_back(running);
    fs::path entry = quick().procRoot / std::to_string(running);
    fs::create_directories(entry);
    fs::create_symlink(other / "Contents/MacOS/Zarvo", entry / "exe");
    EXPECT_EQ(reason({next, std::to_string(running), current, "1.0.30"}), "incorrect_pid");
    EXPECT_EQ(reason({next, endedPid(), current, "1.0.30"}), "another_version_running");
}

TEST_F(InstallerTest, UnsignedOrMismatchedBundlesAreRejectedAndOnlyAVerifiedOldOneReopened) {
    const std::string pid = endedPid();
    fs::path next = candidate();
    // A changed file in the candidate after signing.
    ASSERT_TRUE(writeFileAtomically(next / "Contents/Resources/extra", "x"));
    EXPECT_EQ(reason({next, pid, current, "1.0.30"}), "validation_failed");
    EXPECT_EQ(previous, current);
    fs::remove(next / "Contents/Resources/extra");

    // A candidate signed correctly but announcing another version inside.
    ASSERT_TRUE(writeFileAtomically(next / "Contents/Info.plist", infoPlist("1.0.31")));
    ASSERT_TRUE(BundleSignature::sign(next, key, kKeyID, "cn.zarvo.morvex.workbench"));
    EXPECT_EQ(reason({next, pid, current, "1.0.30"}), "incorrect_candidate");

    // An installed version whose signature fails: nothing is reopened.
    fs::remove(current / BundleSignature::signaturePath);
    EXPECT_EQ(reason({next, pid, current, "1.0.30"}), "validation_failed");
    EXPECT_FALSE(previous);
}

TEST_F(InstallerTest, WaitsForTheOldProcessWithoutSignallingItAndKeepsAnExistingDestination) {
    const fs::path next = candidate();
    pid_t old = spawnProcess("/bin/sleep", "30");
    children.push_back(old);
    EXPECT_EQ(reason({next, std::to_string(old), current, "1.0.30"}), "application_still_running");
    EXPECT_EQ(kill(old, 0), 0) << "the old process was signalled";
    int status = 0;
    EXPECT_EQ(waitpid(old, &status, WNOHANG), 0);
    EXPECT_EQ(previous, current);

    fs::path existing = home / "Applications/Zarvo 1.0.30.app";
    fs::create_directories(existing);
    ASSERT_TRUE(writeFileAtomically(existing / "keep", "mine"));
    EXPECT_EQ(reason({next, endedPid(), current, "1.0.30"}), "destination_exists");
    EXPECT_EQ(readFile(existing / "keep"), "mine");
    EXPECT_TRUE(fs::exists(next));
}

TEST_F(InstallerTest, InstallsBesideTheOldVersionWhenTheNewOneReportsReady) {
    const fs::path next = candidate();
    EXPECT_EQ(reason({next.string() + "/", endedPid(), current, "1.0.30"}), "ok");
    const fs::path installed = home / "Applications/Zarvo 1.0.30.app";
    EXPECT_TRUE(fs::exists(installed / "Contents/MacOS/Zarvo"));
    EXPECT_TRUE(fs::exists(current / "Contents/MacOS/Zarvo"));
    EXPECT_EQ(resultFile(), "updated");
    EXPECT_FALSE(fs::exists(staging)) << "the staged copy is removed";
    EXPECT_FALSE(fs::exists(storageDirectory() / "Updates/pending.json"));
    for (const auto& entry : fs::directory_iterator(storageDirectory()))
        EXPECT_FALSE(entry.path().filename().string().starts_with("update-ready-"));
    for (const auto& entry : fs::directory_iterator(home / "Applications"))
        EXPECT_FALSE(entry.path().filename().string().starts_with(".zarvo-next-"));
    auto desktop = readFile(home / ".local/share/applications/cn.zarvo.morvex.workbench.desktop");
    ASSERT_TRUE(desktop);
    EXPECT_NE(desktop->find("Zarvo 1.0.30.app/Contents/MacOS/Zarvo"), std::string::npos);
}

TEST_F(InstallerTest, RemovesANewVersionThatNeverReportsReadyOrQuitsAtOnce) {
    InstallerOptions options = quick();
    options.launchWait = seconds(1);
    const fs::path next = candidate(kSilentScript);
    EXPECT_EQ(reason({next, endedPid(), current, "1.0.30"}, options), "launch_not_ready");
    EXPECT_FALSE(fs::exists(home / "Applications/Zarvo 1.0.30.app"));
    EXPECT_TRUE(fs::exists(current / "Contents/MacOS/Zarvo"));
    EXPECT_TRUE(fs::exists(next)) << "the staged candidate stays";
    EXPECT_EQ(resultFile(), "restored_previous_version");
    EXPECT_EQ(previous, current);

    fs::remove_all(next);
    const fs::path quitter = candidate("#!/bin/sh\nexit 3\n");
    options.launchWait = seconds(60); // an early end does not wait for the deadline
    EXPECT_EQ(reason({quitter, endedPid(), current, "1.0.30"}, options), "launch_not_ready");
    EXPECT_FALSE(fs::exists(home / "Applications/Zarvo 1.0.30.app"));

    // One that ignores the request to quit is killed, so the old version still comes back.
    fs::remove_all(quitter);
    const fs::path stubborn = candidate("#!/bin/sh\ntrap '' TERM\nexec sleep 300\n");
    options.launchWait = seconds(1);
    options.exitGrace = seconds(1);
    EXPECT_EQ(reason({stubborn, endedPid(), current, "1.0.30"}, options), "launch_not_ready");
    EXPECT_FALSE(fs::exists(home / "Applications/Zarvo 1.0.30.app"));
    EXPECT_EQ(resultFile(), "restored_previous_version");
}

// A candidate made unsafe after it was signed and staged is never installed: neither a mode that
// lets others write it nor a set-user-id bit.
TEST_F(InstallerTest, ACandidateWhoseModesChangedAfterSigningIsRefused) {
    for (unsigned mode : {0777u, 04755u}) {
        const fs::path next = candidate();
        ASSERT_EQ(chmod((next / "Contents/MacOS/Zarvo").c_str(), mode), 0);
        EXPECT_EQ(reason({next, endedPid(), current, "1.0.30"}), "validation_failed")
            << std::oct << mode;
        EXPECT_FALSE(fs::exists(home / "Applications/Zarvo 1.0.30.app"));
        EXPECT_EQ(resultFile(), "validation_failed");
        fs::remove_all(next);
    }
    // Installed from a process whose umask strips bits, the copy still has the signed modes.
    const fs::path next = candidate();
    const mode_t before = umask(077);
    EXPECT_EQ(reason({next, endedPid(), current, "1.0.30"}), "ok");
    umask(before);
    struct stat info {};
    const fs::path installed = home / "Applications/Zarvo 1.0.30.app";
    ASSERT_EQ(stat((installed / "Contents/MacOS/Zarvo").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
    ASSERT_EQ(stat((installed / "Contents/Resources").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
}

// The new version came up, but "updated" cannot be written: it stays installed and running
// (removing it would leave nothing, as the old one cannot open beside it).
TEST_F(InstallerTest, ANewVersionThatCameUpStaysWhenTheResultCannotBeWritten) {
    const fs::path pidFile = dir.path() / "new.pid";
    const fs::path next = candidate("#!/bin/sh\necho $$ > '" + pidFile.string() +
                                    "'\nprintf ready > \"$ZARVO_UPDATE_READY\"\nexec sleep 30\n");
    // A folder where the result file goes: no write can replace it.
    fs::create_directories(storageDirectory() / "last-update-result.txt/blocked");
    Installer installer(quick());
    auto outcome = installer.install({next, endedPid(), current, "1.0.30"});
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().reason, "result_not_written");
    EXPECT_TRUE(installer.newVersionKept());
    EXPECT_FALSE(installer.reopenPrevious()) << "the old version is not opened beside the new";
    EXPECT_TRUE(fs::exists(home / "Applications/Zarvo 1.0.30.app/Contents/MacOS/Zarvo"));
    auto pid = readFile(pidFile);
    ASSERT_TRUE(pid);
    const pid_t running = pid_t(std::stol(*pid));
    children.push_back(running);
    EXPECT_EQ(kill(running, 0), 0) << "the new version still runs";
    EXPECT_FALSE(fs::exists(storageDirectory() / "Updates/pending.json"));
}

// The helper cannot read its deployment after Zarvo quit: it reopens the installed version once
// the old process ended, and records why nothing was installed.
TEST_F(InstallerTest, AnUnreadableDeploymentStillReopensTheInstalledVersion) {
    const fs::path opened = dir.path() / "opened";
    fs::remove_all(current);
    current = makeSigned(home / "Applications", "1.0.29",
                         "#!/bin/sh\nprintf opened > '" + opened.string() + ".tmp' && mv '" +
                             opened.string() + ".tmp' '" + opened.string() + "'\n");
    const fs::path next = candidate();
    // The old process is still on its way out when the helper starts.
    pid_t old = spawnProcess("/bin/sleep", "1");
    setenv("ZARVO_DEPLOYMENT", (dir.path() / "missing.json").c_str(), 1);
    std::string line = std::string("'") + ZARVO_UPDATER_PATH + "' '" + next.string() + "' " +
                       std::to_string(old) + " '" + current.string() + "' 1.0.30 2>/dev/null";
    // The helper waits for the old process, which this test reaps meanwhile.
    std::thread reaper([old] {
        int status = 0;
        waitpid(old, &status, 0);
    });
    const int status = std::system(line.c_str());
    reaper.join();
    unsetenv("ZARVO_DEPLOYMENT");
    EXPECT_NE(status, 0);
    EXPECT_EQ(resultFile(), "deployment_unreadable");
    EXPECT_FALSE(fs::exists(home / "Applications/Zarvo 1.0.30.app"));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!fs::exists(opened) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(fs::exists(opened)) << "the installed version was reopened";
}

TEST(UpdaterProgram, SelfTestPassesAndARefusalEndsWithTheFixedLine) {
    auto selfTest = command(ZARVO_UPDATER_PATH, {"x", "--self-test"});
    ASSERT_TRUE(selfTest.ok());
    EXPECT_EQ(*selfTest, "PASS: rollback preserves old; successful install retains old; existing "
                         "destination protected\n");
    std::string errors = "/tmp/zarvo-updater-stderr-" + std::to_string(getpid());
    std::string line = std::string("'") + ZARVO_UPDATER_PATH + "' a 0 c d 2>" + errors;
    EXPECT_NE(std::system(line.c_str()), 0);
    EXPECT_EQ(readFile(errors), "ZarvoUpdater: invalid_arguments\n"
                                "Update incomplete; previous installation preserved.\n");
    std::remove(errors.c_str());
}

} // namespace
} // namespace zarvo::updater
