#include "media/picture.h"

#include <cstring>

namespace zarvo {

std::shared_ptr<const Picture> Picture::copyBGRA(int width, int height, int stride,
                                                 const uint8_t* data) {
    if (width <= 0 || height <= 0 || stride < width * 4 || !data)
        return nullptr;
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * 4 * static_cast<size_t>(height));
    for (int row = 0; row < height; ++row)
        std::memcpy(pixels.data() + static_cast<size_t>(row) * width * 4,
                    data + static_cast<size_t>(row) * stride, static_cast<size_t>(width) * 4);
    return std::shared_ptr<const Picture>(new Picture(width, height, std::move(pixels)));
}

std::shared_ptr<const Picture> Picture::adoptBGRA(int width, int height,
                                                  std::vector<uint8_t> pixels) {
    if (width <= 0 || height <= 0 ||
        pixels.size() != static_cast<size_t>(width) * 4 * static_cast<size_t>(height))
        return nullptr;
    return std::shared_ptr<const Picture>(new Picture(width, height, std::move(pixels)));
}

} // namespace zarvo
