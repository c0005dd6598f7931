// The whole client video path on loopback: the synthetic camera through CameraInput and the RTC
// bridge into the WebRTC engine, edited by the stand-in's AI participant and received back.
// Reports the edited frame rate, the process CPU (client and participant share the process), and
// threads and resident memory after each join/stop cycle.
// Usage: camera_bridge_loopback_bench [seconds=10] [cycles=5]
#include "devservice/rtc/loopback_rtc_service.h"
#include "foundation/allocator_tuning.h"
#include "foundation/glib_loop.h"
#include "media/rtc/rtc_bridge.h"
#include "media/rtc/rtc_engine_webrtc.h"
#include "tests/support/loopback_session.h"
#include "tests/support/media_samples.h"
#include "tests/support/recording_bridge_delegate.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>

using namespace zarvo;
using namespace std::chrono_literals;

namespace {

using zarvo::testing::solidJpeg;

using zarvo::testing::threadCount;

long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class NullView final : public PictureView {
public:
    void setPicture(PicturePtr) override {}
};

} // namespace

int main(int argc, char** argv) {
    zarvo::tuneAllocatorForVideoFrames();
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const int cycles = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;

    devservice::LoopbackRTCService service;
    zarvo::testing::addLoopbackSession(service, "style_transfer", solidJpeg(230, 120, 30));

    GMainContext* context = g_main_context_new();
    auto loop = std::make_unique<GLibLoop>(context);
    RTCGatewayConfig config;
    config.url = "ws://rtc.zarvo.test/rtc";
    config.connect["rtc.zarvo.test"] = "127.0.0.1:" + std::to_string(service.port());
    zarvo::testing::RecordingBridgeDelegate heard;
    auto bridge =
        RTCBridge::create(*loop, std::make_shared<WebRTCEngineFactory>(config), heard, [] {
            return std::make_shared<CameraInput>(
                [] { return std::vector<CameraDevice>{demoCameraDevice()}; });
        });
    bridge->diagnosticsFolder = std::filesystem::temp_directory_path() / "zarvo-bridge-bench";
    auto view = std::make_shared<NullView>();
    bridge->install(view);
    bridge->setCameraID(kDemoCameraUniqueID);
    const Json credentials{{"token", "tok-1"}, {"channel_id", "ch-1"}, {"user_id", "client-7"}};

    auto joinAndWait = [&](int64_t frames) {
        if (auto joined = bridge->join(credentials, "render-9"); !joined) {
            std::fprintf(stderr, "join failed: %s (%d)\n", joined.error().message.c_str(),
                         joined.error().code);
            return false;
        }
        return loop->runUntil([&] { return bridge->frameStats().count >= frames; }, 30s);
    };
    auto stopAndWait = [&] {
        bridge->stop();
        return loop->runUntil([&] { return !bridge->resetting(); }, 30s);
    };

    std::printf("client video path on loopback (synthetic camera, 1280x720)\n");
    if (!joinAndWait(1)) {
        std::fprintf(stderr, "no edited frame arrived\n");
        return 1;
    }
    const int64_t startCount = bridge->frameStats().count;
    const int64_t startPushed = bridge->pushed();
    const double startCpu = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    loop->runUntil([&] { return std::chrono::steady_clock::now() - start >= seconds * 1s; },
                   (seconds + 1) * 1s);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto stats = bridge->frameStats();
    std::printf("edited frames: %.1f fps over %.1f s (%lld frames); camera pushes %.1f fps\n",
                double(stats.count - startCount) / elapsed, elapsed,
                static_cast<long long>(stats.count - startCount),
                double(bridge->pushed() - startPushed) / elapsed);
    std::printf("process CPU (client + participant): %.0f %% of one core\n",
                100.0 * (cpuSeconds() - startCpu) / elapsed);
    stopAndWait();

    std::printf("%-6s %8s %12s\n", "cycle", "threads", "resident KiB");
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        if (!joinAndWait(25) || !stopAndWait()) {
            std::fprintf(stderr, "cycle %d failed\n", cycle);
            return 1;
        }
        loop->runUntil([&] { return service.connectionCount() == 0; }, 5s);
        std::printf("%-6d %8d %12ld\n", cycle, threadCount(), residentKiB());
    }
    bridge.reset();
    loop.reset();
    g_main_context_unref(context);
    return 0;
}
