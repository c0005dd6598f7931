// Reference images arrive as "data:image/jpeg;base64,…" texts; the service takes only what really
// decodes as a JPEG, so a session never starts with an image the AI participant cannot use.
#pragma once

#include "foundation/result.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zarvo::devservice {

// Decoding needs width × height × 4 bytes whatever the file's size, so larger pictures are refused
// from their header before any decoding: 4096 × 4096 pixels.
inline constexpr int64_t kMaxImagePixels = int64_t(4096) * 4096;

struct JpegSize {
    int width = 0;
    int height = 0;
};
// The picture size from the first frame header; none when the bytes end before one.
std::optional<JpegSize> jpegSize(std::string_view bytes);

// The JPEG bytes of a data URL, or an error whose message (Chinese, for the client to show) says
// what is wrong with it.
Result<std::string> decodeJpegDataURL(std::string_view url, size_t maxBytes);

} // namespace zarvo::devservice
