#include "devservice/rtc/ai_edit.h"

#include "foundation/owned.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace zarvo::devservice {

namespace {

// Statistics over every fourth pixel of every fourth row: plenty for a colour transfer.
void channelStatistics(const uint8_t* bgra, int width, int height, int stride,
                       std::array<double, 3>& mean, std::array<double, 3>& deviation) {
    std::array<double, 3> sum{}, squares{};
    double n = 0;
    for (int y = 0; y < height; y += 4) {
        const uint8_t* row = bgra + static_cast<size_t>(y) * stride;
        for (int x = 0; x < width; x += 4) {
            for (int c = 0; c < 3; ++c) {
                const double v = row[x * 4 + c];
                sum[c] += v;
                squares[c] += v * v;
            }
            n += 1;
        }
    }
    for (int c = 0; c < 3; ++c) {
        mean[c] = n > 0 ? sum[c] / n : 0;
        deviation[c] = n > 0 ? std::sqrt(std::max(0.0, squares[c] / n - mean[c] * mean[c])) : 0;
    }
}

uint8_t clampByte(double v) {
    return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

// Box-averaged half-size copy of `camera` written at (left, top) of `out`.
void insetHalf(const uint8_t* camera, int width, int height, int stride, uint8_t* out, int left,
               int top) {
    const size_t outStride = static_cast<size_t>(width) * 4;
    for (int y = 0; y < height / 2; ++y) {
        const uint8_t* a = camera + static_cast<size_t>(2 * y) * stride;
        const uint8_t* b = a + stride;
        uint8_t* dst = out + (top + y) * outStride + static_cast<size_t>(left) * 4;
        for (int x = 0; x < width / 2; ++x) {
            for (int c = 0; c < 3; ++c)
                dst[x * 4 + c] = static_cast<uint8_t>(
                    (a[8 * x + c] + a[8 * x + 4 + c] + b[8 * x + c] + b[8 * x + 4 + c] + 2) / 4);
            dst[x * 4 + 3] = 255;
        }
    }
}

} // namespace

std::optional<EditMode> editModeFromType(const std::string& type) {
    if (type == "subject_replacement")
        return EditMode::SubjectReplacement;
    if (type == "virtual_tryon")
        return EditMode::VirtualTryOn;
    if (type == "background_replacement")
        return EditMode::BackgroundReplacement;
    if (type == "style_transfer")
        return EditMode::StyleTransfer;
    return std::nullopt;
}

std::shared_ptr<const EditReference> makeEditReference(const uint8_t* bgra, int width, int height,
                                                       int stride) {
    if (!bgra || width <= 0 || height <= 0 || stride < width * 4)
        return nullptr;
    auto reference = std::make_shared<EditReference>();
    reference->width = width;
    reference->height = height;
    reference->bgra.resize(static_cast<size_t>(width) * 4 * height);
    for (int y = 0; y < height; ++y)
        std::memcpy(reference->bgra.data() + static_cast<size_t>(y) * width * 4,
                    bgra + static_cast<size_t>(y) * stride, static_cast<size_t>(width) * 4);
    channelStatistics(reference->bgra.data(), width, height, width * 4, reference->mean,
                      reference->deviation);
    return reference;
}

std::shared_ptr<const EditReference> makeEditReference(const std::string& bytes, int width,
                                                       int height) {
    if (bytes.empty() || width <= 0 || height <= 0)
        return nullptr;
    auto loader = adoptRef(gdk_pixbuf_loader_new());
    const bool written =
        gdk_pixbuf_loader_write(loader.get(), reinterpret_cast<const guchar*>(bytes.data()),
                                bytes.size(), nullptr) != FALSE;
    const bool closed = gdk_pixbuf_loader_close(loader.get(), nullptr) != FALSE;
    GdkPixbuf* source = written && closed ? gdk_pixbuf_loader_get_pixbuf(loader.get()) : nullptr;
    if (!source || gdk_pixbuf_get_width(source) <= 0 || gdk_pixbuf_get_height(source) <= 0)
        return nullptr;
    // Cover-fit: fill the frame, crop the overflow evenly.
    const double sw = gdk_pixbuf_get_width(source), sh = gdk_pixbuf_get_height(source);
    const double scale = std::max(width / sw, height / sh);
    auto fitted = adoptRef(gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, width, height));
    gdk_pixbuf_fill(fitted.get(), 0x000000ff);
    gdk_pixbuf_composite(source, fitted.get(), 0, 0, width, height, (width - sw * scale) / 2,
                         (height - sh * scale) / 2, scale, scale, GDK_INTERP_BILINEAR, 255);
    const int rowstride = gdk_pixbuf_get_rowstride(fitted.get());
    const guchar* rgba = gdk_pixbuf_read_pixels(fitted.get());
    std::vector<uint8_t> bgra(static_cast<size_t>(width) * 4 * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const guchar* p = rgba + static_cast<size_t>(y) * rowstride + x * 4;
            uint8_t* q = bgra.data() + (static_cast<size_t>(y) * width + x) * 4;
            q[0] = p[2];
            q[1] = p[1];
            q[2] = p[0];
            q[3] = 255;
        }
    return makeEditReference(bgra.data(), width, height, width * 4);
}

void applyEdit(EditMode mode, const EditReference& reference, const uint8_t* camera, int stride,
               uint8_t* out) {
    const int width = reference.width, height = reference.height;
    const size_t outStride = static_cast<size_t>(width) * 4;
    const uint8_t* ref = reference.bgra.data();
    switch (mode) {
    case EditMode::SubjectReplacement:
        // An even blend of the camera and the reference.
        for (int y = 0; y < height; ++y) {
            const uint8_t* src = camera + static_cast<size_t>(y) * stride;
            const uint8_t* r = ref + y * outStride;
            uint8_t* dst = out + y * outStride;
            for (int x = 0; x < width * 4; x += 4) {
                for (int c = 0; c < 3; ++c)
                    dst[x + c] = static_cast<uint8_t>((src[x + c] + r[x + c] + 1) / 2);
                dst[x + 3] = 255;
            }
        }
        break;
    case EditMode::VirtualTryOn: {
        // The camera with a half-size reference laid over its centre at three-quarter opacity.
        for (int y = 0; y < height; ++y) {
            std::memcpy(out + y * outStride, camera + static_cast<size_t>(y) * stride, outStride);
            for (int x = 0; x < width; ++x)
                out[y * outStride + x * 4 + 3] = 255;
        }
        const int left = width / 4, top = height / 4;
        for (int y = 0; y < height / 2; ++y) {
            const uint8_t* r = ref + static_cast<size_t>(2 * y) * outStride;
            uint8_t* dst = out + (top + y) * outStride + static_cast<size_t>(left) * 4;
            for (int x = 0; x < width / 2; ++x)
                for (int c = 0; c < 3; ++c)
                    dst[x * 4 + c] =
                        static_cast<uint8_t>((3 * r[8 * x + c] + dst[x * 4 + c] + 2) / 4);
        }
        break;
    }
    case EditMode::BackgroundReplacement:
        // The reference as backdrop, the camera inset at half size in the lower right corner.
        std::memcpy(out, ref, outStride * height);
        insetHalf(camera, width, height, stride, out, width - width / 2 - width / 32,
                  height - height / 2 - height / 18);
        break;
    case EditMode::StyleTransfer: {
        // Each channel of the camera mapped to the reference's mean and spread.
        std::array<double, 3> mean{}, deviation{};
        channelStatistics(camera, width, height, stride, mean, deviation);
        std::array<std::array<uint8_t, 256>, 3> table{};
        for (int c = 0; c < 3; ++c) {
            const double gain = deviation[c] > 1 ? reference.deviation[c] / deviation[c] : 1.0;
            for (int v = 0; v < 256; ++v)
                table[c][v] = clampByte((v - mean[c]) * gain + reference.mean[c]);
        }
        for (int y = 0; y < height; ++y) {
            const uint8_t* src = camera + static_cast<size_t>(y) * stride;
            uint8_t* dst = out + y * outStride;
            for (int x = 0; x < width * 4; x += 4) {
                dst[x] = table[0][src[x]];
                dst[x + 1] = table[1][src[x + 1]];
                dst[x + 2] = table[2][src[x + 2]];
                dst[x + 3] = 255;
            }
        }
        break;
    }
    }
}

} // namespace zarvo::devservice
