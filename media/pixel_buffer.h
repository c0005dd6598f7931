// A mutable BGRA frame buffer, handed out by a bounded pool and returned to it when the last
// reference is dropped.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace zarvo {

struct PixelBuffer {
    int width = 0;
    int height = 0;
    int stride = 0; // bytes per row
    std::vector<uint8_t> bytes;

    uint8_t* data() { return bytes.data(); }
    const uint8_t* data() const { return bytes.data(); }
};

using PixelBufferPtr = std::shared_ptr<PixelBuffer>;

} // namespace zarvo
