// The desktop's application registry: a launcher entry in $XDG_DATA_HOME/applications that points
// at the installed bundle, refreshed after an update. Failures are ignored by the caller.
#pragma once

#include <filesystem>

namespace zarvo::updater {

bool registerApplication(const std::filesystem::path& app);

} // namespace zarvo::updater
