#include "update/pending_update.h"

#include "foundation/atomic_file.h"
#include "update/release_validation.h"

#include <system_error>

namespace zarvo {

Json PendingUpdate::toJson() const {
    return Json{{"release", release.toJson()}, {"app", app.string()}};
}

std::optional<PendingUpdate> PendingUpdate::read(const std::filesystem::path& file) {
    std::error_code ec;
    auto size = std::filesystem::file_size(file, ec);
    if (ec || size > ReleaseValidation::maximumManifestSize)
        return std::nullopt;
    auto text = readFile(file);
    auto json = text ? parseJsonObject(*text) : std::nullopt;
    if (!json)
        return std::nullopt;
    const Json* release = jsonMember(*json, "release");
    auto app = jsonString(*json, "app");
    auto decoded = release ? ClientRelease::fromJson(*release) : std::nullopt;
    if (!decoded || !app)
        return std::nullopt;
    return PendingUpdate{*decoded, *app};
}

Status<> PendingUpdate::write(const std::filesystem::path& file) const {
    return writeFileAtomically(file, toJson().dump(2) + "\n");
}

} // namespace zarvo
