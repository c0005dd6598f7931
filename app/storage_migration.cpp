#include "app/storage_migration.h"

#include <cerrno>

namespace zarvo {

Status<> migrateStorage(const std::filesystem::path& current, const std::filesystem::path& legacy) {
    std::error_code ec;
    // Existence is checked through a link: a folder reached through one is in place.
    if (std::filesystem::exists(current, ec))
        return Ok{};
    // A link that leads nowhere is a data folder that cannot be written; it is not replaced, as
    // its target may be a disk that is merely not mounted yet.
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(current, ec)))
        return unexpected(Error{"the storage folder is a dangling link", ENOENT});
    if (!std::filesystem::is_directory(legacy, ec))
        return Ok{};
    std::filesystem::create_directory_symlink(legacy, current, ec);
    if (ec)
        return unexpected(Error{ec.message(), ec.value()});
    return Ok{};
}

} // namespace zarvo
