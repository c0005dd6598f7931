// The AI participant's edits: each mode visibly different, deterministic, and built from the
// reference image the way the mode says.
#include "devservice/rtc/ai_edit.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <cmath>

using namespace zarvo::devservice;

namespace {

constexpr int W = 64, H = 36;

std::vector<uint8_t> solid(uint8_t b, uint8_t g, uint8_t r) {
    std::vector<uint8_t> pixels(W * H * 4);
    for (size_t i = 0; i < pixels.size(); i += 4) {
        pixels[i] = b;
        pixels[i + 1] = g;
        pixels[i + 2] = r;
        pixels[i + 3] = 255;
    }
    return pixels;
}

// A horizontal grey ramp: a camera picture with structure.
std::vector<uint8_t> ramp() {
    std::vector<uint8_t> pixels(W * H * 4);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            uint8_t* p = &pixels[(y * W + x) * 4];
            p[0] = p[1] = p[2] = static_cast<uint8_t>(40 + x * 2);
            p[3] = 255;
        }
    return pixels;
}

const uint8_t* at(const std::vector<uint8_t>& pixels, int x, int y) {
    return &pixels[(y * W + x) * 4];
}

std::vector<uint8_t> edited(EditMode mode, const EditReference& reference,
                            const std::vector<uint8_t>& camera) {
    std::vector<uint8_t> out(W * H * 4);
    applyEdit(mode, reference, camera.data(), W * 4, out.data());
    return out;
}

TEST(AIEditTest, ModeNamesMapToModes) {
    EXPECT_EQ(editModeFromType("subject_replacement"), EditMode::SubjectReplacement);
    EXPECT_EQ(editModeFromType("virtual_tryon"), EditMode::VirtualTryOn);
    EXPECT_EQ(editModeFromType("background_replacement"), EditMode::BackgroundReplacement);
    EXPECT_EQ(editModeFromType("style_transfer"), EditMode::StyleTransfer);
    EXPECT_FALSE(editModeFromType("Style_Transfer"));
    EXPECT_FALSE(editModeFromType(""));
}

TEST(AIEditTest, EveryModeGivesADifferentDeterministicPicture) {
    const auto redPixels = solid(20, 20, 220);
    auto reference = makeEditReference(redPixels.data(), W, H, W * 4);
    ASSERT_TRUE(reference);
    const auto camera = ramp();
    std::vector<std::vector<uint8_t>> outputs;
    for (EditMode mode : {EditMode::SubjectReplacement, EditMode::VirtualTryOn,
                          EditMode::BackgroundReplacement, EditMode::StyleTransfer}) {
        auto out = edited(mode, *reference, camera);
        EXPECT_EQ(out, edited(mode, *reference, camera)) << "not deterministic";
        EXPECT_NE(out, camera) << "the picture was not edited";
        for (const auto& earlier : outputs)
            EXPECT_NE(out, earlier);
        outputs.push_back(std::move(out));
    }
}

TEST(AIEditTest, SubjectReplacementBlendsEvenly) {
    const auto refPixels = solid(200, 100, 0);
    auto reference = makeEditReference(refPixels.data(), W, H, W * 4);
    const auto out = edited(EditMode::SubjectReplacement, *reference, solid(0, 100, 200));
    EXPECT_EQ(at(out, 5, 5)[0], 100);
    EXPECT_EQ(at(out, 5, 5)[1], 100);
    EXPECT_EQ(at(out, 5, 5)[2], 100);
    EXPECT_EQ(at(out, 5, 5)[3], 255);
}

TEST(AIEditTest, BackgroundReplacementPutsTheCameraInsetOnTheReference) {
    const auto refPixels = solid(220, 10, 10);
    auto reference = makeEditReference(refPixels.data(), W, H, W * 4);
    const auto out = edited(EditMode::BackgroundReplacement, *reference, solid(50, 60, 70));
    // The top left corner is backdrop; the lower right quarter is the camera picture.
    EXPECT_EQ(at(out, 1, 1)[0], 220);
    EXPECT_EQ(at(out, W - 6, H - 6)[0], 50);
    EXPECT_EQ(at(out, W - 6, H - 6)[2], 70);
    // Inset at half size: the pixel just left of it is backdrop again.
    EXPECT_EQ(at(out, W / 2 - 4, H - 6)[0], 220);
}

TEST(AIEditTest, VirtualTryOnOverlaysTheCentreOnly) {
    const auto refPixels = solid(0, 0, 240);
    auto reference = makeEditReference(refPixels.data(), W, H, W * 4);
    const auto camera = solid(100, 100, 100);
    const auto out = edited(EditMode::VirtualTryOn, *reference, camera);
    EXPECT_EQ(at(out, 0, 0)[2], 100);         // outside the overlay: camera
    EXPECT_GT(at(out, W / 2, H / 2)[2], 190); // centre: mostly reference
    EXPECT_LT(at(out, W / 2, H / 2)[0], 40);
}

TEST(AIEditTest, StyleTransferTakesTheReferenceColourStatisticsAndKeepsStructure) {
    std::vector<uint8_t> refPixels(W * H * 4);
    for (int i = 0; i < W * H; ++i) { // blue-ish, with stripes four pixels wide
        const int stripe = (i % W) / 4;
        refPixels[i * 4] = static_cast<uint8_t>(180 + (stripe % 2) * 40);
        refPixels[i * 4 + 1] = 60;
        refPixels[i * 4 + 2] = static_cast<uint8_t>(20 + (stripe % 3) * 10);
        refPixels[i * 4 + 3] = 255;
    }
    auto reference = makeEditReference(refPixels.data(), W, H, W * 4);
    const auto out = edited(EditMode::StyleTransfer, *reference, ramp());
    double mean[3] = {};
    for (int i = 0; i < W * H; ++i)
        for (int c = 0; c < 3; ++c)
            mean[c] += out[i * 4 + c];
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(mean[c] / (W * H), reference->mean[c], 6.0) << "channel " << c;
    // The ramp still rises left to right in the blue channel.
    EXPECT_LT(at(out, 2, 10)[0], at(out, W - 3, 10)[0]);
}

TEST(AIEditTest, ReferencesDecodeFromImageBytesAndRefuseOthers) {
    EXPECT_FALSE(makeEditReference(std::string("not an image"), 1280, 720));
    EXPECT_FALSE(makeEditReference(std::string(), 1280, 720));

    // A 4:3 JPEG, left half green: cover-fitted to 16:9 it fills the frame, left side green.
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 400, 300);
    gdk_pixbuf_fill(pixbuf, 0x0000ff00); // blue
    GdkPixbuf* left = gdk_pixbuf_new_subpixbuf(pixbuf, 0, 0, 200, 300);
    gdk_pixbuf_fill(left, 0x00ff0000); // green
    g_object_unref(left);
    gchar* buffer = nullptr;
    gsize size = 0;
    ASSERT_TRUE(gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "jpeg", nullptr, nullptr));
    g_object_unref(pixbuf);
    auto reference = makeEditReference(std::string(buffer, size), 160, 90);
    g_free(buffer);
    ASSERT_TRUE(reference);
    EXPECT_EQ(reference->width, 160);
    EXPECT_EQ(reference->bgra.size(), 160u * 90 * 4);
    const uint8_t* leftPixel = &reference->bgra[(45 * 160 + 10) * 4];
    const uint8_t* rightPixel = &reference->bgra[(45 * 160 + 150) * 4];
    EXPECT_GT(leftPixel[1], 200);
    EXPECT_GT(rightPixel[0], 200);
    EXPECT_EQ(leftPixel[3], 255);
}

} // namespace
