// Whole-file writes that never leave a half-written file: a temporary file in the same folder is
// written, flushed and renamed over the target. A failure leaves the old file as it was.
#pragma once

#include "foundation/result.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace zarvo {

// Creates missing parent folders. The file has `mode` from its creation on (0600 for anything
// holding a secret: it is never readable by others, not even for a moment), and the folder is
// flushed after the rename so the new name survives a crash. The error's message is a plain
// description for reports.
Status<> writeFileAtomically(const std::filesystem::path& path, std::string_view contents,
                             mode_t mode = 0644);
std::optional<std::string> readFile(const std::filesystem::path& path);

} // namespace zarvo
