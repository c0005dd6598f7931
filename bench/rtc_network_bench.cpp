// The RTC engine against the stand-in's AI participant through a shaped path: the participant's
// sending and receiving are given loss, delay with jitter or a rate cap (its "network" fault:
// netsim inside its webrtcbin, each direction on its own), and for each
// condition the client's side measures edited frames per second, freezes (gaps between edited
// frames over 300 ms), round trips of the frames it can read back, and the link's bitrate.
//
// Both ends adapt their bitrate to the link; "fixed" runs the baseline, both sending a fixed
// 2.5 Mbit/s as the engine did before it adapted.
//
//   rtc_network_bench [seconds per condition] [fixed]   (default 30; each condition adds 2 s
//                                                        warm-up)
#include "devservice/rtc/loopback_rtc_service.h"
#include "media/rtc/rtc_engine_webrtc.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
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
// Below the number, a textured picture that moves every frame, so the encoder needs the bits a
// camera's picture would (a flat one encodes into a fraction of the link).
void drawFrame(uint8_t* pixels, int64_t seq) {
    static const std::vector<uint8_t> texture = [] {
        std::vector<uint8_t> t(static_cast<size_t>(kWidth) * 2 * 4 * 64);
        uint32_t state = 12345;
        for (auto& v : t) {
            state = state * 1664525u + 1013904223u;
            v = static_cast<uint8_t>(64 + ((state >> 24) & 127));
        }
        return t;
    }();
    for (int y = 0; y < kHeight; ++y) {
        const size_t shift = static_cast<size_t>((seq * 8 + y * 37) % kWidth) * 4;
        std::memcpy(pixels + static_cast<size_t>(y) * kWidth * 4,
                    texture.data() + static_cast<size_t>(y % 64) * kWidth * 2 * 4 + shift,
                    static_cast<size_t>(kWidth) * 4);
    }
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
        std::lock_guard lock(mutex);
        arrivals.push_back(now);
        if (s.width != kWidth || s.height != kHeight || !s.data)
            return false;
        const int white = readLuma(s, 0), black = readLuma(s, 1);
        if (white - black < 60)
            return false;
        int64_t seq = 0;
        for (int bit = 0; bit < kBits; ++bit)
            if (readLuma(s, bit + 2) > (white + black) / 2)
                seq |= int64_t(1) << bit;
        if (seq <= lastSeq || seq >= static_cast<int64_t>(sent_.size()))
            return false;
        lastSeq = seq;
        if (sent_[seq] != Clock::time_point{})
            trips.push_back(
                {now, std::chrono::duration<double, std::milli>(now - sent_[seq]).count()});
        return false;
    }
    bool onCaptureVideoSample(int, const RTCVideoDataSample&) override { return false; }
    int onGetVideoFormatPreference() override { return 0; }

    std::mutex mutex;
    std::vector<Clock::time_point> arrivals;
    std::vector<std::pair<Clock::time_point, double>> trips;
    int64_t lastSeq = -1;

private:
    std::vector<Clock::time_point>& sent_;
};

struct Condition {
    const char* name;
    NetworkShape shape;
    int stepToKbps = 0; // the cap changes to this half way through
};

} // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(4, atoi(argv[1])) : 30;
    const bool fixed = argc > 2 && std::string(argv[2]) == "fixed";
    const int warmup = 2;
    std::vector<Condition> conditions = {
        {"clean", {}, 0},
        {"2 % loss", {2, 0, 0, 0}, 0},
        {"5 % loss", {5, 0, 0, 0}, 0},
        {"60 +- 20 ms jitter", {0, 60, 20, 0}, 0},
        {"1.5 Mbit/s cap", {0, 0, 0, 1500}, 0},
        {"500 kbit/s cap", {0, 0, 0, 500}, 0},
        {"2.5 -> 0.8 Mbit/s step", {0, 0, 0, 2500}, 800},
    };

    devservice::LoopbackRTCService service;
    service.setAdaptiveSending(!fixed);
    devservice::SessionMedia media;
    media.sessionID = "bench";
    media.state = "CREATED";
    media.channelID = "bench-channel";
    media.clientUserID = "bench-client";
    media.renderUID = "bench-render";
    media.editingType = "style_transfer";
    media.referenceJpeg = greyJpeg();
    service.addSession(media, {"bench-token", "bench-channel", "bench-client"});

    RTCGatewayConfig config;
    config.url = "ws://rtc.zarvo.test/rtc";
    config.connect["rtc.zarvo.test"] = "127.0.0.1:" + std::to_string(service.port());
    WebRTCEngineFactory factory(config);
    const size_t total =
        std::min<size_t>(size_t(1) << kBits, conditions.size() * (seconds + warmup + 2) * 25 + 100);
    std::vector<Clock::time_point> sent(total);
    Receiver receiver(sent);
    auto engine = factory.sharedInstance(&receiver);
    engine->setVideoEncoderConfiguration({kWidth, kHeight, 25, fixed ? 2500 : 0});
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
        std::fprintf(stderr, "rtc_network_bench: join failed with %d\n", joinResult);
        return 1;
    }

    std::vector<PixelBufferPtr> ring(8);
    for (auto& buffer : ring) {
        buffer = std::make_shared<PixelBuffer>();
        buffer->width = kWidth;
        buffer->height = kHeight;
        buffer->stride = kWidth * 4;
        buffer->bytes.resize(static_cast<size_t>(kWidth) * kHeight * 4);
    }
    size_t seq = 0;
    auto next = Clock::now();
    auto pushFor = [&](double secondsToPush) {
        const auto until = Clock::now() + std::chrono::duration<double>(secondsToPush);
        while (Clock::now() < until && seq < total) {
            PixelBufferPtr buffer;
            for (auto& candidate : ring)
                if (candidate.use_count() == 1) {
                    buffer = candidate;
                    break;
                }
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
            ++seq;
            next += std::chrono::milliseconds(40);
            std::this_thread::sleep_until(next);
        }
    };

    std::printf("rtc over a shaped path, %d s per condition, 1280x720 at 25 fps, style transfer, "
                "%s bitrate\n",
                seconds, fixed ? "fixed" : "adaptive");
    std::printf("%-24s %8s %8s %12s %9s %9s %11s %9s %8s %10s\n", "condition", "fps", "freezes",
                "longest ms", "rtt p50", "rtt p95", "sent kbit/s", "settled", "client", "smooth s");
    for (const auto& condition : conditions) {
        service.setNetworkShape(condition.shape);
        pushFor(warmup);
        auto stats = service.linkStats("bench");
        const double bytesBefore = stats["outbound-rtp.bytes-sent"];
        const auto begin = Clock::now();
        Clock::time_point step{};
        if (condition.stepToKbps > 0) {
            pushFor(seconds / 2.0);
            NetworkShape stepped = condition.shape;
            stepped.kbps = condition.stepToKbps;
            service.setNetworkShape(stepped);
            step = Clock::now();
            pushFor(seconds / 2.0);
        } else {
            pushFor(seconds);
        }
        const auto end = Clock::now();
        stats = service.linkStats("bench");
        const double wall = std::chrono::duration<double>(end - begin).count();
        const double kbps = (stats["outbound-rtp.bytes-sent"] - bytesBefore) * 8 / 1000 / wall;
        std::vector<Clock::time_point> arrivals;
        std::vector<double> trips;
        {
            std::lock_guard lock(receiver.mutex);
            for (auto t : receiver.arrivals)
                if (t >= begin && t < end)
                    arrivals.push_back(t);
            for (auto& [t, ms] : receiver.trips)
                if (t >= begin && t < end)
                    trips.push_back(ms);
        }
        int freezes = 0;
        double longest = 0, smooth = 0;
        Clock::time_point previous = begin;
        for (auto t : arrivals) {
            const double gap = std::chrono::duration<double, std::milli>(t - previous).count();
            if (gap > 300) {
                ++freezes;
                longest = std::max(longest, gap);
                if (step != Clock::time_point{} && t > step)
                    smooth = std::chrono::duration<double>(t - step).count();
            }
            previous = t;
        }
        std::sort(trips.begin(), trips.end());
        auto percentile = [&](double p) {
            return trips.empty()
                       ? 0.0
                       : trips[std::min(trips.size() - 1, static_cast<size_t>(p * trips.size()))];
        };
        char smoothText[32] = "-";
        if (condition.stepToKbps > 0)
            std::snprintf(smoothText, sizeof smoothText, "%.1f", smooth);
        const double settled = fixed ? 2500 : stats["controller.bitrate-kbps"];
        // The client's own controller, which the narrow rows depend on as much.
        const auto link = engine->linkReport();
        const double client = link ? link->bitrateKbps : 0;
        std::printf("%-24s %8.1f %8d %12.0f %9.1f %9.1f %11.0f %9.0f %8.0f %10s\n", condition.name,
                    arrivals.size() / wall, freezes, longest, percentile(0.5), percentile(0.95),
                    kbps, settled, client, smoothText);
        std::fflush(stdout);
    }
    service.setNetworkShape({});
    engine->unregisterVideoSampleObserver();
    engine->leaveChannel();
    engine.reset();
    factory.destroy();
    return 0;
}
