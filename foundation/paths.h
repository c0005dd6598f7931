// Where per-user files live (XDG base directories).
#pragma once

#include <filesystem>

namespace zarvo {

// $XDG_DATA_HOME, else ~/.local/share: the user's application-support folder.
std::filesystem::path applicationSupportDirectory();
// $XDG_CONFIG_HOME/Zarvo, else ~/.config/Zarvo: the user-defaults file and the credential.
std::filesystem::path configDirectory();
// "Zarvo": presets, references, updates.
std::filesystem::path storageDirectory();
// "MorvexWorkbench": the older workbench's folder, linked from storageDirectory() on first start.
std::filesystem::path legacyStorageDirectory();
// "ZarvoDiagnostics": the small JSON reports that replace a log.
std::filesystem::path diagnosticsDirectory();
std::filesystem::path userDefaultsFile();

} // namespace zarvo
