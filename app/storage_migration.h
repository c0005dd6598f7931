// First start after the workbench was renamed: the new storage folder becomes a symbolic link to
// the old one, so the user's files stay where they are and nothing is copied or moved.
#pragma once

#include "foundation/result.h"

#include <filesystem>

namespace zarvo {

// Links `current` to `legacy` when only `legacy` exists; does nothing when `current` exists (also
// through a link). A link at `current` that leads nowhere is an error and is left as it is.
Status<> migrateStorage(const std::filesystem::path& current, const std::filesystem::path& legacy);

} // namespace zarvo
