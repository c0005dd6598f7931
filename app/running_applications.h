// The running-application list: the current user's processes that are applications, either
// because their executable lies in a "<name>.app/Contents/MacOS/" bundle (identified by the
// bundle's Info.plist) or because the executable is named "Zarvo" (a build-tree run, which has no
// bundle and so no identifier).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zarvo {

struct RunningApplication {
    pid_t pid = 0;
    std::filesystem::path executable;
    std::optional<std::string> bundleIdentifier;
};

// Reads `CFBundleIdentifier` from an XML property list; none when absent or unreadable.
std::optional<std::string> bundleIdentifierFromPlist(const std::filesystem::path& plist);
// The identifier of the bundle an executable belongs to, none outside a bundle.
std::optional<std::string> bundleIdentifierOfExecutable(const std::filesystem::path& executable);
// Scans `procRoot` (normally /proc) for processes of user `uid`.
std::vector<RunningApplication> listRunningApplications(const std::filesystem::path& procRoot,
                                                        uid_t uid);

// Another instance is any listed application with a different pid whose identifier equals ours;
// two missing identifiers count as equal.
bool hasConflictingInstance(const std::vector<RunningApplication>& applications, pid_t self,
                            const std::optional<std::string>& ownIdentifier);

} // namespace zarvo
