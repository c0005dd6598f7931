// Time to normalise one camera frame into the pipeline format, next to a plain copy of the output
// frame (the floor any per-frame work pays). Usage: camera_normalize_bench [iterations]
#include "media/camera/camera_frame.h"
#include "media/camera/camera_pixel_buffer_pool.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Timing {
    double meanMs;
    double p50Ms;
    double p95Ms;
};

template <class Work> Timing measure(int iterations, Work work) {
    for (int i = 0; i < 5; ++i)
        work(); // warm caches and the allocator
    std::vector<double> samples;
    samples.reserve(iterations);
    for (int i = 0; i < iterations; ++i) {
        const auto start = Clock::now();
        work();
        samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(samples.begin(), samples.end());
    double sum = 0;
    for (double sample : samples)
        sum += sample;
    return {sum / iterations, samples[samples.size() / 2], samples[samples.size() * 95 / 100]};
}

std::vector<uint8_t> gradient(int width, int height) {
    std::vector<uint8_t> pixels(size_t(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &pixels[(size_t(y) * width + x) * 4];
            p[0] = uint8_t(x);
            p[1] = uint8_t(y);
            p[2] = uint8_t(x + y);
            p[3] = 255;
        }
    return pixels;
}

void report(const char* what, const Timing& timing) {
    std::printf("%-36s mean %7.3f ms  p50 %7.3f ms  p95 %7.3f ms\n", what, timing.meanMs,
                timing.p50Ms, timing.p95Ms);
}

} // namespace

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
    zarvo::PixelBufferPool pool(zarvo::kPipelineFrameWidth, zarvo::kPipelineFrameHeight, 8);
    zarvo::PixelBufferPtr target = pool.take();

    std::printf("camera frame normalisation, %d frames each\n", iterations);
    const std::pair<int, int> sources[] = {{1920, 1080}, {1280, 720}, {640, 480}};
    Timing hd{};
    for (auto [width, height] : sources) {
        const auto pixels = gradient(width, height);
        const Timing timing = measure(iterations, [&] {
            zarvo::normalizeFrame(pixels.data(), width, height, width * 4, *target);
        });
        char label[64];
        std::snprintf(label, sizeof label, "normalise %dx%d -> 1280x720", width, height);
        report(label, timing);
        if (width == 1920)
            hd = timing;
    }

    std::vector<uint8_t> copy(target->bytes.size());
    const Timing memcpyTiming = measure(iterations, [&] {
        std::memcpy(copy.data(), target->data(), copy.size());
        asm volatile("" : : "r"(copy.data()) : "memory");
    });
    report("memcpy of one 1280x720 BGRA frame", memcpyTiming);
    std::printf("normalise 1920x1080 / memcpy (p50): %.1fx; frame budget at 30 fps: 33.3 ms\n",
                hd.p50Ms / memcpyTiming.p50Ms);
    return 0;
}
