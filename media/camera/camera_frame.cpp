#include "media/camera/camera_frame.h"

#include <libyuv/planar_functions.h>
#include <libyuv/scale_argb.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace zarvo {

FrameRect fittedFrameRect(int sourceWidth, int sourceHeight) {
    if (sourceWidth <= 0 || sourceHeight <= 0)
        return {};
    const double scale = std::min(double(kPipelineFrameWidth) / sourceWidth,
                                  double(kPipelineFrameHeight) / sourceHeight);
    // Rounded so that a side that should fill the frame exactly is not a pixel short.
    const int width = std::clamp(int(std::lround(sourceWidth * scale)), 1, kPipelineFrameWidth);
    const int height = std::clamp(int(std::lround(sourceHeight * scale)), 1, kPipelineFrameHeight);
    return {(kPipelineFrameWidth - width) / 2, (kPipelineFrameHeight - height) / 2, width, height};
}

bool normalizeFrame(const uint8_t* source, int sourceWidth, int sourceHeight, int sourceStride,
                    PixelBuffer& target) {
    if (target.width != kPipelineFrameWidth || target.height != kPipelineFrameHeight ||
        target.stride < kPipelineFrameWidth * 4 ||
        target.bytes.size() < size_t(target.stride) * kPipelineFrameHeight)
        return false;
    uint8_t* out = target.data();
    const int stride = target.stride;
    constexpr uint32_t kOpaqueBlack = 0xFF000000u; // B, G, R = 0, A = 255 in memory order
    const FrameRect rect = fittedFrameRect(sourceWidth, sourceHeight);
    if (rect.width == 0) {
        // A source without a size gives a black frame, as compositing nothing over black would.
        libyuv::ARGBRect(out, stride, 0, 0, kPipelineFrameWidth, kPipelineFrameHeight,
                         kOpaqueBlack);
        return true;
    }
    if (!source || sourceStride < sourceWidth * 4)
        return false;
    // Only the bars are painted; the fitted rectangle is fully overwritten by the scaler.
    if (rect.y > 0) {
        libyuv::ARGBRect(out, stride, 0, 0, kPipelineFrameWidth, rect.y, kOpaqueBlack);
        const int below = rect.y + rect.height;
        libyuv::ARGBRect(out, stride, 0, below, kPipelineFrameWidth, kPipelineFrameHeight - below,
                         kOpaqueBlack);
    }
    if (rect.x > 0) {
        libyuv::ARGBRect(out, stride, 0, rect.y, rect.x, rect.height, kOpaqueBlack);
        const int right = rect.x + rect.width;
        libyuv::ARGBRect(out, stride, right, rect.y, kPipelineFrameWidth - right, rect.height,
                         kOpaqueBlack);
    }
    uint8_t* fitted = out + size_t(rect.y) * stride + size_t(rect.x) * 4;
    if (rect.width == sourceWidth && rect.height == sourceHeight)
        return libyuv::ARGBCopy(source, sourceStride, fitted, stride, rect.width, rect.height) == 0;
    if (libyuv::ARGBScale(source, sourceStride, sourceWidth, sourceHeight, fitted, stride,
                          rect.width, rect.height, libyuv::kFilterBilinear) != 0)
        return false;
    // The SIMD filters weigh by 127/128 and so lose up to two levels, alpha included; the frame is
    // composited over opaque black, so it must come out opaque. One opaque row serves every row.
    static const std::vector<uint32_t> opaqueRow(kPipelineFrameWidth, kOpaqueBlack);
    libyuv::ARGBCopyAlpha(reinterpret_cast<const uint8_t*>(opaqueRow.data()), 0, fitted, stride,
                          rect.width, rect.height);
    return true;
}

} // namespace zarvo
