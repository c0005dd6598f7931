// Small text and identity helpers used across the client.
#pragma once

#include "foundation/time.h"

#include <optional>
#include <string>
#include <string_view>

namespace zarvo {

std::string base64Encode(std::string_view bytes);
// Standard alphabet with padding; none for text that is not valid base64.
std::optional<std::string> base64Decode(std::string_view text);
std::string sha256Hex(std::string_view bytes);
// A random (version 4) UUID in canonical upper-case text.
std::string randomUuid();
// `digits` lower-case hex digits from the kernel's cryptographic random source (4 bits each): for
// secrets such as tokens and session ids.
std::string secureRandomHex(size_t digits);
// Equality whose time does not depend on where the texts differ, for comparing secrets.
bool constantTimeEquals(std::string_view a, std::string_view b);
// "2026-12-08T14:46:04Z" style, UTC, with fractional seconds when `fraction` is set.
std::string formatIso8601(WallTime time, bool fraction = false);
std::optional<WallTime> parseIso8601(const std::string& text);

} // namespace zarvo
