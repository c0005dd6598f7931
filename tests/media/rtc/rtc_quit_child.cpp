// A process that quits during a video join the way Zarvo does: join the loopback gateway with the
// synthetic camera, let `delay` milliseconds pass, stop the bridge, wait for the release and
// return from main into the exit handlers. Run by rtc_quit_test, which checks the exit status.
//   rtc_quit_child PORT DELAY_MS
#include "foundation/glib_loop.h"
#include "media/rtc/rtc_bridge.h"
#include "media/rtc/rtc_engine_webrtc.h"
#include "tests/support/recording_bridge_delegate.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

class NullView final : public zarvo::PictureView {
public:
    void setPicture(zarvo::PicturePtr) override {}
};

} // namespace

int main(int argc, char** argv) {
    using namespace zarvo;
    if (argc != 3)
        return 2;
    const std::string port = argv[1];
    const auto delay = std::chrono::milliseconds(std::atoi(argv[2]));
    GLibLoop loop;
    RTCGatewayConfig config;
    config.url = "ws://rtc.zarvo.test/rtc";
    config.connect["rtc.zarvo.test"] = "127.0.0.1:" + port;
    zarvo::testing::RecordingBridgeDelegate heard;
    auto bridge = RTCBridge::create(loop, std::make_shared<WebRTCEngineFactory>(config), heard, [] {
        return std::make_shared<CameraInput>(
            [] { return std::vector<CameraDevice>{demoCameraDevice()}; });
    });
    bridge->diagnosticsFolder =
        std::filesystem::temp_directory_path() / ("zarvo-quit-child-" + std::to_string(::getpid()));
    auto view = std::make_shared<NullView>();
    bridge->install(view);
    bridge->setCameraID(kDemoCameraUniqueID);
    auto joined = bridge->join(
        Json{{"token", "tok-1"}, {"channel_id", "ch-1"}, {"user_id", "client-7"}}, "render-9");
    if (!joined) {
        std::fprintf(stderr, "join failed: %s\n", joined.error().message.c_str());
        return 3;
    }
    loop.runUntil([] { return false; }, delay);
    const bool released = bridge->finishBeforeExit();
    std::filesystem::remove_all(bridge->diagnosticsFolder);
    if (!released) {
        std::fflush(nullptr);
        ::_exit(0);
    }
    return 0;
}
