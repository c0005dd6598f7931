// First start after the workbench was renamed: the new storage folder becomes a symbolic link to
// the old one, so the user's files stay where they are and nothing is copied or moved.
#pragma once

#include "foundation/result.h"

#include <filesystem>

namespace zarvo {

// Links `current` to `legacy` when only `legacy` exists; does nothing otherwise.
Status<> migrateStorage(const std::filesystem::path& current, const std::filesystem::path& legacy);

} // namespace zarvo
