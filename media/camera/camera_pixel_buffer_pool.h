// A bounded pool of pipeline frame buffers. A buffer goes back to the pool when its last reference
// is dropped, wherever that happens; past the threshold the pool refuses, so frames in flight (and
// their memory) stay bounded when consumers fall behind.
#pragma once

#include "media/pixel_buffer.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace zarvo {

class PixelBufferPool {
public:
    PixelBufferPool(int width, int height, size_t threshold);

    // A buffer of the pool's size, or none while `threshold` buffers are outstanding.
    PixelBufferPtr take();
    size_t outstanding() const;
    int width() const { return width_; }
    int height() const { return height_; }

private:
    // Shared with the buffers handed out, so a buffer may outlive the pool.
    struct Shared {
        std::mutex mutex;
        std::vector<std::unique_ptr<PixelBuffer>> idle;
        size_t outstanding = 0;
    };

    int width_;
    int height_;
    size_t threshold_;
    std::shared_ptr<Shared> shared_;
};

} // namespace zarvo
