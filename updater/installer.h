// ZarvoUpdater's work: install a staged, verified new version beside the running one under its
// own versioned name, prove that it starts, and otherwise remove it again. The old bundle is
// never modified, so the user always keeps a working version.
#pragma once

#include "foundation/result.h"
#include "foundation/time.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zarvo::updater {

// The reason codes are the helper's whole vocabulary for results and diagnostics.
struct UpdateFailure {
    std::string reason;
};

template <class T = Ok> using Outcome = Result<T, UpdateFailure>;

// Copies candidate to a temporary name beside destination, moves it into place and keeps it only
// when afterInstall() answers true. An existing destination is never touched. checkCopy, when
// given, may refuse the temporary copy before it is moved into place ("validation_failed").
Outcome<> installAlongside(const std::filesystem::path& candidate,
                           const std::filesystem::path& destination,
                           const std::function<bool()>& afterInstall,
                           const std::function<bool(const std::filesystem::path&)>& checkCopy = {});

struct InstallerOptions {
    Duration oldProcessWait = seconds(60);
    Duration launchWait = seconds(30);
    // How long a new version that did not come up may take to end after SIGTERM before SIGKILL.
    Duration exitGrace = seconds(10);
    Duration poll = seconds(0.2);
    std::filesystem::path procRoot = "/proc"; // the running-application list
};

class Installer {
public:
    explicit Installer(InstallerOptions options = {}) : options_(std::move(options)) {}

    // The four arguments after the program name; the failure's reason on failure. Every outcome
    // is recorded in the result file ("updated", "restored_previous_version" or the reason).
    Outcome<> install(const std::vector<std::string>& arguments);
    // After a failed install: once the old process has ended, reopens the verified old version,
    // unless the new one was kept running. True when it was started.
    bool reopenPrevious();
    // When the deployment cannot be loaded: waits for the old process and reopens the installed
    // version if its place, name and identifier are the product's; records "deployment_unreadable".
    Outcome<> recoverWithoutDeployment(const std::vector<std::string>& arguments);
    // The new version came up and stays installed, even if a later step failed.
    bool newVersionKept() const { return newVersionKept_; }
    // Set once the installed (old) version passed its signature check; it is reopened on failure.
    const std::optional<std::filesystem::path>& verifiedPrevious() const {
        return verifiedPrevious_;
    }

private:
    Outcome<> attempt(const std::vector<std::string>& arguments);
    void waitForOldProcess();
    bool launchAndAwaitMarker(const std::filesystem::path& app,
                              const std::filesystem::path& marker);

    InstallerOptions options_;
    std::optional<std::filesystem::path> verifiedPrevious_;
    pid_t oldPid_ = 0;
    bool newVersionKept_ = false;
    bool resultWritten_ = false;
};

// "--self-test": rollback, a kept install and a protected destination, in a temporary folder.
Outcome<> selfTest();

// Starts the bundle's own executable detached from this process (stdout/stderr to /dev/null).
bool openApplication(const std::filesystem::path& app);

// The support folder ("Zarvo" in the user's application-support folder, links resolved) and
// its staging root "Updates".
std::filesystem::path supportFolder();
std::filesystem::path stagingRoot();

} // namespace zarvo::updater
