// Reference images arrive as "data:image/jpeg;base64,…" texts; the service takes only what really
// decodes as a JPEG, so a session never starts with an image the AI participant cannot use.
#pragma once

#include "foundation/result.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace zarvo::devservice {

// The JPEG bytes of a data URL, or an error whose message says what is wrong with it.
Result<std::string> decodeJpegDataUrl(std::string_view url, size_t maxBytes);

} // namespace zarvo::devservice
