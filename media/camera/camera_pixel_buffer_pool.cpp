#include "media/camera/camera_pixel_buffer_pool.h"

namespace zarvo {

PixelBufferPool::PixelBufferPool(int width, int height, size_t threshold)
    : width_(width), height_(height), threshold_(threshold), shared_(std::make_shared<Shared>()) {}

PixelBufferPtr PixelBufferPool::take() {
    std::unique_ptr<PixelBuffer> buffer;
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->outstanding >= threshold_)
            return nullptr;
        ++shared_->outstanding;
        if (!shared_->idle.empty()) {
            buffer = std::move(shared_->idle.back());
            shared_->idle.pop_back();
        }
    }
    if (!buffer) {
        buffer = std::make_unique<PixelBuffer>();
        buffer->width = width_;
        buffer->height = height_;
        buffer->stride = width_ * 4;
        buffer->bytes.resize(static_cast<size_t>(buffer->stride) * static_cast<size_t>(height_));
    }
    return PixelBufferPtr(buffer.release(), [shared = shared_](PixelBuffer* returned) {
        std::lock_guard lock(shared->mutex);
        --shared->outstanding;
        shared->idle.emplace_back(returned);
    });
}

size_t PixelBufferPool::outstanding() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->outstanding;
}

} // namespace zarvo
