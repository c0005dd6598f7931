#include "updater/installer.h"

#include "foundation/atomic_file.h"
#include "foundation/child_process.h"
#include "foundation/encoding.h"
#include "foundation/paths.h"
#include "update/bundle_signature.h"
#include "update/code_signature.h"
#include "update/release_validation.h"
#include "updater/launcher_entry.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zarvo::updater {
namespace {

namespace fs = std::filesystem;

Unexpected<UpdateFailure> failure(const char* reason) {
    return unexpected(UpdateFailure{reason});
}

fs::path resolved(const fs::path& path) {
    std::error_code ec;
    fs::path real = fs::weakly_canonical(path, ec);
    return ec ? path.lexically_normal() : real;
}

// "Standardised": absolute, "." and ".." removed, no trailing slash; links kept.
fs::path standardised(const std::string& text) {
    fs::path path = fs::absolute(fs::path(text)).lexically_normal();
    if (!path.has_filename() && path.has_parent_path() && path != path.root_path())
        path = path.parent_path();
    return path;
}

bool processExists(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

// The bundle a process belongs to, when its executable is "<bundle>.app/Contents/MacOS/<main>".
std::optional<fs::path> bundleOfExecutable(fs::path executable) {
    std::string text = executable.string();
    if (const std::string deleted = " (deleted)"; text.ends_with(deleted))
        executable = text.substr(0, text.size() - deleted.size());
    fs::path macos = executable.parent_path(), contents = macos.parent_path();
    fs::path bundle = contents.parent_path();
    if (macos.filename() != "MacOS" || contents.filename() != "Contents" ||
        bundle.extension() != ".app")
        return std::nullopt;
    auto main = plistString(contents / "Info.plist", "CFBundleExecutable");
    if (main && *main != executable.filename().string())
        return std::nullopt;
    return bundle;
}

std::optional<fs::path> bundleOfProcess(const fs::path& procRoot, pid_t pid) {
    std::error_code ec;
    fs::path exe = fs::read_symlink(procRoot / std::to_string(pid) / "exe", ec);
    if (ec)
        return std::nullopt;
    return bundleOfExecutable(exe);
}

// Another process of this user that is an application with the product's identifier.
bool anotherInstanceRunning(const fs::path& procRoot, pid_t allowed) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(procRoot, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        pid_t pid = pid_t(std::stol(name));
        struct stat info {};
        if (pid == allowed || pid == ::getpid() || ::stat(entry.path().c_str(), &info) != 0 ||
            info.st_uid != ::getuid())
            continue;
        auto bundle = bundleOfProcess(procRoot, pid);
        if (bundle && plistString(*bundle / "Contents/Info.plist", "CFBundleIdentifier") ==
                          std::string(ReleaseValidation::bundleIdentifier))
            return true;
    }
    return false;
}

void sleepFor(Duration d) {
    std::this_thread::sleep_for(d);
}

// Starts `executable` with its standard streams on /dev/null; `extraEnvironment` is "NAME=value".
pid_t spawn(const fs::path& executable, const std::vector<std::string>& extraEnvironment) {
    ChildOptions options;
    options.argv = {executable.string()};
    options.environment = extraEnvironment;
    auto child = startChild(options);
    return child ? child->pid() : -1;
}

Status<> writeResult(const char* text) {
    return writeFileAtomically(supportFolder() / "last-update-result.txt", text);
}

} // namespace

fs::path supportFolder() {
    return resolved(storageDirectory());
}

fs::path stagingRoot() {
    return resolved(storageDirectory() / "Updates");
}

bool openApplication(const fs::path& app) {
    auto main = plistString(app / "Contents/Info.plist", "CFBundleExecutable").value_or("Zarvo");
    if (main.empty() || main.find('/') != std::string::npos)
        return false;
    ChildOptions options;
    options.argv = {(app / "Contents/MacOS" / main).string()};
    return startDetached(options).ok();
}

Outcome<> installAlongside(const fs::path& candidate, const fs::path& destination,
                           const std::function<bool()>& afterInstall,
                           const std::function<bool(const fs::path&)>& checkCopy) {
    std::error_code ec;
    if (fs::symlink_status(destination, ec).type() != fs::file_type::not_found)
        return failure("destination_exists");
    const fs::path temp = destination.parent_path() / (".zarvo-next-" + randomUuid() + ".app");
    struct RemoveTemp {
        fs::path path;
        ~RemoveTemp() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    } cleanup{temp};

    fs::copy(candidate, temp, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    if (ec)
        return unexpected(UpdateFailure{"copy_failed"});
    if (checkCopy && !checkCopy(temp))
        return failure("validation_failed");
    // rename() would replace an empty folder that appeared meanwhile; link-free check again.
    if (fs::symlink_status(destination, ec).type() != fs::file_type::not_found)
        return failure("destination_exists");
    if (::rename(temp.c_str(), destination.c_str()) != 0)
        return unexpected(UpdateFailure{"move_failed"});
    if (afterInstall())
        return Ok{};
    fs::remove_all(destination, ec);
    if (ec)
        return unexpected(UpdateFailure{"remove_failed"});
    return failure("launch_not_ready");
}

bool Installer::launchAndAwaitMarker(const fs::path& app, const fs::path& marker) {
    pid_t child = spawn(app / "Contents/MacOS/Zarvo", {"ZARVO_UPDATE_READY=" + marker.string()});
    if (child <= 0)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + options_.launchWait;
    bool ready = false, ended = false;
    for (;;) {
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) == child) {
            ended = true;
            break;
        }
        std::error_code ec;
        if (fs::exists(marker, ec)) {
            ready = true;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        sleepFor(options_.poll);
    }
    if (!ready && !ended) {
        // A version that hangs on its way out must not keep the user from the old one: after a
        // grace period it is killed.
        ::kill(child, SIGTERM);
        const auto grace = std::chrono::steady_clock::now() + options_.exitGrace;
        int status = 0;
        while (::waitpid(child, &status, WNOHANG) != child) {
            if (std::chrono::steady_clock::now() >= grace) {
                ::kill(child, SIGKILL);
                while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
                }
                break;
            }
            sleepFor(options_.poll);
        }
    }
    return ready;
}

Outcome<> Installer::install(const std::vector<std::string>& arguments) {
    auto outcome = attempt(arguments);
    // Whatever went wrong, the result file says so; the two outcomes of an install attempt
    // ("updated", "restored_previous_version") were written by the attempt itself. A command line
    // Zarvo never gives leaves the file alone.
    if (!outcome && !resultWritten_ && outcome.error().reason != "invalid_arguments")
        (void)writeResult(outcome.error().reason.c_str());
    return outcome;
}

Outcome<> Installer::attempt(const std::vector<std::string>& arguments) {
    // 1. Arguments.
    if (arguments.size() != 4)
        return failure("invalid_arguments");
    const std::string& pidText = arguments[1];
    if (pidText.empty() || pidText.size() > 10 ||
        pidText.find_first_not_of("0123456789") != std::string::npos)
        return failure("invalid_arguments");
    long long parsedPid = std::stoll(pidText);
    if (parsedPid < 2 || parsedPid > INT32_MAX)
        return failure("invalid_arguments");
    const pid_t pid = pid_t(parsedPid);
    oldPid_ = pid;
    const fs::path candidate = standardised(arguments[0]);
    const fs::path current = standardised(arguments[2]);
    const std::string version = arguments[3];

    // 2. The version must be newer than the installed one.
    auto currentVersion =
        plistString(current / "Contents/Info.plist", "CFBundleShortVersionString");
    if (!currentVersion || !ReleaseValidation::newer(version, *currentVersion))
        return failure("invalid_paths_or_version");

    // 3. Names and the staging root.
    const std::string currentName = current.filename().string();
    if (candidate.filename() != "Zarvo " + version + ".app" ||
        (currentName != "Zarvo " + *currentVersion + ".app" &&
         currentName != "澈泽工作台 " + *currentVersion + ".app") ||
        !candidate.parent_path().filename().string().starts_with("update-") ||
        resolved(candidate.parent_path().parent_path()) != stagingRoot())
        return failure("invalid_paths_or_version");

    // 4. Only the install roots.
    if (!ReleaseValidation::isInstallRoot(current.parent_path()))
        return failure("invalid_install_directory");

    // 5. The pid, while it runs, must be the current bundle.
    if (auto bundle = bundleOfProcess(options_.procRoot, pid);
        bundle && resolved(*bundle) != resolved(current))
        return failure("incorrect_pid");

    // 6. No other instance of the product.
    if (anotherInstanceRunning(options_.procRoot, pid))
        return failure("another_version_running");

    // 7. Signatures: the installed version first, then the candidate.
    if (!CodeSignature::verifyApplication(current))
        return failure("validation_failed");
    verifiedPrevious_ = current;
    if (!CodeSignature::verifyApplication(candidate))
        return failure("validation_failed");

    // 8. The candidate is the product at the announced version.
    const fs::path plist = candidate / "Contents/Info.plist";
    if (plistString(plist, "CFBundleExecutable") != "Zarvo" ||
        plistString(plist, "CFBundleIdentifier") !=
            std::string(ReleaseValidation::bundleIdentifier) ||
        plistString(plist, "CFBundleShortVersionString") != version)
        return failure("incorrect_candidate");

    // 9. Wait for the old process; it is never signalled.
    const auto waitUntil = std::chrono::steady_clock::now() + options_.oldProcessWait;
    while (processExists(pid) && std::chrono::steady_clock::now() < waitUntil)
        sleepFor(options_.poll);
    if (processExists(pid))
        return failure("application_still_running");

    // 10.
    const fs::path destination = current.parent_path() / ("Zarvo " + version + ".app");
    const fs::path marker = supportFolder() / ("update-ready-" + randomUuid());
    struct RemoveMarker {
        fs::path path;
        ~RemoveMarker() {
            std::error_code ignored;
            fs::remove(path, ignored);
        }
    } cleanup{marker};

    // 11-12. The copy gets exactly the signed modes, whatever this process's umask, and is
    // checked again, so nothing changed in the staging folder since step 7 gets installed.
    auto checkCopy = [](const fs::path& copy) {
        return BundleSignature::applySignedModes(copy).ok() &&
               CodeSignature::verifyApplication(copy).ok();
    };
    auto installed = installAlongside(
        candidate, destination, [&] { return launchAndAwaitMarker(destination, marker); },
        checkCopy);
    if (!installed) {
        resultWritten_ = writeResult("restored_previous_version").ok();
        return installed;
    }

    // 13. From here the new version runs and stays: removing it now would leave the user with
    // nothing, as the old one cannot open beside it.
    newVersionKept_ = true;
    registerApplication(destination);
    std::error_code ec;
    fs::remove(stagingRoot() / "pending.json", ec);
    fs::remove_all(candidate.parent_path(), ec);
    if (!writeResult("updated"))
        return failure("result_not_written");
    resultWritten_ = true;
    return Ok{};
}

bool Installer::reopenPrevious() {
    if (newVersionKept_ || !verifiedPrevious_)
        return false;
    // The old version may still be on its way out; opened before it ended, it would be refused
    // as a second instance.
    waitForOldProcess();
    return openApplication(*verifiedPrevious_);
}

void Installer::waitForOldProcess() {
    if (oldPid_ < 2)
        return;
    const auto waitUntil = std::chrono::steady_clock::now() + options_.oldProcessWait;
    while (processExists(oldPid_) && std::chrono::steady_clock::now() < waitUntil)
        sleepFor(options_.poll);
}

Outcome<> Installer::recoverWithoutDeployment(const std::vector<std::string>& arguments) {
    // Without the deployment the signatures cannot be checked, so nothing is installed; the
    // installed version is reopened when it is, by its place, name and identifier, the product.
    auto refuse = [](const char* reason) {
        (void)writeResult(reason);
        return failure(reason);
    };
    if (arguments.size() != 4 || arguments[1].empty() || arguments[1].size() > 10 ||
        arguments[1].find_first_not_of("0123456789") != std::string::npos)
        return failure("invalid_arguments");
    const fs::path current = standardised(arguments[2]);
    auto version = plistString(current / "Contents/Info.plist", "CFBundleShortVersionString");
    const std::string name = current.filename().string();
    if (!version ||
        (name != "Zarvo " + *version + ".app" && name != "澈泽工作台 " + *version + ".app") ||
        !ReleaseValidation::isInstallRoot(current.parent_path()) ||
        plistString(current / "Contents/Info.plist", "CFBundleIdentifier") !=
            std::string(ReleaseValidation::bundleIdentifier))
        return refuse("deployment_unreadable");
    oldPid_ = pid_t(std::stoll(arguments[1]));
    waitForOldProcess();
    (void)writeResult("deployment_unreadable");
    (void)openApplication(current);
    return failure("deployment_unreadable");
}

Outcome<> selfTest() {
    std::string pattern = (fs::temp_directory_path() / "zarvo-update-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        return failure("replacement_failed");
    const fs::path folder = pattern;
    struct RemoveFolder {
        fs::path path;
        ~RemoveFolder() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    } cleanup{folder};
    const fs::path old = folder / "old.app", candidate = folder / "candidate.app",
                   next = folder / "next.app";
    fs::create_directories(old);
    fs::create_directories(candidate);
    auto read = [](const fs::path& file) { return readFile(file).value_or(""); };
    if (!writeFileAtomically(old / "version", "old") ||
        !writeFileAtomically(candidate / "version", "new"))
        return failure("replacement_failed");

    auto rolledBack = installAlongside(candidate, next, [] { return false; });
    if (rolledBack)
        return failure("rollback_did_not_fail");
    if (rolledBack.error().reason != "launch_not_ready" || fs::exists(next) ||
        read(old / "version") != "old")
        return failure("rollback_lost_previous");

    auto kept = installAlongside(candidate, next, [] { return true; });
    if (!kept || read(next / "version") != "new" || read(old / "version") != "old")
        return failure("replacement_failed");

    auto again = installAlongside(candidate, next, [] { return true; });
    if (again || again.error().reason != "destination_exists" || read(next / "version") != "new")
        return failure("overwrote_existing");
    return Ok{};
}

} // namespace zarvo::updater
