// The whole update against the stand-in: a release made by scripts/make-release.sh, the old
// client (a separate process) downloading, staging and handing over, and the real ZarvoUpdater
// installing beside the old version, or rolling back when the new one never reports ready.
#include "foundation/paths.h"
#include "release_service_fixture.h"

#include <gtest/gtest.h>

#include <chrono>

#include <sys/wait.h>
#include <unistd.h>

namespace zarvo {
namespace {

using namespace testing_support;

// The new version "loads its page" by writing the marker it was given; the old one leaves a
// trace when it is reopened.
const std::string kReadyScript =
    "#!/bin/sh\nprintf ready > \"$ZARVO_UPDATE_READY.tmp\" && mv \"$ZARVO_UPDATE_READY.tmp\" "
    "\"$ZARVO_UPDATE_READY\"\nexec sleep 3\n";
const std::string kNeverReadyScript = "#!/bin/sh\nexec sleep 100\n";
const std::string kOldScript = "#!/bin/sh\ndate +%s%N >> \"$HOME/reopened\"\n";

class UpdateEndToEnd : public ReleaseServiceFixture {
protected:
    void SetUp() override {
        ReleaseServiceFixture::SetUp();
        home = dir.path() / "home";
        fs::create_directories(home / "Applications");
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
        setenv("ZARVO_DEPLOYMENT", service->deploymentFile().c_str(), 1);
        current = makeBundle(home / "Applications", "1.0.29", kOldScript);
        auto signedOld =
            command(ZARVO_RELEASE_TOOL,
                    {"sign", current.string(), releases->signingKey().string(), "ZARVODEV01"});
        ASSERT_TRUE(signedOld.ok());
    }
    void TearDown() override {
        unsetenv("ZARVO_DEPLOYMENT");
        ReleaseServiceFixture::TearDown();
    }

    // `payload` random bytes make the package big enough for ranged downloads.
    void release(const std::string& version, const std::string& script, size_t payload = 0) {
        TempDir templateDir;
        fs::path from = makeBundle(templateDir.path(), "1.0.0", script);
        if (payload > 0) {
            std::string bytes(payload, '\0');
            std::mt19937_64 generator{payload};
            for (auto& c : bytes)
                c = char(generator());
            ASSERT_TRUE(writeFileAtomically(from / "Contents/Resources/payload.bin", bytes));
        }
        auto made =
            command(ZARVO_SOURCE_DIR "/scripts/make-release.sh",
                    {version, "--from", from.string(), "--key", releases->signingKey().string(),
                     "--out", releases->folder().string(), "--tool", ZARVO_RELEASE_TOOL});
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
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
        while (std::chrono::steady_clock::now() < deadline) {
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

    fs::path home, current;
};

TEST_F(UpdateEndToEnd, InstallsBesideTheOldVersionThenRollsBackAVersionThatNeverComesUp) {
    release("1.0.30", kReadyScript, 17'000'000);
    EXPECT_EQ(runUpdate(), "updated");
    EXPECT_TRUE(fs::exists(home / "Applications/Zarvo 1.0.30.app/Contents/MacOS/Zarvo"));
    EXPECT_TRUE(fs::exists(current / "Contents/MacOS/Zarvo"));
    EXPECT_FALSE(fs::exists(storageDirectory() / "Updates/pending.json"));
    int ranges = 0;
    for (const auto& r : releases->requests())
        ranges += r.path.ends_with(".zip") && r.host == "download" && r.status == 206;
    EXPECT_EQ(ranges, 5) << "the package came in 4 MiB ranges from the download host";

    release("1.0.31", kNeverReadyScript);
    EXPECT_EQ(runUpdate(), "restored_previous_version");
    EXPECT_FALSE(fs::exists(home / "Applications/Zarvo 1.0.31.app"));
    EXPECT_TRUE(fs::exists(home / "Applications/Zarvo 1.0.30.app"));
    EXPECT_TRUE(fs::exists(current / "Contents/MacOS/Zarvo"));
    // The installer reopened the verified old version.
    bool reopened = false;
    for (int i = 0; i < 100 && !reopened; ++i) {
        reopened = fs::exists(home / "reopened");
        if (!reopened)
            usleep(100'000);
    }
    EXPECT_TRUE(reopened);
}

} // namespace
} // namespace zarvo
