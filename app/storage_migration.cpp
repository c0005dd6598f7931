#include "app/storage_migration.h"

namespace zarvo {

Status<> migrateStorage(const std::filesystem::path& current, const std::filesystem::path& legacy) {
    std::error_code ec;
    // symlink_status: a dangling link at `current` still counts as present and is left alone.
    if (std::filesystem::exists(std::filesystem::symlink_status(current, ec)))
        return Ok{};
    if (!std::filesystem::is_directory(legacy, ec))
        return Ok{};
    std::filesystem::create_directory_symlink(legacy, current, ec);
    if (ec)
        return unexpected(Error{ec.message(), ec.value()});
    return Ok{};
}

} // namespace zarvo
