#include "app/running_applications.h"

#include "foundation/atomic_file.h"
#include "foundation/plist_text.h"

#include <cctype>
#include <sys/stat.h>

namespace zarvo {

namespace {

// The text of the <string> right after the key, without white space at either end.
std::optional<std::string> plistString(const std::string& text, const std::string& key) {
    auto element = plistElementAfterKey(text, key);
    if (!element || element->name != "string" || element->empty ||
        !element->rest.starts_with("</string>"))
        return std::nullopt;
    std::string_view value = element->text;
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.front())))
        value.remove_prefix(1);
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())))
        value.remove_suffix(1);
    return std::string(value);
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
