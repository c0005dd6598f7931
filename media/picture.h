// A decoded, immutable 32-bit BGRA bitmap (memory order B, G, R, A; alpha premultiplied), shared
// between threads by reference.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace zarvo {

class Picture {
public:
    // Copies `height` rows of `width` × 4 bytes from `data`, whose rows are `stride` bytes apart.
    static std::shared_ptr<const Picture> copyBGRA(int width, int height, int stride,
                                                   const uint8_t* data);
    // Takes tightly packed BGRA pixels (width × 4 bytes a row).
    static std::shared_ptr<const Picture> adoptBGRA(int width, int height,
                                                    std::vector<uint8_t> pixels);

    int width() const { return width_; }
    int height() const { return height_; }
    int stride() const { return width_ * 4; }
    const uint8_t* data() const { return pixels_.data(); }
    size_t byteCount() const { return pixels_.size(); }

private:
    Picture(int width, int height, std::vector<uint8_t> pixels)
        : width_(width), height_(height), pixels_(std::move(pixels)) {}

    int width_;
    int height_;
    std::vector<uint8_t> pixels_;
};

using PicturePtr = std::shared_ptr<const Picture>;

} // namespace zarvo
