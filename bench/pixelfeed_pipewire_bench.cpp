// pixelfeed_pipewire_bench [seconds]: the real sender publishing its PipeWire camera on a private
// daemon, fed 25 frames a second as the application feeds it, with one pipewiresrc consumer. Prints
// the frame rate the consumer receives over the window (target: the node's 30/s ± 1 %), the
// sender's CPU as a share of one core (target: below 3 %), and how long the first frame took.
#include "child_process.h"
#include "pipewire_daemon.h"
#include "pixelfeed/pipewire_device.h"
#include "pixelfeed/pixelfeed.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

// utime + stime of a process, in seconds.
double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

} // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    std::signal(SIGPIPE, SIG_IGN);
    pipewire_test::PipeWireDaemon daemon;
    if (!daemon.ready()) {
        std::fprintf(stderr, "pixelfeed_pipewire_bench: the private PipeWire daemon did not start\n");
        return 1;
    }
    char pattern[] = "/tmp/pixelfeed-bench-XXXXXX";
    std::filesystem::path data = ::mkdtemp(pattern);
    auto env = daemon.environment();
    env["XDG_DATA_HOME"] = data.string();
    env["PIPEWIRE_REMOTE"] = "pipewire-0";
    env[pixelfeed::kOutputVariable] = "pipewire";
    auto sender = pixelfeed_test::spawnChild(PIXELFEED_EXECUTABLE, {"--virtualcamera4mac"}, env);

    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        std::vector<uint8_t> packet(4 + pixelfeed::kFrameBytes);
        uint32_t length = uint32_t(pixelfeed::kFrameBytes);
        std::memcpy(packet.data(), &length, 4);
        auto next = std::chrono::steady_clock::now();
        for (uint8_t shade = 0; !stop; ++shade) {
            std::fill(packet.begin() + 4, packet.end(), shade);
            if (!sender.writeAll(packet.data(), packet.size()))
                return;
            next += 40ms;
            std::this_thread::sleep_until(next);
        }
    });
    auto status = pixelfeed_test::Child::readLine(sender.errors).value_or("");
    std::printf("sender: %s\n", status.c_str());

    pipewire_test::Consumer consumer(daemon, "zarvo-bench-consumer");
    auto linkedAt = std::chrono::steady_clock::now();
    if (!daemon.link(pixelfeed::kPipeWireNodeName, consumer.name()) || !consumer.next(20s)) {
        std::fprintf(stderr, "pixelfeed_pipewire_bench: no frame reached the consumer\n");
        stop = true;
        feeder.join();
        return 1;
    }
    double firstFrameMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - linkedAt)
            .count();
    // Settle for a second, then count over the window.
    for (auto until = std::chrono::steady_clock::now() + 1s;
         std::chrono::steady_clock::now() < until;)
        consumer.next(1s);
    double cpuStart = cpuSeconds(sender.pid);
    auto start = std::chrono::steady_clock::now();
    auto end = start + std::chrono::seconds(seconds);
    long frames = 0;
    while (std::chrono::steady_clock::now() < end)
        if (consumer.next(2s))
            ++frames;
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double cpu = cpuSeconds(sender.pid) - cpuStart;
    stop = true;
    feeder.join();

    double rate = frames / elapsed;
    double share = 100.0 * cpu / elapsed;
    std::printf("window: %.1f s, first frame %.0f ms after the link\n", elapsed, firstFrameMs);
    std::printf("delivered: %ld frames, %.2f frames/s (node 30/s, target ±1 %%: %s)\n", frames, rate,
                std::abs(rate - 30.0) <= 0.3 ? "met" : "missed");
    std::printf("pixelfeed CPU: %.2f %% of one core (target < 3 %%: %s)\n", share,
                share < 3.0 ? "met" : "missed");
    std::filesystem::remove_all(data);
    return 0;
}
