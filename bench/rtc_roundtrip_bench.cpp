// Loopback round trip of the production RTC engine: synthetic 1280 × 720 frames at 25 fps go to
// the stand-in's AI participant (in a child process, so the CPU figure is the client's alone) and
// come back edited. Each frame carries its sequence number as black and white blocks, which the
// style-transfer edit keeps readable (it maps each channel monotonically).
//
//   rtc_roundtrip_bench [seconds]      (default 20; the first 3 s are warm-up)
#include "devservice/rtc/loopback_rtc_service.h"
#include "foundation/allocator_tuning.h"
#include "media/rtc/rtc_engine_webrtc.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

using namespace zarvo;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWidth = 1280, kHeight = 720, kBlock = 80, kBits = 14;

std::string greyJpeg() {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 320, 180);
    // A two-tone reference, so the colour transfer has a spread to map onto.
    gdk_pixbuf_fill(pixbuf, 0x404040ff);
    GdkPixbuf* half = gdk_pixbuf_new_subpixbuf(pixbuf, 0, 0, 160, 180);
    gdk_pixbuf_fill(half, 0xc0c0c0ff);
    g_object_unref(half);
    gchar* buffer = nullptr;
    gsize size = 0;
    gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "jpeg", nullptr, nullptr);
    std::string bytes(buffer, size);
    g_free(buffer);
    g_object_unref(pixbuf);
    return bytes;
}

// Block 0 white and block 1 black calibrate; blocks 2… carry the sequence number's bits.
void drawFrame(uint8_t* pixels, int64_t seq) {
    std::memset(pixels, 128, static_cast<size_t>(kWidth) * kHeight * 4);
    for (int block = 0; block < kBits + 2; ++block) {
        const bool white = block == 0 || (block >= 2 && ((seq >> (block - 2)) & 1));
        const uint8_t v = white ? 235 : 16;
        for (int y = 0; y < kBlock; ++y)
            std::memset(pixels + (static_cast<size_t>(y) * kWidth + block * kBlock) * 4, v,
                        kBlock * 4);
    }
}

int readLuma(const RTCVideoDataSample& s, int block) {
    const uint8_t* p =
        s.data + static_cast<size_t>(kBlock / 2) * s.stride + (block * kBlock + kBlock / 2) * 4;
    return (p[0] + p[1] + p[2]) / 3;
}

class Receiver final : public RTCEngineDelegate {
public:
    explicit Receiver(std::vector<Clock::time_point>& sent) : sent_(sent) {}
    bool onRemoteVideoSample(const std::string&, int, const RTCVideoDataSample& s) override {
        const auto now = Clock::now();
        if (s.width != kWidth || s.height != kHeight || !s.data)
            return false;
        const int white = readLuma(s, 0), black = readLuma(s, 1);
        if (white - black < 60)
            return false;
        int64_t seq = 0;
        for (int bit = 0; bit < kBits; ++bit)
            if (readLuma(s, bit + 2) > (white + black) / 2)
                seq |= int64_t(1) << bit;
        std::lock_guard lock(mutex);
        ++frames;
        if (seq <= lastSeq || seq >= static_cast<int64_t>(sent_.size()))
            return false; // a repeated frame, or noise
        lastSeq = seq;
        if (sent_[seq] != Clock::time_point{} && measuring)
            roundTrips.push_back(
                std::chrono::duration<double, std::milli>(now - sent_[seq]).count());
        return false;
    }
    bool onCaptureVideoSample(int, const RTCVideoDataSample&) override { return false; }
    int onGetVideoFormatPreference() override { return 0; }

    std::mutex mutex;
    int64_t frames = 0;
    int64_t lastSeq = -1;
    bool measuring = false;
    std::vector<double> roundTrips;

private:
    std::vector<Clock::time_point>& sent_;
};

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

// The participant's process: serves until its parent closes the pipe.
[[noreturn]] void runParticipant(int portPipe, int quitPipe) {
    devservice::LoopbackRTCService service;
    devservice::SessionMedia media;
    media.sessionID = "bench";
    media.state = "CREATED";
    media.channelID = "bench-channel";
    media.clientUserID = "bench-client";
    media.renderUID = "bench-render";
    media.editingType = "style_transfer";
    media.referenceJpeg = greyJpeg();
    service.addSession(media, {"bench-token", "bench-channel", "bench-client"});
    const uint16_t port = service.port();
    if (write(portPipe, &port, sizeof port) != sizeof port)
        _exit(1);
    char byte;
    while (read(quitPipe, &byte, 1) > 0) {
    }
    _exit(0);
}

} // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(5, atoi(argv[1])) : 20;
    const int warmup = 3;
    int portPipe[2], quitPipe[2];
    if (pipe(portPipe) != 0 || pipe(quitPipe) != 0)
        return 1;
    const pid_t child = fork();
    if (child == 0) {
        close(portPipe[0]);
        close(quitPipe[1]);
        runParticipant(portPipe[1], quitPipe[0]);
    }
    close(portPipe[1]);
    close(quitPipe[0]);
    // Zarvo's own allocator setting, for the client alone: the participant stands in for the
    // service's process, which runs with glibc's defaults.
    zarvo::tuneAllocatorForVideoFrames();
    uint16_t port = 0;
    if (read(portPipe[0], &port, sizeof port) != sizeof port) {
        std::fprintf(stderr, "rtc_roundtrip_bench: the participant did not start\n");
        return 1;
    }

    RTCGatewayConfig config;
    config.url = "ws://rtc.zarvo.test/rtc";
    config.connect["rtc.zarvo.test"] = "127.0.0.1:" + std::to_string(port);
    WebRTCEngineFactory factory(config);
    const size_t total = static_cast<size_t>(seconds + 2) * 25;
    std::vector<Clock::time_point> sent(total);
    Receiver receiver(sent);
    auto engine = factory.sharedInstance(&receiver);
    engine->setVideoEncoderConfiguration({kWidth, kHeight, 25, 0});
    engine->setExternalVideoSource(true, 0, 2);
    engine->registerVideoSampleObserver();
    engine->publishLocalVideoStream(true);
    std::mutex mutex;
    std::condition_variable cv;
    int joinResult = -1;
    engine->joinChannel("bench-token", std::nullopt, std::nullopt, "Zarvo",
                        [&](int result, const std::string&, const std::string&, int) {
                            std::lock_guard lock(mutex);
                            joinResult = result;
                            cv.notify_one();
                        });
    {
        std::unique_lock lock(mutex);
        cv.wait_for(lock, std::chrono::seconds(15), [&] { return joinResult != -1; });
    }
    if (joinResult != 0) {
        std::fprintf(stderr, "rtc_roundtrip_bench: join failed with %d\n", joinResult);
        return 1;
    }

    // Frames of a ring of eight buffers, as the camera pool would hand them out.
    std::vector<PixelBufferPtr> ring(8);
    for (auto& buffer : ring) {
        buffer = std::make_shared<PixelBuffer>();
        buffer->width = kWidth;
        buffer->height = kHeight;
        buffer->stride = kWidth * 4;
        buffer->bytes.resize(static_cast<size_t>(kWidth) * kHeight * 4);
    }
    auto next = Clock::now();
    const auto start = next;
    double cpuStart = 0;
    Clock::time_point measureStart;
    int64_t framesAtStart = 0;
    for (size_t seq = 0; seq < total && seq < (size_t(1) << kBits); ++seq) {
        if (seq == static_cast<size_t>(warmup) * 25) {
            std::lock_guard lock(receiver.mutex);
            receiver.measuring = true;
            framesAtStart = receiver.frames;
            cpuStart = cpuSeconds();
            measureStart = Clock::now();
        }
        // Reuse a buffer the engine has let go of, as the camera's pool does.
        PixelBufferPtr buffer;
        for (auto& candidate : ring)
            if (candidate.use_count() == 1) {
                buffer = candidate;
                break;
            }
        // With all eight in flight the camera would drop this frame too.
        if (buffer) {
            drawFrame(buffer->data(), static_cast<int64_t>(seq));
            RTCVideoDataSample sample;
            sample.pixelBuffer = buffer;
            sample.width = kWidth;
            sample.height = kHeight;
            sample.stride = buffer->stride;
            sample.timeStampMs = static_cast<int64_t>(seq) * 40;
            sent[seq] = Clock::now();
            engine->pushExternalVideoFrame(sample, 0);
        }
        next += std::chrono::milliseconds(40);
        std::this_thread::sleep_until(next);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double wall = std::chrono::duration<double>(Clock::now() - measureStart).count();
    const double cpu = cpuSeconds() - cpuStart;
    std::vector<double> trips;
    int64_t received = 0;
    {
        std::lock_guard lock(receiver.mutex);
        trips = receiver.roundTrips;
        received = receiver.frames - framesAtStart;
    }
    engine->unregisterVideoSampleObserver();
    engine->leaveChannel();
    engine.reset();
    factory.destroy();
    close(quitPipe[1]);
    waitpid(child, nullptr, 0);

    if (trips.empty()) {
        std::fprintf(stderr, "rtc_roundtrip_bench: no frame came back readable\n");
        return 1;
    }
    std::sort(trips.begin(), trips.end());
    auto percentile = [&](double p) {
        return trips[std::min(trips.size() - 1, static_cast<size_t>(p * trips.size()))];
    };
    std::printf("rtc loopback round trip over %.1f s (after %d s warm-up), %s\n", wall, warmup,
                "1280x720 at 25 fps, style transfer");
    std::printf("  p50 %.1f ms   p95 %.1f ms   (%zu frames matched)\n", percentile(0.50),
                percentile(0.95), trips.size());
    std::printf("  edited frames received %.1f fps\n", received / wall);
    std::printf("  client CPU %.0f %% of one core\n", 100.0 * cpu / wall);
    (void)start;
    return 0;
}
