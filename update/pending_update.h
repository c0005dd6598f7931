// The staged update record "Updates/pending.json": the release and the path of its verified,
// unpacked bundle. Written atomically on every successful staging; ZarvoUpdater deletes it
// after a successful installation.
#pragma once

#include "foundation/result.h"
#include "update/client_release.h"

#include <filesystem>
#include <optional>
#include <string>

namespace zarvo {

struct PendingUpdate {
    ClientRelease release;
    std::filesystem::path app;

    Json toJson() const;
    // Both keys are required; a body over 65,535 bytes is refused unread.
    static std::optional<PendingUpdate> read(const std::filesystem::path& file);
    Status<> write(const std::filesystem::path& file) const;
};

} // namespace zarvo
