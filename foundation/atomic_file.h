// Whole-file writes that never leave a half-written file: a temporary file in the same folder is
// written, flushed and renamed over the target. A failure leaves the old file as it was.
#pragma once

#include "foundation/result.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace zarvo {

// Creates missing parent folders. The error's message is a plain description for reports.
Status<> writeFileAtomically(const std::filesystem::path& path, std::string_view contents);
std::optional<std::string> readFile(const std::filesystem::path& path);

} // namespace zarvo
