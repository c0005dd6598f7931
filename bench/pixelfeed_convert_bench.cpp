// What one frame costs on its way to the device: the pipe's RGBA → YUYV the devices take, in the
// one banded pass they use and as the two full-frame steps it replaces (RGBA → BGRA, BGRA → YUYV;
// I420 for comparison), the output's drawing
// of a picture into the pipe frame, each next to a plain memcpy of a frame.
#include "media/output/virtual_camera.h"
#include "pixelfeed/pixelfeed.h"
#include "pixelfeed/v4l2_device.h"

#include <benchmark/benchmark.h>
#include <libyuv/convert_from_argb.h>

#include <cstring>
#include <random>

namespace {

std::vector<uint8_t> noise(size_t n) {
    std::vector<uint8_t> bytes(n);
    std::mt19937 random(7);
    for (auto& b : bytes)
        b = uint8_t(random());
    return bytes;
}

void BM_MemcpyFrame(benchmark::State& state) {
    auto source = noise(pixelfeed::kFrameBytes);
    std::vector<uint8_t> target(pixelfeed::kFrameBytes);
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), source.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(pixelfeed::kFrameBytes));
}

void BM_RGBAToBGRA(benchmark::State& state) {
    auto source = noise(pixelfeed::kFrameBytes);
    std::vector<uint8_t> target;
    for (auto _ : state) {
        pixelfeed::rgbaBuffer(source.data(), source.size(), target);
        benchmark::DoNotOptimize(target.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(pixelfeed::kFrameBytes));
}

void BM_BGRAToYuyv(benchmark::State& state) {
    auto source = noise(pixelfeed::kFrameBytes);
    std::vector<uint8_t> target;
    for (auto _ : state) {
        pixelfeed::bgraToYuyv(source.data(), target);
        benchmark::DoNotOptimize(target.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(pixelfeed::kFrameBytes));
}

void BM_RgbaToYuyvTwoPasses(benchmark::State& state) {
    auto source = noise(pixelfeed::kFrameBytes);
    std::vector<uint8_t> bgra, target;
    for (auto _ : state) {
        pixelfeed::rgbaBuffer(source.data(), source.size(), bgra);
        pixelfeed::bgraToYuyv(bgra.data(), target);
        benchmark::DoNotOptimize(target.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(pixelfeed::kFrameBytes));
}

void BM_RgbaToYuyvOnePass(benchmark::State& state) {
    auto source = noise(pixelfeed::kFrameBytes);
    std::vector<uint8_t> target;
    for (auto _ : state) {
        pixelfeed::rgbaToYuyv(source.data(), target);
        benchmark::DoNotOptimize(target.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(pixelfeed::kFrameBytes));
}

void BM_BGRAToI420(benchmark::State& state) {
    constexpr int w = pixelfeed::kWidth, h = pixelfeed::kHeight;
    auto source = noise(pixelfeed::kFrameBytes);
    std::vector<uint8_t> y(size_t(w) * h), u(size_t(w) * h / 4), v(size_t(w) * h / 4);
    for (auto _ : state) {
        libyuv::ARGBToI420(source.data(), w * 4, y.data(), w, u.data(), w / 2, v.data(), w / 2, w,
                           h);
        benchmark::DoNotOptimize(y.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(pixelfeed::kFrameBytes));
}

// The output's per-tick drawing: a 1280 × 720 picture (straight copy) or a portrait one (scaled).
void BM_DrawPipeFrame(benchmark::State& state) {
    int width = int(state.range(0)), height = int(state.range(1));
    auto picture = zarvo::Picture::adoptBGRA(width, height, noise(size_t(width) * height * 4));
    std::vector<uint8_t> frame(pixelfeed::kFrameBytes);
    for (auto _ : state) {
        zarvo::drawVirtualCameraFrame(picture.get(), frame.data());
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(pixelfeed::kFrameBytes));
}

} // namespace

BENCHMARK(BM_MemcpyFrame);
BENCHMARK(BM_RGBAToBGRA);
BENCHMARK(BM_BGRAToYuyv);
BENCHMARK(BM_RgbaToYuyvTwoPasses);
BENCHMARK(BM_RgbaToYuyvOnePass);
BENCHMARK(BM_BGRAToI420);
BENCHMARK(BM_DrawPipeFrame)->Args({1280, 720})->Args({720, 1280});
BENCHMARK_MAIN();
