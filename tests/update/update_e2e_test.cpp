// The whole update against the stand-in: releases made by scripts/make-release.sh from the real
// Zarvo bundle of this build, the old client (a separate process) downloading, staging and
// handing over, and the real ZarvoUpdater installing beside the old version. The new Zarvo must
// load its studio page to write the launch-ready marker; a release whose page lacks the update
// panel never does, and the installer rolls back.
#include "foundation/paths.h"
#include "release_service_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace zarvo {
namespace {

using namespace testing_support;
using Clock = std::chrono::steady_clock;

// The old version leaves a trace when the installer reopens it.
const std::string kOldScript = "#!/bin/sh\ndate +%s%N >> \"$HOME/reopened\"\n";

// An X server of the test's own for the new versions' windows, unless one is given.
class VirtualDisplay {
public:
    void start() {
        if (std::getenv("DISPLAY"))
            return;
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 3); // dup2 clears close-on-exec
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        const char* argv[] = {"Xvfb",         "-displayfd", "3",   "-screen",  "0",
                              "1400x1000x24", "-nolisten",  "tcp", "-noreset", nullptr};
        int failed =
            posix_spawnp(&pid_, "Xvfb", &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        ASSERT_EQ(failed, 0) << "Xvfb (package xvfb) is needed";
        // The server writes its display number once it accepts clients.
        std::string number;
        const auto deadline = Clock::now() + std::chrono::seconds(120);
        char c = 0;
        while (Clock::now() < deadline) {
            pollfd p{fds[0], POLLIN, 0};
            if (::poll(&p, 1, 500) <= 0)
                continue;
            if (::read(fds[0], &c, 1) != 1 || c == '\n')
                break;
            number += c;
        }
        ::close(fds[0]);
        ASSERT_FALSE(number.empty()) << "Xvfb did not start";
        setenv("DISPLAY", (":" + number).c_str(), 1);
        owned_ = true;
    }
    ~VirtualDisplay() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        if (owned_)
            unsetenv("DISPLAY");
    }

private:
    pid_t pid_ = -1;
    bool owned_ = false;
};

// The processes whose executable is `executable` (the new version the installer started).
std::vector<pid_t> processesRunning(const fs::path& executable) {
    std::vector<pid_t> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::error_code linkError;
        if (fs::read_symlink(entry.path() / "exe", linkError) != executable)
            continue;
        // A zombie left to its new parent has ended.
        std::ifstream stat(entry.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        auto close = text.rfind(')');
        if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z')
            continue;
        found.push_back(pid_t(std::stol(name)));
    }
    return found;
}

// Asks the new version to quit as the desktop would, and kills it if it does not in a minute.
void stopAll(const fs::path& executable) {
    for (pid_t pid : processesRunning(executable))
        ::kill(pid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (!processesRunning(executable).empty() && Clock::now() < deadline)
        usleep(100'000);
    for (pid_t pid : processesRunning(executable))
        ::kill(pid, SIGKILL);
}

class UpdateEndToEnd : public ReleaseServiceFixture {
protected:
    void SetUp() override {
        // The GStreamer registry stays where it is: a fresh one would be rebuilt at each start.
        const char* cache = std::getenv("XDG_CACHE_HOME");
        const std::string keptCache =
            cache ? cache
                  : std::string(std::getenv("HOME") ? std::getenv("HOME") : "/tmp") + "/.cache";
        ReleaseServiceFixture::SetUp();
        home = dir.path() / "home";
        fs::create_directories(home / "Applications");
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
        setenv("XDG_CACHE_HOME", keptCache.c_str(), 1);
        setenv("ZARVO_DEPLOYMENT", service->deploymentFile().c_str(), 1);
        // The new versions' windows: WebKit's sandbox cannot start as root in a container, and
        // GTK's and WebKit's own allocations are no leaks of ours.
        setenv("WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS", "1", 1);
        setenv("GTK_A11Y", "none", 1);
        setenv("NO_AT_BRIDGE", "1", 1);
        const char* asan = std::getenv("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":detect_leaks=0").c_str(), 1);
        display.start();
        current = makeBundle(home / "Applications", "1.0.29", kOldScript);
        auto signedOld =
            command(ZARVO_RELEASE_TOOL,
                    {"sign", current.string(), releases->signingKey().string(), "ZARVODEV01"});
        ASSERT_TRUE(signedOld.ok());
    }
    void TearDown() override {
        for (const char* version : {"1.0.30", "1.0.31"})
            stopAll(home / "Applications" / ("Zarvo " + std::string(version) + ".app") /
                    "Contents/MacOS/Zarvo");
        unsetenv("ZARVO_DEPLOYMENT");
        ReleaseServiceFixture::TearDown();
    }

    // Releases this build's bundle as `version`. `payload` random bytes make the package big
    // enough for ranged downloads; without the update panel its page never reports ready.
    void release(const std::string& version, size_t payload, bool withUpdatePanel = true) {
        TempDir copy;
        const fs::path from = copy.path() / "Zarvo.app";
        fs::copy(ZARVO_BUNDLE, from, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        if (payload > 0) {
            std::string bytes(payload, '\0');
            std::mt19937_64 generator{payload};
            for (auto& c : bytes)
                c = char(generator());
            ASSERT_TRUE(writeFileAtomically(from / "Contents/Resources/payload.bin", bytes));
        }
        if (!withUpdatePanel) {
            const fs::path page = from / "Contents/Resources/index.html";
            std::string html = readFile(page).value_or("");
            const std::string id = "id=\"software-update\"";
            ASSERT_NE(html.find(id), std::string::npos);
            html.replace(html.find(id), id.size(), "id=\"software-update-gone\"");
            ASSERT_TRUE(writeFileAtomically(page, html));
        }
        auto made = command(ZARVO_SOURCE_DIR "/scripts/make-release.sh",
                            {version, "--from", from.string(), "--key",
                             releases->signingKey().string(), "--out", releases->folder().string(),
                             "--tool", ZARVO_RELEASE_TOOL, "--restamp"});
        ASSERT_TRUE(made.ok()) << made.error().message;
    }

    // Runs the old client to its hand-over, then waits for the installer to finish: its result
    // file, or its output ending with the refusal line. The deadline only ends a hung run.
    std::string runUpdate() {
        fs::remove(storageDirectory() / "last-update-result.txt");
        const fs::path log = dir.path() / "updater.log";
        fs::remove(log);
        auto driver = command(ZARVO_E2E_DRIVER, {current.string(), ZARVO_UPDATER, log.string()});
        EXPECT_TRUE(driver.ok()) << "the old client did not hand over";
        std::string result, output;
        const auto deadline = Clock::now() + std::chrono::minutes(5);
        while (Clock::now() < deadline) {
            // The output before the result: a failed run writes its result before its last line.
            output = readFile(log).value_or("");
            result = readFile(storageDirectory() / "last-update-result.txt").value_or("");
            if (!result.empty() || output.find("Update incomplete") != std::string::npos)
                break;
            usleep(100'000);
        }
        if (result.empty())
            ADD_FAILURE() << "no result file; installer output:\n" << output;
        return result;
    }

    VirtualDisplay display;
    fs::path home, current;
};

// What the installer does after its result comes in its own time; the deadline only ends a hung
// run.
bool eventually(const std::function<bool()>& done) {
    const auto deadline = Clock::now() + std::chrono::minutes(1);
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        usleep(100'000);
    }
    return true;
}

TEST_F(UpdateEndToEnd, InstallsBesideTheOldVersionThenRollsBackAVersionThatNeverComesUp) {
    release("1.0.30", 17'000'000);
    const auto packageSize =
        int64_t(fs::file_size(releases->folder() / "Zarvo-1.0.30-linux-x64.zip"));
    EXPECT_EQ(runUpdate(), "updated");
    const fs::path next = home / "Applications/Zarvo 1.0.30.app";
    EXPECT_TRUE(fs::exists(next / "Contents/MacOS/Zarvo"));
    EXPECT_TRUE(fs::exists(current / "Contents/MacOS/Zarvo"));
    // The installer writes its result first and removes the staged record after it.
    EXPECT_TRUE(
        eventually([&] { return !fs::exists(storageDirectory() / "Updates/pending.json"); }));
    // The installer keeps the new version running: it is the user's client now.
    EXPECT_FALSE(processesRunning(next / "Contents/MacOS/Zarvo").empty());
    int ranges = 0;
    for (const auto& r : releases->requests())
        ranges += r.path.ends_with(".zip") && r.host == "download" && r.status == 206;
    EXPECT_EQ(ranges, (packageSize + 4'194'303) / 4'194'304)
        << "the package came in 4 MiB ranges from the download host";
    stopAll(next / "Contents/MacOS/Zarvo");

    release("1.0.31", 0, false);
    EXPECT_EQ(runUpdate(), "restored_previous_version");
    EXPECT_FALSE(fs::exists(home / "Applications/Zarvo 1.0.31.app"));
    EXPECT_TRUE(fs::exists(next));
    EXPECT_TRUE(fs::exists(current / "Contents/MacOS/Zarvo"));
    // The installer reopened the verified old version.
    EXPECT_TRUE(eventually([&] { return fs::exists(home / "reopened"); }));
}

} // namespace
} // namespace zarvo
