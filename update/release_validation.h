// The rules by which a release manifest, a package URL, a downloaded package and its archive
// listing are accepted. Zarvo and ZarvoUpdater both judge a release with these functions. Pure
// apart from reading the host table of the deployment in use.
#pragma once

#include "update/client_release.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/time.h"

namespace zarvo::ReleaseValidation {

inline constexpr std::string_view downloadPath = "/downloads/workbench/zarvo/linux/";
inline constexpr std::string_view packagePrefix = "Zarvo-";
inline constexpr std::string_view packageSuffix = "-linux-x64.zip";
inline constexpr std::string_view platform = "linux";
inline constexpr std::string_view architecture = "x86_64";
inline constexpr std::string_view bundleIdentifier = "cn.zarvo.morvex.workbench";
inline constexpr int64_t maximumPackageSize = 250'000'000;
inline constexpr size_t maximumManifestSize = 65'535;
inline constexpr size_t maximumNotesSize = 24'000;
inline constexpr size_t maximumLinkTarget = 511;

// "Zarvo-" + version + "-linux-x64.zip".
std::string packageName(const std::string& version);
// The host of the download origin; a download origin without a host stops the process.
std::string mirrorHost();

std::optional<std::vector<int>> components(std::string_view version);
bool newer(std::string_view candidate, std::string_view current);
// Exactly 64 hexadecimal digits, either case.
bool sha256Text(std::string_view text);
bool trustedURL(const std::string& url);
bool trusted(const ClientRelease& release);
std::optional<WallTime> date(const std::string& text);
std::string digest(std::string_view data);
bool packageMatches(std::string_view data, const ClientRelease& release);
// The plain listing (`bsdtar -tf`): every member inside the bundle, no absolute or parent paths.
bool archivePaths(const std::string& listing, const std::string& bundleName);
// The long listing (`bsdtar -tvf`): every symbolic link lies in the bundle and points inside it.
bool archiveLinks(const std::string& verboseListing, const std::string& bundleName);
bool installAllowed(bool busy, bool checking, bool downloading, bool installing, bool ready);

// "/Applications" and the user's home + "Applications": the only folders an update installs into.
std::vector<std::filesystem::path> installRoots();
bool isInstallRoot(const std::filesystem::path& folder);

} // namespace zarvo::ReleaseValidation
