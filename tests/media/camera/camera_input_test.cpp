#include "media/camera/camera_input.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace zarvo {
namespace {

std::vector<uint8_t> grey(int width, int height) {
    return std::vector<uint8_t>(size_t(width) * height * 4, 0x80);
}

// A capture that was given buffers but no device: frames are fed by hand through handleFrame.
std::shared_ptr<CameraInput> handFedInput() {
    auto input = std::make_shared<CameraInput>([] { return std::vector<CameraDevice>{}; });
    EXPECT_TRUE(input->prepareBuffers().ok());
    return input;
}

TEST(CameraInputFrames, RateLimitDropsFramesCloserThanTheMinimumInterval) {
    auto input = handFedInput();
    std::vector<int64_t> kept;
    input->onFrame = [&](const PixelBufferPtr& frame, int64_t ms) {
        EXPECT_EQ(frame->width, 1280);
        EXPECT_EQ(frame->height, 720);
        kept.push_back(ms);
    };
    auto pixels = grey(640, 480);
    auto feed = [&](double t) { input->handleFrame(pixels.data(), 640, 480, 640 * 4, t); };

    feed(10.0);
    feed(10.02); // 0.02 s after the last kept frame
    feed(std::nan(""));
    feed(INFINITY);
    feed(10.04); // 0.04 s after 10.0: kept, the dropped frame does not move the reference
    EXPECT_EQ(kept, (std::vector<int64_t>{10000, 10040}));

    kept.clear();
    for (int k = 1; k <= 30; ++k)
        feed(11.0 + k / 30.0); // a 30 fps camera keeps every frame
    EXPECT_EQ(kept.size(), 30u);
    EXPECT_EQ(kept.front(), 11033); // truncated, not rounded
}

TEST(CameraInputFrames, ExhaustedPoolDropsFramesUntilABufferComesBack) {
    auto input = handFedInput();
    std::vector<PixelBufferPtr> held; // a consumer that has fallen behind
    int calls = 0;
    input->onFrame = [&](const PixelBufferPtr& frame, int64_t) {
        ++calls;
        held.push_back(frame);
    };
    auto pixels = grey(1920, 1080);
    double t = 0;
    for (int i = 0; i < 12; ++i)
        input->handleFrame(pixels.data(), 1920, 1080, 1920 * 4, t += 0.04);
    EXPECT_EQ(calls, 8);
    held.erase(held.begin());
    input->handleFrame(pixels.data(), 1920, 1080, 1920 * 4, t += 0.04);
    EXPECT_EQ(calls, 9);
}

TEST(CameraInputFrames, NothingIsNormalisedWithoutBuffers) {
    CameraInput input([] { return std::vector<CameraDevice>{}; });
    auto pixels = grey(64, 64);
    EXPECT_EQ(input.normalise(pixels.data(), 64, 64, 256), nullptr);
}

TEST(CameraInputPrepare, UnknownDeviceFailsWithCodeOneAndBuildsNothing) {
    int sourcesMade = 0;
    CameraDevice demo = demoCameraDevice();
    auto make = demo.makeSource;
    demo.makeSource = [&, make] {
        ++sourcesMade;
        return make();
    };
    auto input = std::make_shared<CameraInput>([&] { return std::vector<CameraDevice>{demo}; });
    auto prepared = input->prepare("usb-missing");
    ASSERT_FALSE(prepared.ok());
    EXPECT_EQ(prepared.error(), (Error{"摄像头不可用，请重新选择", 1}));
    EXPECT_EQ(sourcesMade, 0);
    EXPECT_FALSE(input->isPrepared());
    EXPECT_EQ(input->pool(), nullptr);
    // The id must match exactly.
    EXPECT_FALSE(input->prepare("ZARVO-DEMO-CAMERA").ok());
}

TEST(CameraInputPrepare, ASourceThatCannotBeMadeCannotBeOpened) {
    CameraDevice broken{"v4l2:usb-1", "Broken", "", [] { return (GstElement*)nullptr; }, ""};
    auto input = std::make_shared<CameraInput>([&] { return std::vector<CameraDevice>{broken}; });
    auto prepared = input->prepare("v4l2:usb-1");
    ASSERT_FALSE(prepared.ok());
    EXPECT_EQ(prepared.error(), (Error{"无法打开摄像头", 2}));
}

// Captures the synthetic camera for real: frames arrive normalised on the camera queue, and once
// the stop's completion has run the consumer hears nothing more.
TEST(CameraInputCapture, SyntheticCameraDeliversPipelineFramesUntilStopped) {
    auto input =
        std::make_shared<CameraInput>([] { return std::vector<CameraDevice>{demoCameraDevice()}; });
    ASSERT_TRUE(input->prepare(kDemoCameraUniqueID).ok());

    std::mutex mutex;
    std::condition_variable changed;
    int frames = 0;
    bool onQueue = true;
    bool stopped = false;
    int framesAfterStop = 0;
    int64_t lastMs = -1;
    bool increasing = true;
    input->onFrame = [&](const PixelBufferPtr& frame, int64_t ms) {
        std::lock_guard lock(mutex);
        onQueue = onQueue && input->queue().isCurrent();
        increasing = increasing && ms > lastMs && frame->width == 1280 && frame->height == 720;
        lastMs = ms;
        ++frames;
        if (stopped)
            ++framesAfterStop;
        changed.notify_all();
    };
    input->start();
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(20), [&] { return frames >= 5; }));
    }
    input->stop([&] {
        std::lock_guard lock(mutex);
        stopped = true;
        changed.notify_all();
    });
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(20), [&] { return stopped; }));
    }
    input->queue().sync([] {}); // anything the sink queued before the stop has now run
    std::lock_guard lock(mutex);
    EXPECT_TRUE(onQueue);
    EXPECT_TRUE(increasing);
    EXPECT_EQ(framesAfterStop, 0);
    EXPECT_FALSE(input->onFrame);
}

TEST(CaptureModeChoice, TheLargestModeThatKeepsUpWithinHdRawWhenRawKeepsUp) {
    // The usual USB webcam: raw HD crawls at 10 fps, only JPEG keeps up at that size.
    EXPECT_EQ(CameraInput::configurePreset(
                  "video/x-raw, format=YUY2, width=1280, height=720, framerate=10/1; "
                  "video/x-raw, format=YUY2, width=640, height=480, framerate={ 30/1, 15/1 }; "
                  "image/jpeg, width=1280, height=720, framerate={ 30/1, 15/1 }"),
              (CapturePreset{"image/jpeg,width=1280,height=720,framerate=30/1", true}));
    // Raw at full rate needs no decoding.
    EXPECT_EQ(CameraInput::configurePreset(
                  "image/jpeg, width=1280, height=720, framerate=30/1; "
                  "video/x-raw, format=YUY2, width=1280, height=720, framerate=[ 1/1, 60/1 ]"),
              (CapturePreset{"video/x-raw,width=1280,height=720,framerate=30/1", false}));
    // Larger than HD is not wanted while a smaller mode keeps up; 25 fps is enough.
    EXPECT_EQ(CameraInput::configurePreset("video/x-raw, width=1920, height=1080, framerate=30/1; "
                                           "video/x-raw, width=960, height=540, framerate=25/1; "
                                           "video/x-raw, width=1280, height=720, framerate=15/1"),
              (CapturePreset{"video/x-raw,width=960,height=540,framerate=25/1", false}));
    // Nothing keeps up: the fastest mode.
    EXPECT_EQ(CameraInput::configurePreset("video/x-raw, width=1280, height=720, framerate=5/1; "
                                           "video/x-raw, width=640, height=480, framerate=15/1"),
              (CapturePreset{"video/x-raw,width=640,height=480,framerate=15/1", false}));
}

TEST(CaptureModeChoice, ACameraWithoutRawOrJpegVideoCannotBeOpened) {
    const std::string h264Only = "video/x-h264, width=1280, height=720, framerate=30/1";
    EXPECT_FALSE(CameraInput::configurePreset(h264Only).usable);
    CameraDevice device;
    device.uniqueID = "v4l2:usb-h264";
    device.caps = h264Only;
    device.makeSource = [] { return gst_element_factory_make("videotestsrc", nullptr); };
    auto input =
        std::make_shared<CameraInput>([device] { return std::vector<CameraDevice>{device}; });
    auto prepared = input->prepare("v4l2:usb-h264");
    ASSERT_FALSE(prepared);
    EXPECT_EQ(prepared.error().message, "无法打开摄像头");
    EXPECT_EQ(prepared.error().code, 2);
    EXPECT_FALSE(input->isPrepared());
}

} // namespace
} // namespace zarvo
