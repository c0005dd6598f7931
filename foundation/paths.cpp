#include "foundation/paths.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace zarvo {
namespace {

std::filesystem::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir)
        return entry->pw_dir;
    return "/tmp";
}

// XDG says a relative value is invalid and must be ignored.
std::filesystem::path xdgDirectory(const char* variable, const char* fallback) {
    if (const char* value = std::getenv(variable); value && value[0] == '/')
        return value;
    return homeDirectory() / fallback;
}

} // namespace

std::filesystem::path applicationSupportDirectory() {
    return xdgDirectory("XDG_DATA_HOME", ".local/share");
}
std::filesystem::path configDirectory() {
    return xdgDirectory("XDG_CONFIG_HOME", ".config") / "Zarvo";
}
std::filesystem::path storageDirectory() { return applicationSupportDirectory() / "Zarvo"; }
std::filesystem::path legacyStorageDirectory() {
    return applicationSupportDirectory() / "MorvexWorkbench";
}
std::filesystem::path diagnosticsDirectory() {
    return applicationSupportDirectory() / "ZarvoDiagnostics";
}
std::filesystem::path userDefaultsFile() { return configDirectory() / "defaults.json"; }

} // namespace zarvo
