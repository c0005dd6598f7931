// The pipeline frame: 1280 × 720 BGRA, the camera picture aspect-fitted and centred on black.
#pragma once

#include "media/pixel_buffer.h"

#include <cstdint>

namespace zarvo {

inline constexpr int kPipelineFrameWidth = 1280;
inline constexpr int kPipelineFrameHeight = 720;

struct FrameRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const FrameRect&) const = default;
};

// Where a source of the given size lands in the pipeline frame: scaled by
// min(1280 / w, 720 / h) and centred; empty when either side is not positive.
FrameRect fittedFrameRect(int sourceWidth, int sourceHeight);

// Scales a BGRA source into `target` (a pipeline-sized buffer) at its fitted rectangle and paints
// everything else opaque black. Never crops or stretches. A source without a size gives black;
// false when the pixels are missing or the target is not a pipeline buffer.
bool normalizeFrame(const uint8_t* source, int sourceWidth, int sourceHeight, int sourceStride,
                    PixelBuffer& target);

} // namespace zarvo
