// The AI participant's picture edits: deterministic, visibly different per editing mode, using the
// session's reference image. Pure functions over BGRA pixels, so they are tested without video.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zarvo::devservice {

enum class EditMode { SubjectReplacement, VirtualTryOn, BackgroundReplacement, StyleTransfer };

// "subject_replacement", "virtual_tryon", "background_replacement", "style_transfer".
std::optional<EditMode> editModeFromType(const std::string& editingType);

// The reference image decoded and cover-fitted (scaled to fill, centre cropped) to one frame size,
// with its per-channel colour statistics.
struct EditReference {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> bgra; // width × 4 bytes a row
    std::array<double, 3> mean{};
    std::array<double, 3> deviation{};
};

// Decodes JPEG (or any format gdk-pixbuf reads) bytes; none when they do not decode.
std::shared_ptr<const EditReference> makeEditReference(const std::string& imageBytes, int width,
                                                       int height);
// The same from BGRA pixels already in memory (tests, rescaling for another frame size).
std::shared_ptr<const EditReference> makeEditReference(const uint8_t* bgra, int width, int height,
                                                       int stride);

// Writes the edited frame (width × 4 bytes a row) into `out`. The camera frame and the reference
// must have the same size.
void applyEdit(EditMode mode, const EditReference& reference, const uint8_t* camera, int stride,
               uint8_t* out);

} // namespace zarvo::devservice
