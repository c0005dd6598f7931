// CameraInput: captures one camera for the RTC link. Frames arrive on the serial queue
// "zarvo.camera.input", are rate-limited on their presentation times, normalised into pipeline
// frames from a bounded pool and handed to `onFrame`. One instance serves one join; it is always
// owned by a shared_ptr, because work queued for it keeps it alive until that work has run.
#pragma once

#include "foundation/owned.h"
#include "foundation/result.h"
#include "foundation/serial_queue.h"
#include "media/camera/camera_devices.h"
#include "media/camera/camera_pixel_buffer_pool.h"
#include "media/pixel_buffer.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

typedef struct _GstElement GstElement;

namespace zarvo {

struct CameraSampleSignal;

// The process's one camera queue; it lives as long as the process.
std::shared_ptr<SerialQueue> cameraInputQueue();

// The capture mode to ask a device for: the largest size up to 1280 × 720 that reaches 25 to 30
// frames a second, raw when raw gets there and JPEG (decoded) when only JPEG does, as with most
// USB webcams; without such a mode, the fastest one. Empty caps leave the device's choice.
struct CapturePreset {
    std::string caps; // caps for the source's output, or empty
    bool decodesJpeg = false;
    bool usable = true; // false: the device offers neither raw nor JPEG video
    bool operator==(const CapturePreset&) const = default;
};

class CameraInput : public std::enable_shared_from_this<CameraInput> {
public:
    using FrameConsumer = std::function<void(const PixelBufferPtr& frame, int64_t timestampMs)>;
    using DeviceLister = std::function<std::vector<CameraDevice>()>;

    // Slightly under 1/30 s, so a 30 fps camera keeps every frame.
    static constexpr double kMinimumFrameInterval = 0.03233333333333333;
    static constexpr size_t kPoolThreshold = 8;

    // The capture size for a device with these caps; the local preview chooses with it too.
    static CapturePreset configurePreset(const std::string& deviceCaps);

    explicit CameraInput(DeviceLister devices = captureDevices,
                         std::shared_ptr<SerialQueue> queue = cameraInputQueue());
    virtual ~CameraInput();
    CameraInput(const CameraInput&) = delete;
    CameraInput& operator=(const CameraInput&) = delete;

    // Builds the capture for the device with exactly this unique id. Errors: code 1 unknown
    // device (nothing is built), 2 the device cannot be opened, 3 no video output, 4 no buffers.
    virtual Status<> prepare(const std::string& deviceID);
    Status<> prepareBuffers();
    // Both only enqueue work on the queue and return at once.
    virtual void start();
    // Stops capturing, clears `onFrame`, then calls completion on the queue: no frame reaches the
    // consumer after that.
    virtual void stop(std::function<void()> completion);

    // Set before start(); read and cleared on the queue.
    FrameConsumer onFrame;
    // Set before start(): the capture broke while running (the device went away, a streaming
    // error). Called on a streaming thread, at most once.
    std::function<void(const Error&)> onError;

    SerialQueue& queue() { return *queue_; }
    // One captured BGRA frame with its presentation time in seconds; on the queue.
    void handleFrame(const uint8_t* pixels, int width, int height, int stride, double timestamp);
    // Normalises a source frame into a pool buffer; none without a pool or when it is exhausted.
    PixelBufferPtr normalise(const uint8_t* pixels, int width, int height, int stride);
    PixelBufferPool* pool() { return pool_.get(); }
    bool isPrepared() const { return bool(pipeline_); }

protected:
    std::shared_ptr<SerialQueue> queue_;

private:
    void drainSamples();
    void releasePipeline();

    DeviceLister devices_;
    std::unique_ptr<PixelBufferPool> pool_;
    double lastTimestamp_ = -std::numeric_limits<double>::infinity();
    GRef<GstElement> pipeline_;
    GstElement* sink_ = nullptr;
    std::atomic<bool> drainScheduled_{false};
    std::atomic<bool> errorReported_{false};
    std::unique_ptr<CameraSampleSignal> signal_;
};

} // namespace zarvo
