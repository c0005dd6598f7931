#include "media/camera/camera_frame.h"
#include "media/camera/camera_pixel_buffer_pool.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace zarvo {
namespace {

struct BGRA {
    uint8_t b, g, r, a;
    // The scaler may lose two levels of a colour channel; alpha must stay exact.
    bool operator==(const BGRA& other) const {
        auto near = [](int x, int y) { return std::abs(x - y) <= 2; };
        return near(b, other.b) && near(g, other.g) && near(r, other.r) && a == other.a;
    }
};
constexpr BGRA kBlack{0, 0, 0, 255};
constexpr BGRA kWhite{255, 255, 255, 255};
constexpr BGRA kRed{0, 0, 255, 255};

std::vector<uint8_t> solid(int width, int height, BGRA colour) {
    std::vector<uint8_t> pixels(size_t(width) * height * 4);
    for (size_t i = 0; i < pixels.size(); i += 4)
        std::memcpy(&pixels[i], &colour, 4);
    return pixels;
}

BGRA at(const PixelBuffer& buffer, int x, int y) {
    BGRA pixel;
    std::memcpy(&pixel, buffer.data() + size_t(y) * buffer.stride + size_t(x) * 4, 4);
    return pixel;
}

PixelBuffer pipelineBuffer() {
    PixelBuffer buffer;
    buffer.width = kPipelineFrameWidth;
    buffer.height = kPipelineFrameHeight;
    buffer.stride = kPipelineFrameWidth * 4;
    buffer.bytes.assign(size_t(buffer.stride) * buffer.height, 0x7F);
    return buffer;
}

PixelBuffer normalised(int width, int height, BGRA colour, PixelBuffer buffer = pipelineBuffer()) {
    auto pixels = solid(width, height, colour);
    EXPECT_TRUE(normalizeFrame(pixels.data(), width, height, width * 4, buffer));
    return buffer;
}

TEST(FrameGeometry, FitsAndCentresEveryAspect) {
    EXPECT_EQ(fittedFrameRect(1920, 1080), (FrameRect{0, 0, 1280, 720}));
    EXPECT_EQ(fittedFrameRect(1280, 720), (FrameRect{0, 0, 1280, 720}));
    EXPECT_EQ(fittedFrameRect(640, 480), (FrameRect{160, 0, 960, 720}));
    EXPECT_EQ(fittedFrameRect(1280, 360), (FrameRect{0, 180, 1280, 360}));
    // Portrait: 405 wide; the odd remainder leaves the bars one pixel apart.
    const FrameRect portrait = fittedFrameRect(720, 1280);
    EXPECT_EQ(portrait.width, 405);
    EXPECT_EQ(portrait.height, 720);
    EXPECT_EQ(portrait.y, 0);
    const int right = kPipelineFrameWidth - portrait.x - portrait.width;
    EXPECT_LE(std::abs(portrait.x - right), 1);
    EXPECT_EQ(fittedFrameRect(0, 720), FrameRect{});
    EXPECT_EQ(fittedFrameRect(640, -1), FrameRect{});
}

TEST(FrameNormalisation, WideSourceFillsTheFrameWithoutBars) {
    const PixelBuffer frame = normalised(1920, 1080, kWhite);
    for (auto [x, y] : {std::pair{0, 0}, {1279, 0}, {0, 719}, {1279, 719}, {640, 360}})
        EXPECT_EQ(at(frame, x, y), kWhite) << x << "," << y;
}

TEST(FrameNormalisation, FourByThreeGetsBlackBarsLeftAndRight) {
    const PixelBuffer frame = normalised(640, 480, kWhite);
    for (int y : {0, 360, 719}) {
        EXPECT_EQ(at(frame, 0, y), kBlack);
        EXPECT_EQ(at(frame, 159, y), kBlack);
        EXPECT_EQ(at(frame, 160, y), kWhite);
        EXPECT_EQ(at(frame, 1119, y), kWhite);
        EXPECT_EQ(at(frame, 1120, y), kBlack);
        EXPECT_EQ(at(frame, 1279, y), kBlack);
    }
}

TEST(FrameNormalisation, PortraitIsCentredHorizontally) {
    const PixelBuffer frame = normalised(720, 1280, kRed);
    const FrameRect rect = fittedFrameRect(720, 1280);
    EXPECT_EQ(at(frame, rect.x - 1, 360), kBlack);
    EXPECT_EQ(at(frame, rect.x, 360), kRed);
    EXPECT_EQ(at(frame, rect.x + rect.width - 1, 360), kRed);
    EXPECT_EQ(at(frame, rect.x + rect.width, 360), kBlack);
}

TEST(FrameNormalisation, WideSourceGetsBarsAboveAndBelow) {
    const PixelBuffer frame = normalised(1280, 360, kWhite);
    EXPECT_EQ(at(frame, 640, 179), kBlack);
    EXPECT_EQ(at(frame, 640, 180), kWhite);
    EXPECT_EQ(at(frame, 640, 539), kWhite);
    EXPECT_EQ(at(frame, 640, 540), kBlack);
}

TEST(FrameNormalisation, ReusedBufferLosesTheOldPictureInTheBars) {
    // Pool buffers come back dirty: the bars of a narrower source must not show the last frame.
    PixelBuffer frame = normalised(1920, 1080, kWhite);
    frame = normalised(640, 480, kRed, std::move(frame));
    EXPECT_EQ(at(frame, 10, 10), kBlack);
    EXPECT_EQ(at(frame, 1270, 700), kBlack);
    EXPECT_EQ(at(frame, 640, 360), kRed);
}

TEST(FrameNormalisation, RefusesMissingPixelsAndForeignTargets) {
    PixelBuffer frame = pipelineBuffer();
    EXPECT_FALSE(normalizeFrame(nullptr, 640, 480, 2560, frame));
    auto pixels = solid(640, 480, kWhite);
    EXPECT_FALSE(normalizeFrame(pixels.data(), 640, 480, 100, frame)); // stride shorter than a row
    PixelBuffer small;
    small.width = 640;
    small.height = 480;
    small.stride = 2560;
    small.bytes.resize(2560 * 480);
    EXPECT_FALSE(normalizeFrame(pixels.data(), 640, 480, 2560, small));
    // A source without a size is all black rather than a stale picture.
    EXPECT_TRUE(normalizeFrame(pixels.data(), 0, 0, 0, frame));
    EXPECT_EQ(at(frame, 640, 360), kBlack);
}

TEST(PixelBufferPool, RefusesANinthOutstandingBufferAndRecyclesReturnedOnes) {
    PixelBufferPool pool(1280, 720, 8);
    std::vector<PixelBufferPtr> held;
    for (int i = 0; i < 8; ++i) {
        held.push_back(pool.take());
        ASSERT_NE(held.back(), nullptr);
        EXPECT_EQ(held.back()->bytes.size(), 1280u * 720 * 4);
        EXPECT_EQ(held.back()->stride, 1280 * 4);
    }
    EXPECT_EQ(pool.take(), nullptr);
    EXPECT_EQ(pool.outstanding(), 8u);

    PixelBuffer* returned = held.back().get();
    held.pop_back();
    EXPECT_EQ(pool.outstanding(), 7u);
    PixelBufferPtr again = pool.take();
    EXPECT_EQ(again.get(), returned);
    EXPECT_EQ(pool.take(), nullptr);
}

TEST(PixelBufferPool, BuffersMayOutliveThePool) {
    PixelBufferPtr survivor;
    {
        PixelBufferPool pool(16, 16, 2);
        survivor = pool.take();
    }
    ASSERT_NE(survivor, nullptr);
    survivor->bytes[0] = 1;
    survivor.reset(); // returns into the pool's shared state, which it keeps alive
}

} // namespace
} // namespace zarvo
