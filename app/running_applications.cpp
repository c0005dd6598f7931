#include "app/running_applications.h"

#include "foundation/atomic_file.h"

#include <regex>
#include <sys/stat.h>

namespace zarvo {

namespace {

std::optional<std::string> plistString(const std::string& text, const std::string& key) {
    const std::regex pattern("<key>\\s*" + key +
                             "\\s*</key>\\s*<string>\\s*([^<]*?)\\s*</string>");
    std::smatch match;
    if (!std::regex_search(text, match, pattern))
        return std::nullopt;
    return match[1].str();
}

} // namespace

std::optional<std::string> bundleIdentifierFromPlist(const std::filesystem::path& plist) {
    auto text = readFile(plist);
    return text ? plistString(*text, "CFBundleIdentifier") : std::nullopt;
}

std::optional<std::string> bundleIdentifierOfExecutable(const std::filesystem::path& executable) {
    auto macos = executable.parent_path();
    auto contents = macos.parent_path();
    auto bundle = contents.parent_path();
    if (macos.filename() != "MacOS" || contents.filename() != "Contents" ||
        bundle.extension() != ".app")
        return std::nullopt;
    auto text = readFile(contents / "Info.plist");
    if (!text)
        return std::nullopt;
    // Only the bundle's main executable is the application; its helpers (pixelfeed) are not.
    auto main = plistString(*text, "CFBundleExecutable");
    if (main && *main != executable.filename().string())
        return std::nullopt;
    return plistString(*text, "CFBundleIdentifier");
}

std::vector<RunningApplication> listRunningApplications(const std::filesystem::path& procRoot,
                                                        uid_t uid) {
    std::vector<RunningApplication> applications;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(procRoot, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        struct stat info {};
        if (::stat(entry.path().c_str(), &info) != 0 || info.st_uid != uid)
            continue;
        std::error_code linkError;
        auto executable = std::filesystem::read_symlink(entry.path() / "exe", linkError);
        if (linkError)
            continue;
        // A replaced executable reads as "<path> (deleted)"; it is still the same program.
        std::string text = executable.string();
        if (const std::string suffix = " (deleted)";
            text.size() > suffix.size() && text.ends_with(suffix))
            executable = text.substr(0, text.size() - suffix.size());
        auto identifier = bundleIdentifierOfExecutable(executable);
        if (!identifier && executable.filename() != "Zarvo")
            continue;
        applications.push_back({static_cast<pid_t>(std::stol(name)), executable, identifier});
    }
    return applications;
}

bool hasConflictingInstance(const std::vector<RunningApplication>& applications, pid_t self,
                            const std::optional<std::string>& ownIdentifier) {
    for (const auto& application : applications)
        if (application.pid != self && application.bundleIdentifier == ownIdentifier)
            return true;
    return false;
}

} // namespace zarvo
