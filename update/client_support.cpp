#include "update/client_support.h"

#include "foundation/atomic_file.h"
#include "foundation/child_process.h"
#include "foundation/encoding.h"
#include "foundation/owned.h"
#include "foundation/paths.h"
#include "foundation/process.h"
#include "foundation/thread_check.h"
#include "update/bundle_signature.h"
#include "update/code_signature.h"
#include "update/diagnostics_report.h"
#include "update/pending_update.h"
#include "update/release_validation.h"

#include <glib.h>

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

namespace zarvo {

namespace fs = std::filesystem;

namespace {

fs::path resolved(const fs::path& path) {
    std::error_code ec;
    fs::path real = fs::weakly_canonical(path, ec);
    return ec ? path.lexically_normal() : real;
}

// The archive tool at its fixed place: never whichever one comes first on PATH.
constexpr const char* archiveTool = "/usr/bin/bsdtar";

// A system tool; a non-zero exit is an error whose code is the exit status. Its error output is
// dropped: it would only reach the terminal Zarvo was started from.
Result<std::string> tool(const std::string& executable, const std::vector<std::string>& arguments) {
    ChildOptions options;
    options.argv.push_back(executable);
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.output = ChildStream::Pipe;
    options.error = ChildStream::Null;
    auto child = startChild(options);
    if (!child)
        return unexpected(Error{"工具执行失败", -1});
    std::string output = readToEndAndClose(child->takeOutput());
    if (int code = waitForChild(child->pid()); code != 0)
        return unexpected(Error{"工具执行失败", code});
    return output;
}

std::string localTime(WallTime time, const char* format) {
    auto utc = adoptRef(g_date_time_new_from_unix_utc(
        std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count()));
    if (!utc)
        return {};
    auto local = adoptRef(g_date_time_to_local(utc.get()));
    GOwned<gchar> text(local ? g_date_time_format(local.get(), format) : nullptr);
    return text ? text.get() : "";
}

} // namespace

Status<> verifyStagedApplication(const fs::path& app, const ClientRelease& release) {
    if (!CodeSignature::verifyApplication(app))
        return unexpected(Error{"工具执行失败", 1});
    const fs::path plist = app / "Contents/Info.plist";
    if (plistString(plist, "CFBundleShortVersionString") != release.version ||
        plistString(plist, "CFBundleIdentifier") !=
            std::string(ReleaseValidation::bundleIdentifier))
        return unexpected(Error{"安装包版本不匹配", 5});
    return Ok{};
}

bool validStaging(const fs::path& app, const ClientRelease& release, const fs::path& stagingRoot) {
    return app.filename() == release.bundleName() &&
           app.parent_path().filename().string().starts_with("update-") &&
           resolved(app.parent_path().parent_path()) == resolved(stagingRoot);
}

// Staged updates are up to a package's size each. The one "pending.json" names stays, whatever it
// holds; without one, the newest staging whose bundle still verifies stays; all others go.
static void removeOldStagings(const fs::path& root, const fs::path& pendingFile) {
    std::optional<fs::path> named;
    if (auto text = readFile(pendingFile); text && text->size() <= 65535)
        if (auto json = parseJsonObject(*text))
            if (auto app = jsonString(*json, "app"))
                named = resolved(fs::path(*app).parent_path());
    std::vector<std::pair<fs::file_time_type, fs::path>> stagings;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root, ec)) {
        if (!entry.path().filename().string().starts_with("update-") || !entry.is_directory(ec) ||
            entry.is_symlink(ec))
            continue;
        stagings.emplace_back(fs::last_write_time(entry.path(), ec), entry.path());
    }
    std::sort(stagings.rbegin(), stagings.rend());
    bool keptOne = false;
    for (const auto& [time, folder] : stagings) {
        if (named && resolved(folder) == *named) {
            keptOne = true;
            continue;
        }
        if (!named && !keptOne) {
            bool verified = false;
            for (const auto& inside : fs::directory_iterator(folder, ec))
                if (inside.path().extension() == ".app" &&
                    CodeSignature::verifyApplication(inside.path()))
                    verified = true;
            if (verified) {
                keptOne = true;
                continue;
            }
        }
        fs::remove_all(folder, ec);
    }
}

ClientSupport::ClientSupport(Loop& loop, UpdatePresenter& presenter, UpdateHost& host,
                             ClientSupportEnvironment environment)
    : loop_(loop), presenter_(presenter), host_(host), environment_(std::move(environment)) {}

ClientSupport::~ClientSupport() {
    life_.invalidate();        // from here on, a download that finishes stages nothing
    downloadTransfer_.reset(); // joins the download thread while every member still exists
    utility_.reset();          // waits for a restore in progress
}

fs::path ClientSupport::stagingRoot() const {
    return environment_.supportFolder / "Updates";
}

void ClientSupport::deletePending() {
    std::error_code ec;
    fs::remove(stagingRoot() / "pending.json", ec);
}

void ClientSupport::alert(const std::string& title, const std::string& message) {
    presenter_.alert(title, message);
}

void ClientSupport::whenAvailable(std::function<void()> body) {
    if (host_.mayPresent() && presenter_.canPresent())
        return body();
    OwnerWatch alive = life_.watch();
    retries_.push_back(loop_.postDelayed(seconds(0.5), [this, alive, body = std::move(body)] {
        if (alive.alive())
            whenAvailable(body);
    }));
    // Keep only timers still waiting.
    std::erase_if(retries_, [](const TimerHandle& t) { return !t.isActive(); });
}

// ---- start ----

void ClientSupport::start() {
    if (started_)
        return;
    started_ = true;
    restoring_ = true;
    utility_ = std::make_unique<SerialQueue>("zarvo.update.restore");
    const fs::path pendingFile = stagingRoot() / "pending.json";
    const fs::path root = stagingRoot();
    const std::string current = environment_.currentVersion;
    OwnerWatch alive = life_.watch();
    utility_->async([this, alive, pendingFile, root, current] {
        std::optional<PendingUpdate> accepted = PendingUpdate::read(pendingFile);
        if (accepted && !(ReleaseValidation::trusted(accepted->release) &&
                          ReleaseValidation::newer(accepted->release.version, current) &&
                          validStaging(accepted->app, accepted->release, root) &&
                          verifyStagedApplication(accepted->app, accepted->release)))
            accepted.reset(); // only ignored; the next staging replaces it
        removeOldStagings(root, pendingFile);
        loop_.post([this, alive, accepted] {
            if (!alive.alive())
                return;
            restoring_ = false;
            if (accepted) {
                release_ = accepted->release;
                stagedApp_ = accepted->app;
                updateStatus_ = "更新已下载，可在会话结束后安装";
            }
            checkForUpdates(false);
        });
    });
}

// ---- check ----

void ClientSupport::checkForUpdates(bool interactive) {
    if (checking_ || downloading_ || installing_ || restoring_)
        return;
    checking_ = true;
    updateStatus_ = "正在检查更新…";
    OwnerWatch alive = life_.watch();
    UpdateMirror::loadManifest(environment_.fetch, [this, alive, interactive](
                                                       std::optional<ClientRelease> found) {
        loop_.post([this, alive, interactive, found] {
            if (!alive.alive())
                return;
            checking_ = false;
            checkedAt_ = localTime(loop_.now(), "%m-%d %H:%M");
            const std::string current = environment_.currentVersion;
            if (found && ReleaseValidation::newer(found->version, current)) {
                if (!release_ || release_->version != found->version) {
                    stagedApp_.reset();
                    deletePending();
                }
                release_ = found;
                updateStatus_ =
                    stagedApp_ ? "更新已下载，可以安装" : "发现新版本 " + found->version;
                whenAvailable([this] { showRelease(); });
            } else if (found) {
                release_.reset();
                stagedApp_.reset();
                deletePending();
                updateStatus_ = "已是最新版本";
                if (interactive)
                    whenAvailable(
                        [this, current] { alert("已是最新版本", "当前版本：" + current); });
            } else {
                updateStatus_ =
                    stagedApp_ ? "已下载更新；本次联网检查未成功" : "暂时无法检查更新，可稍后重试";
                if (interactive)
                    whenAvailable([this] {
                        alert("暂时无法检查更新", "请确认网络连接后重试，当前版本可以继续使用。");
                    });
                else if (stagedApp_)
                    whenAvailable([this] { showRelease(); });
            }
        });
    });
}

// ---- the release dialog ----

void ClientSupport::showRelease() {
    if (!release_ || installing_)
        return;
    const ClientRelease release = *release_;
    std::string date = release.publishedAt;
    if (auto parsed = ReleaseValidation::date(release.publishedAt))
        date = localTime(*parsed, "%Y年%-m月%-d日");
    ReleaseDialog dialog;
    dialog.title = "发现新版本 " + release.version;
    dialog.text = "当前版本 " + environment_.currentVersion + " → " + release.version +
                  " · 发布于 " + date + "\n更新内容：";
    dialog.notes = release.notes;
    if (downloading_) {
        dialog.text += "\n正在后台下载更新。";
        dialog.buttons = {"知道了"};
        presenter_.showRelease(dialog);
        return;
    }
    if (stagedApp_) {
        const bool busy = host_.isBusy();
        if (busy) {
            dialog.text += "\n更新已下载。请在会话结束并完成结算后，到设置中安装。";
            dialog.buttons = {"稍后"};
        } else {
            dialog.text += "\n更新已下载。安装时软件会退出并重新打开，设置会保留。";
            dialog.buttons = {"退出并安装", "稍后"};
        }
        int chosen = presenter_.showRelease(dialog);
        if (!busy && chosen == 0 && !host_.isBusy())
            installDownloaded();
        return;
    }
    dialog.text += "\n下载可在后台进行，安装需先结束 AI 会话。";
    dialog.buttons = {"下载更新", "稍后"};
    if (presenter_.showRelease(dialog) == 0)
        downloadAvailable();
}

// ---- download and staging ----

void ClientSupport::downloadAvailable() {
    if (!release_ || checking_ || downloading_ || installing_)
        return;
    if (stagedApp_)
        return installDownloaded();
    download(*release_, 0);
}

void ClientSupport::download(const ClientRelease& release, size_t index) {
    downloading_ = true;
    updateStatus_ = "正在下载更新…";
    std::vector<std::string> urls;
    if (ReleaseValidation::trusted(release))
        urls = UpdateMirror::packages(release);
    if (index >= urls.size()) {
        downloading_ = false;
        updateStatus_ = "更新地址无效";
        return;
    }
    const std::string url = urls[index];
    const uint64_t attempt = ++downloadAttempt_;
    OwnerWatch alive = life_.watch();
    auto onProgress = [this, alive, attempt, size = release.size](int64_t received, int64_t) {
        loop_.post([this, alive, attempt, received, size] {
            if (!alive.alive() || attempt != downloadAttempt_ || !downloading_)
                return;
            int64_t percent = std::min<int64_t>(received * 100 / size, 100);
            updateStatus_ = "正在下载更新 " + std::to_string(percent) + "%";
        });
    };
    // The completion runs on the download's thread and must consume the file before returning.
    // Asked there, alive() may turn false at any moment; the members stay, as ~ClientSupport
    // joins this thread before any of them goes.
    auto completion = [this, alive, release, index, url, attempt](std::optional<fs::path> file,
                                                                  std::optional<Error> error) {
        if (!alive.alive())
            return;
        stageDownloaded(file.value_or(fs::path()), release, index, url, error, attempt, alive);
    };
    // The previous attempt's thread is joined here, on the main thread.
    ZARVO_DCHECK_ON(loop_);
    if (downloadTransfer_)
        lastPeakConnections_ = downloadTransfer_->peakConnections();
    downloadTransfer_ =
        std::make_unique<ParallelUpdateDownload>(url, release.size, onProgress, completion);
    downloadTransfer_->start();
}

void ClientSupport::stageDownloaded(const fs::path& file, const ClientRelease& release,
                                    size_t index, const std::string& url,
                                    std::optional<Error> error, uint64_t attempt,
                                    OwnerWatch alive) {
    std::optional<fs::path> folder;
    auto fail = [&](Error failure) {
        if (folder) {
            std::error_code ec;
            fs::remove_all(*folder, ec);
        }
        loop_.post([this, alive, release, index, failure, attempt] {
            if (alive.alive() && attempt == downloadAttempt_)
                downloadFailed(release, index, failure);
        });
    };
    if (error) {
        if (error->message == "下载线路暂不可用")
            return fail(*error);
        bool fallback = UpdateMirror::mayFallbackDownload(error, std::nullopt, std::nullopt, url);
        return fail(Error{fallback ? "下载线路暂不可用" : "下载失败", 1});
    }
    std::error_code ec;
    if (int64_t(fs::file_size(file, ec)) != release.size || ec)
        return fail(Error{"安装包大小无效", 2});
    auto data = readFile(file);
    if (!data || !ReleaseValidation::packageMatches(*data, release))
        return fail(Error{"安装包校验失败", 3});
    data.reset();
    loop_.post([this, alive, attempt] {
        if (alive.alive() && attempt == downloadAttempt_)
            updateStatus_ = "下载完成，正在校验应用签名…";
    });

    folder = stagingRoot() / ("update-" + randomUuid());
    fs::create_directories(*folder, ec);
    if (ec)
        return fail(Error{"无法创建更新目录", 1});
    ::chmod(folder->c_str(), 0700);
    const fs::path zip = *folder / "update.zip";
    fs::rename(file, zip, ec);
    if (ec) {
        ec.clear();
        fs::copy_file(file, zip, ec);
        if (ec)
            return fail(Error{"无法保存更新文件", 1});
    }
    auto listing = tool(archiveTool, {"-tf", zip.string()});
    if (!listing)
        return fail(listing.error());
    if (!ReleaseValidation::archivePaths(*listing, release.bundleName()))
        return fail(Error{"安装包路径无效", 4});
    auto verbose = tool(archiveTool, {"-tvf", zip.string()});
    if (!verbose)
        return fail(verbose.error());
    if (!ReleaseValidation::archiveLinks(*verbose, release.bundleName()))
        return fail(Error{"无效符号链接", 6});
    // -P is not given: bsdtar itself also refuses absolute and ".." members. Owners and modes
    // of the archive are not kept (as root bsdtar would keep both); the signed modes are set
    // below and then checked with everything else.
    if (auto unpacked = tool(archiveTool, {"-x", "--no-same-owner", "--no-same-permissions",
                                           "--no-xattrs", "--no-acls", "--no-fflags", "-f",
                                           zip.string(), "-C", folder->string()});
        !unpacked)
        return fail(unpacked.error());
    const fs::path app = *folder / release.bundleName();
    if (auto moded = BundleSignature::applySignedModes(app); !moded)
        return fail(Error{"工具执行失败", 1});
    if (auto verified = verifyStagedApplication(app, release); !verified)
        return fail(verified.error());
    if (auto written = PendingUpdate{release, app}.write(stagingRoot() / "pending.json"); !written)
        return fail(Error{"无法记录更新", 1});
    fs::remove(zip, ec);
    loop_.post([this, alive, app, attempt] {
        if (!alive.alive() || attempt != downloadAttempt_)
            return;
        downloading_ = false;
        stagedApp_ = app;
        updateStatus_ = "更新已下载，可以安装";
        if (!host_.isBusy())
            whenAvailable([this] { showRelease(); });
    });
}

void ClientSupport::downloadFailed(const ClientRelease& release, size_t index, const Error& error) {
    if (error.message == "下载线路暂不可用" && index + 1 < UpdateMirror::packages(release).size())
        return download(release, index + 1); // the download host failed; try the primary host
    downloading_ = false;
    updateStatus_ = "下载或校验失败，可重试";
    whenAvailable([this] { alert("更新未完成", "下载或校验未通过，原版本未改动，请稍后重试。"); });
}

// ---- install ----

void ClientSupport::installDownloaded() {
    if (!release_ || !stagedApp_)
        return;
    const ClientRelease release = *release_;
    if (!environment_.currentBundle) {
        alert("请先移入应用程序", "将客户端放入“应用程序”文件夹后，再安装更新。");
        return;
    }
    const fs::path current = environment_.currentBundle->lexically_normal();
    const fs::path parent = current.parent_path();
    if (!ReleaseValidation::isInstallRoot(parent)) {
        alert("请先移入应用程序", "将客户端放入“应用程序”文件夹后，再安装更新。");
        return;
    }
    const std::string name = current.filename().string();
    const std::string version = environment_.currentVersion;
    if (name != "Zarvo " + version + ".app" && name != "澈泽工作台 " + version + ".app") {
        // ZarvoUpdater refuses any other name; say so before quitting for nothing.
        alert("无法安装更新", "客户端的文件夹名称已被修改，请重新下载安装新版本。");
        return;
    }
    std::error_code ec;
    if (fs::symlink_status(parent / release.bundleName(), ec).type() != fs::file_type::not_found) {
        alert("新版本已存在", "应用程序中已有 Zarvo " + release.version +
                                  "，请结束当前客户端后打开该版本。已有版本不会被覆盖。");
        return;
    }
    if (::access(parent.c_str(), W_OK) != 0) {
        alert("应用程序目录不可写", "当前用户无法写入应用程序目录，请联系管理员安装新版，或将客户"
                                    "端移入个人应用程序目录。");
        return;
    }
    int chosen = presenter_.confirm("安装 Zarvo " + release.version,
                                    "软件将退出并打开新版本。当前版本和设置会保留；新版本未能正常"
                                    "启动时会回到当前版本。",
                                    {"退出并安装", "稍后"});
    if (chosen != 0 || host_.isBusy() || installing_)
        return;
    installing_ = true;
    updateStatus_ = "正在核对会话结算…";
    OwnerWatch alive = life_.watch();
    host_.verifySession([this, alive, current](bool settled) {
        if (!alive.alive())
            return;
        if (settled && !host_.isBusy() && release_ && stagedApp_)
            return launchInstaller(*stagedApp_, *release_, current);
        installing_ = false;
        updateStatus_ = "暂不能安装：请联网并等待 AI 会话完成结算";
    });
}

void ClientSupport::launchInstaller(const fs::path& app, const ClientRelease& release,
                                    const fs::path& currentApp) {
    updateStatus_ = "正在退出并安装…";
    auto refuse = [this] {
        installing_ = false;
        updateStatus_ = "安装未启动，可重试";
        alert("无法启动安装", "请确认应用程序文件夹可写，或重新下载安装包。");
    };
    if (!verifyStagedApplication(app, release))
        return refuse();
    // A copy outside the running bundle survives the hand-over.
    const fs::path helper = app.parent_path() / ("ZarvoUpdater-" + randomUuid());
    std::error_code ec;
    fs::copy_file(environment_.updaterExecutable, helper, ec);
    if (ec)
        return refuse();
    fs::permissions(helper, fs::perms(0700), ec);
    const std::vector<std::string> argv = {helper.string(), app.string(),
                                           std::to_string(::getpid()), currentApp.string(),
                                           release.version};
    if (!environment_.startProcess || !environment_.startProcess(argv))
        return refuse();
    host_.quitForInstall();
}

// ---- the launch hand-shake ----

void ClientSupport::markLaunchReady(const fs::path& supportFolder) {
    const char* value = std::getenv("ZARVO_UPDATE_READY");
    if (!value)
        value = std::getenv("MORVEX_UPDATE_READY");
    if (!value || !*value)
        return;
    const fs::path marker = fs::path(value).lexically_normal();
    if (!marker.is_absolute() || !marker.filename().string().starts_with("update-ready-") ||
        resolved(marker.parent_path()) != resolved(supportFolder))
        return;
    std::error_code ec;
    fs::create_directories(supportFolder, ec);
    (void)writeFileAtomically(marker, "ready");
}

void ClientSupport::markLaunchReady() {
    markLaunchReady(storageDirectory());
}

// ---- diagnostics ----

void ClientSupport::exportDiagnostics() {
    const WallTime now = loop_.now();
    auto chosen = presenter_.chooseSaveLocation(
        Diagnostics::suggestedFileName(now),
        "仅导出版本、连接状态和设备检测结果，不包含密钥、参考图或视频。");
    if (!chosen)
        return;
    Diagnostics::ReportInput input;
    input.now = now;
    input.appVersion = environment_.currentVersion;
    input.osVersion = Diagnostics::operatingSystemVersion();
    input.virtualCamera = host_.virtualCameraName();
    input.cameraPermission = host_.cameraPermission();
    input.context = host_.diagnosticContext();
    const std::string text =
        Diagnostics::report(input).dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    if (!writeFileAtomically(*chosen, text))
        alert("导出失败", "请选择可写入的位置后重试。");
}

// ---- the studio's update panel ----

Json ClientSupport::snapshot() const {
    const bool busy = host_.isBusy();
    return Json{
        {"current", environment_.currentVersion},
        {"currentDate", environment_.currentDate},
        {"status", stagedApp_ && busy ? "已下载，等待 AI 会话结束并完成结算" : updateStatus_},
        {"checking", checking_ || restoring_},
        {"downloading", downloading_},
        {"installing", installing_},
        {"ready", stagedApp_.has_value()},
        {"available", release_.has_value()},
        {"canInstall", ReleaseValidation::installAllowed(busy, checking_, downloading_, installing_,
                                                         stagedApp_.has_value())},
        {"latest", release_ ? release_->version : ""},
        {"notes", release_ ? release_->notes : ""},
        {"published", release_ ? release_->publishedAt : ""},
        {"checkedAt", checkedAt_},
    };
}

} // namespace zarvo
