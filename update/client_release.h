// The release record published as "latest.json": what version exists, where its package lies, and
// how to recognise the package once it is on disk.
#pragma once

#include "foundation/json.h"

#include <cstdint>
#include <optional>
#include <string>

namespace zarvo {

struct ClientRelease {
    std::string version;
    std::string url;
    std::string sha256;
    std::string notes;
    std::string architecture;
    std::string platform;
    int64_t size = 0;
    std::string publishedAt; // "published_at"

    // The application bundle inside the package and the name it is staged and installed under.
    std::string bundleName() const { return "Zarvo " + version + ".app"; }

    // All eight keys are required with their JSON types; unknown keys are ignored.
    static std::optional<ClientRelease> fromJson(const Json& json);
    Json toJson() const;
    bool operator==(const ClientRelease&) const = default;
};

} // namespace zarvo
