// The virtual-camera output with the real sender and a private PipeWire daemon: the ready status
// names the camera users see, the device check finds the node, a consumer gets the picture, and
// the sender restarted after its back-off brings the node back under the same name.
#include "foundation/virtual_loop.h"
#include "media/output/virtual_camera.h"
#include "pipewire_daemon.h"
#include "pixelfeed/pipewire_device.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>

using namespace zarvo;
using pipewire_test::Consumer;
using pipewire_test::PipeWireDaemon;
using namespace std::chrono_literals;

namespace {

// Points this process (and so the sender it starts) at the private daemon and data folder.
struct ScopedEnvironment {
    std::map<std::string, std::optional<std::string>> saved;
    void set(const std::string& key, const std::optional<std::string>& value) {
        if (!saved.count(key)) {
            const char* old = std::getenv(key.c_str());
            saved[key] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value)
            ::setenv(key.c_str(), value->c_str(), 1);
        else
            ::unsetenv(key.c_str());
    }
    ~ScopedEnvironment() {
        for (const auto& [key, value] : saved) {
            if (value)
                ::setenv(key.c_str(), value->c_str(), 1);
            else
                ::unsetenv(key.c_str());
        }
    }
};

PicturePtr solidGreen() {
    std::vector<uint8_t> pixels(size_t(1280) * 720 * 4);
    for (size_t i = 0; i < pixels.size(); i += 4) {
        pixels[i] = 0;       // B
        pixels[i + 1] = 255; // G
        pixels[i + 2] = 0;   // R
        pixels[i + 3] = 255;
    }
    return Picture::adoptBGRA(1280, 720, std::move(pixels));
}

bool greenFrameArrives(Consumer& consumer) {
    for (int i = 0; i < 150; ++i) {
        auto frame = consumer.next(20s);
        if (!frame)
            return false;
        if (frame->size() != 1280u * 720 * 2)
            continue;
        auto p = pipewire_test::yuyvAt(*frame, 640, 360);
        // Opaque green in BT.601 limited range: Y 145, U 54, V 34.
        if (std::abs(p.y - 145) <= 3 && std::abs(p.u - 54) <= 3 && std::abs(p.v - 34) <= 3)
            return true;
    }
    return false;
}

pid_t senderFromLock(const std::filesystem::path& data) {
    std::ifstream in(data / "Zarvo" / "camera-sender.lock");
    pid_t pid = 0;
    in >> pid;
    return pid;
}

bool contains(const std::vector<std::string>& list, const std::string& text) {
    return std::find(list.begin(), list.end(), text) != list.end();
}

} // namespace

TEST(VirtualCameraPipeWire, ReadyNamesTheCameraConsumersSeeThePictureAndARestartBringsItBack) {
    std::signal(SIGPIPE, SIG_IGN);
    PipeWireDaemon daemon;
    ASSERT_TRUE(daemon.ready()) << "the private PipeWire daemon did not start";
    char pattern[] = "/tmp/virtual-camera-pw-XXXXXX";
    std::filesystem::path data = ::mkdtemp(pattern);
    ScopedEnvironment env;
    for (const auto& [key, value] : daemon.environment())
        env.set(key, value);
    env.set("XDG_DATA_HOME", data.string());
    env.set("PIPEWIRE_REMOTE", std::nullopt);
    env.set(pixelfeed::kOutputVariable, std::nullopt);

    EXPECT_TRUE(VirtualCamera::pipeWireAvailable());
    EXPECT_EQ(VirtualCamera::availableDeviceName(data), std::nullopt) << "no sender runs yet";

    VirtualLoop loop; // stands still: a submitted picture stays fresh
    struct StatusLog final : VirtualCameraDelegate {
        void virtualCameraStatusChanged(const std::string& text) override { texts.push_back(text); }
        std::vector<std::string> texts;
    } statusLog;
    std::vector<std::string>& statuses = statusLog.texts;
    {
        VirtualCamera::Options options;
        options.executable = PIXELFEED_EXECUTABLE;
        // The real worker and its 40 ms tick.
        VirtualCamera camera(loop, statusLog, std::move(options));
        const std::string ready = "系统输出：Zarvo虚拟摄像头 (PipeWire)";
        // Submits the picture until the sender says ready. Should a starved machine still break
        // a frame write (no byte taken for 0.5 s, or 2 s for the frame), the output restarts the
        // sender after its back-off, which the test plays through.
        auto startUntilReady = [&] {
            for (int attempt = 0; attempt < 5; ++attempt) {
                statuses.clear();
                camera.submit(solidGreen());
                loop.runUntil([&] { return camera.hasProcess(); }, 30s);
                if (loop.runUntil([&] { return contains(statuses, ready) || !camera.hasProcess(); },
                                  60s) &&
                    contains(statuses, ready))
                    return true;
                loop.runUntil([&] { return !camera.hasProcess(); }, 30s);
                loop.advance(seconds(10));
            }
            return false;
        };
        ASSERT_TRUE(startUntilReady()) << ::testing::PrintToString(statuses);
        EXPECT_EQ(VirtualCamera::availableDeviceName(data), "Zarvo虚拟摄像头");
        {
            Consumer consumer(daemon, "zarvo-test-viewer");
            ASSERT_TRUE(daemon.link(pixelfeed::kPipeWireNodeName, consumer.name()));
            EXPECT_TRUE(greenFrameArrives(consumer));
        }

        // The sender dies: the node goes with it, and after the back-off the next picture
        // starts a new sender that publishes the node again under the same name.
        pid_t first = senderFromLock(data);
        ASSERT_GT(first, 1);
        ::kill(first, SIGKILL);
        ASSERT_TRUE(loop.runUntil([&] { return !camera.hasProcess(); }, 30s));
        EXPECT_TRUE(daemon.waitForNode(pixelfeed::kPipeWireNodeName, false, 30s));
        loop.advance(seconds(10));
        ASSERT_TRUE(startUntilReady()) << ::testing::PrintToString(statuses);
        EXPECT_TRUE(daemon.waitForNode(pixelfeed::kPipeWireNodeName, true, 30s));
        {
            Consumer consumer(daemon, "zarvo-test-viewer-again");
            ASSERT_TRUE(daemon.link(pixelfeed::kPipeWireNodeName, consumer.name()));
            EXPECT_TRUE(greenFrameArrives(consumer));
        }
        camera.clear();
        camera.shutdown();
    }
    // The sender outlives the output on purpose (it keeps the camera black); end it here.
    pid_t second = senderFromLock(data);
    if (second > 1)
        ::kill(second, SIGTERM);
    EXPECT_TRUE(daemon.waitForNode(pixelfeed::kPipeWireNodeName, false, 30s));
    std::filesystem::remove_all(data);
}
