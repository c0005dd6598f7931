// The update workflow of Zarvo: restores a staged update at start, checks the release manifest
// (silently at start or on request), downloads the package with a fall-back from the download
// host to the primary host, verifies and unpacks it into a private staging folder, and hands
// over to ZarvoUpdater only when no paid session is running or waiting for settlement. All
// state lives on the main loop; verification and unpacking run on the download's own thread.
#pragma once

#include "foundation/json.h"
#include "foundation/loop.h"
#include "foundation/result.h"
#include "foundation/serial_queue.h"
#include "foundation/weak_owner.h"
#include "update/client_release.h"
#include "update/parallel_update_download.h"
#include "update/update_host.h"
#include "update/update_mirror.h"
#include "update/update_presenter.h"

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zarvo {

// The version this process runs as: "CFBundleShortVersionString" of its bundle's Info.plist,
// which the bundle's signature covers, or the compiled-in version when it runs from a build tree.
std::string runningVersion();

struct ClientSupportEnvironment {
    std::string currentVersion; // "CFBundleShortVersionString" of this bundle
    std::string currentDate; // the day the running version was released, YYYY-MM-DD; may be empty
    std::optional<std::filesystem::path> currentBundle; // none when run from a build tree
    std::filesystem::path updaterExecutable; // "ZarvoUpdater" next to the running executable
    // Starts a detached process with stdout and stderr on /dev/null; false when it did not start.
    std::function<bool(const std::vector<std::string>& argv)> startProcess;
    // The manifest fetch; by default a GET on libsoup with a 12 s time-out.
    UpdateMirror::Fetch fetch;
    // The support folder ("Zarvo" in the application-support folder, links resolved).
    std::filesystem::path supportFolder;

    // Values for the running process: its bundle from /proc/self/exe, libsoup, the real folder.
    static ClientSupportEnvironment forThisProcess();
};

class ClientSupport {
public:
    // `host` and `presenter` outlive the workflow.
    ClientSupport(Loop& loop, UpdatePresenter& presenter, UpdateHost& host,
                  ClientSupportEnvironment environment);
    ~ClientSupport();

    void start();
    void checkForUpdates(bool interactive);
    void showRelease();
    void downloadAvailable();
    void installDownloaded();
    void exportDiagnostics();
    // The hand-shake with ZarvoUpdater: writes "ready" to the marker it named, when that marker
    // lies directly in `supportFolder` and is called "update-ready-…".
    static void markLaunchReady(const std::filesystem::path& supportFolder);
    static void markLaunchReady();

    // The state's "update" member for the studio page.
    Json snapshot() const;

    // Read-only views for tests and the native panel.
    const std::string& updateStatus() const { return updateStatus_; }
    const std::optional<ClientRelease>& release() const { return release_; }
    const std::optional<std::filesystem::path>& stagedApp() const { return stagedApp_; }
    bool checking() const { return checking_; }
    bool downloading() const { return downloading_; }
    bool installing() const { return installing_; }
    std::filesystem::path stagingRoot() const;
    int64_t lastPeakConnections() const { return lastPeakConnections_; }

private:
    void whenAvailable(std::function<void()> body);
    void download(const ClientRelease& release, size_t index);
    void stageDownloaded(const std::filesystem::path& file, const ClientRelease& release,
                         size_t index, const std::string& url, std::optional<Error> error,
                         uint64_t attempt, OwnerWatch alive);
    void downloadFailed(const ClientRelease& release, size_t index, const Error& error);
    void launchInstaller(const std::filesystem::path& app, const ClientRelease& release,
                         const std::filesystem::path& currentApp);
    void alert(const std::string& title, const std::string& message);
    void deletePending();

    Loop& loop_;
    UpdatePresenter& presenter_;
    UpdateHost& host_;
    ClientSupportEnvironment environment_;

    bool checking_ = false;
    bool downloading_ = false;
    bool installing_ = false;
    std::string checkedAt_ = "尚未检查";
    std::string updateStatus_ = "启动时自动检查更新";
    std::optional<ClientRelease> release_;
    std::optional<std::filesystem::path> stagedApp_;
    bool started_ = false;
    bool restoring_ = false;
    std::unique_ptr<ParallelUpdateDownload> downloadTransfer_;
    uint64_t downloadAttempt_ = 0;
    int64_t lastPeakConnections_ = 0;
    std::unique_ptr<SerialQueue> utility_;
    std::vector<TimerHandle> retries_;
    WeakOwner life_; // last, so that late callbacks see the workflow gone before any member
};

// The staged bundle's check: signature, identifier and the release's version in Info.plist.
Status<> verifyStagedApplication(const std::filesystem::path& app, const ClientRelease& release);
// The staged bundle lies at "<staging root>/update-…/<bundleName>".
bool validStaging(const std::filesystem::path& app, const ClientRelease& release,
                  const std::filesystem::path& stagingRoot);

} // namespace zarvo
