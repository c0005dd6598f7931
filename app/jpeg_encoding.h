// Re-encoding of reference images for the service: any image format gdk-pixbuf decodes, out as
// baseline JPEG. Thread-safe; used on the main thread for a start and on a worker for a switch.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zarvo {

// `factor` is the compression factor 0..1; the JPEG quality is factor × 100. None when the bytes
// do not decode as an image or the encoder fails.
std::optional<std::string> reencodeAsJpeg(std::string_view image, double factor);

} // namespace zarvo
