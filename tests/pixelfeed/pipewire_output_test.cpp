// The real sender against a private PipeWire daemon: the camera node it publishes, the pixels a
// pipewiresrc consumer receives, consumers that leave and come back, black after the input ends,
// and the node's end with the process. Also the choice between PipeWire and the loopback device.
#include "child_process.h"
#include "pipewire_daemon.h"
#include "pixelfeed/pipewire_device.h"
#include "pixelfeed/pixelfeed.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <thread>

using namespace pixelfeed;
using pipewire_test::Consumer;
using pipewire_test::PipeWireDaemon;
using pixelfeed_test::Child;
using pixelfeed_test::spawnChild;
using namespace std::chrono_literals;

namespace {

struct TempFolder {
    std::filesystem::path root;
    TempFolder() {
        char pattern[] = "/tmp/pixelfeed-pw-test-XXXXXX";
        root = ::mkdtemp(pattern);
    }
    ~TempFolder() { std::filesystem::remove_all(root); }
};

nlohmann::json firstStatus(Child& sender) {
    return nlohmann::json::parse(Child::readLine(sender.errors).value_or(""), nullptr, false);
}

// Feeds solid frames of one colour until told to stop, at about 25 a second like the application.
class Feeder {
public:
    Feeder(Child& sender, std::array<uint8_t, 4> rgba) : sender_(sender) {
        packet_ = {uint8_t(kFrameBytes), uint8_t(kFrameBytes >> 8), uint8_t(kFrameBytes >> 16),
                   uint8_t(kFrameBytes >> 24)};
        packet_.reserve(4 + kFrameBytes);
        for (size_t i = 0; i < kFrameBytes; ++i)
            packet_.push_back(rgba[i % 4]);
        ::fcntl(sender_.input, F_SETFL, ::fcntl(sender_.input, F_GETFL) | O_NONBLOCK);
        thread_ = std::thread([this] {
            while (!stop_ && writePacket())
                std::this_thread::sleep_for(40ms);
        });
    }
    ~Feeder() { finish(); }
    void finish() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }

private:
    // Gives up when the sender stops reading for 20 s, so a broken sender fails the test instead
    // of hanging it.
    bool writePacket() {
        size_t done = 0;
        while (done < packet_.size() && !stop_) {
            ssize_t n = ::write(sender_.input, packet_.data() + done, packet_.size() - done);
            if (n > 0) {
                done += size_t(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN)
                return false;
            pollfd p{sender_.input, POLLOUT, 0};
            if (::poll(&p, 1, 20'000) <= 0)
                return false;
        }
        return true;
    }

    Child& sender_;
    std::vector<uint8_t> packet_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

bool near(int actual, int expected) {
    return std::abs(actual - expected) <= 3;
}
bool isRed(const std::vector<uint8_t>& frame) {
    auto p = pipewire_test::yuyvAt(frame, 640, 360);
    return near(p.y, 82) && near(p.u, 90) && near(p.v, 240);
}
bool isBlack(const std::vector<uint8_t>& frame) {
    auto p = pipewire_test::yuyvAt(frame, 641, 359);
    return p.y == 16 && p.u == 128 && p.v == 128;
}

// Pulls frames until one satisfies `wanted`; each pull may take up to 20 s on a loaded machine.
template <typename Predicate>
std::optional<std::vector<uint8_t>> frameWhere(Consumer& consumer, Predicate wanted,
                                               int attempts = 150) {
    for (int i = 0; i < attempts; ++i) {
        auto frame = consumer.next(20s);
        if (!frame)
            return std::nullopt;
        if (frame->size() == kFrameBytes / 2 && wanted(*frame))
            return frame;
    }
    return std::nullopt;
}

} // namespace

TEST(PipeWireOutput, CameraNodeServesConsumersThatComeAndGoThenBlackThenLeavesWithTheSender) {
    std::signal(SIGPIPE, SIG_IGN);
    PipeWireDaemon daemon;
    ASSERT_TRUE(daemon.ready()) << "the private PipeWire daemon did not start";
    TempFolder data;
    auto env = daemon.environment();
    env["XDG_DATA_HOME"] = data.root.string();
    env["PIPEWIRE_REMOTE"] = "pipewire-0";
    env[kOutputVariable] = ""; // automatic
    Child sender = spawnChild(PIXELFEED_EXECUTABLE, {"--virtualcamera4mac"}, env);
    auto ready = firstStatus(sender);
    ASSERT_TRUE(ready.is_object());
    EXPECT_EQ(ready["event"], "ready");
    EXPECT_EQ(ready["message"], "Zarvo虚拟摄像头 (PipeWire) sender ready");

    // The node as camera lists see it, with one fixed format (browsers drop nodes with ranges).
    ASSERT_TRUE(daemon.waitForNode(kPipeWireNodeName, true, 30s));
    auto props = daemon.nodeProperties(kPipeWireNodeName);
    EXPECT_EQ(props.value("media.class", ""), "Video/Source");
    EXPECT_EQ(props.value("media.role", ""), "Camera");
    EXPECT_EQ(props.value("media.type", ""), "Video");
    EXPECT_EQ(props.value("media.category", ""), "Capture");
    EXPECT_EQ(props.value("node.description", ""), "Zarvo虚拟摄像头");

    std::optional<Feeder> red;
    {
        Consumer first(daemon, "zarvo-test-first");
        ASSERT_TRUE(first.valid());
        ASSERT_TRUE(daemon.link(kPipeWireNodeName, first.name()));
        // The application writes only after the ready line, and late on a busy machine: the
        // sender shows black meanwhile, and a silence of more than a second (counted in its own
        // black frames, at 30 a second) before the first frame must not end the input.
        int blackFrames = 0;
        while (blackFrames <= 30 && frameWhere(first, isBlack, 1))
            ++blackFrames;
        EXPECT_GT(blackFrames, 30) << "no black before the first frame";
        red.emplace(sender, std::array<uint8_t, 4>{255, 0, 0, 255});
        EXPECT_TRUE(frameWhere(first, isRed)) << "no red frame reached the first consumer";
        // The one format offered: 1280 × 720 YUY2 at the sender's 30 frames a second.
        auto dump = nlohmann::json::parse(daemon.tool({"pw-dump"}).value_or("[]"), nullptr, false);
        bool checkedFormat = false;
        for (const auto& object : dump) {
            auto info = object.value("info", nlohmann::json::object());
            if (info.value("props", nlohmann::json::object()).value("node.name", "") !=
                kPipeWireNodeName)
                continue;
            auto formats = info.value("params", nlohmann::json::object())
                               .value("EnumFormat", nlohmann::json::array());
            ASSERT_EQ(formats.size(), 1u) << formats.dump();
            EXPECT_EQ(formats[0].value("format", ""), "YUY2");
            EXPECT_EQ(formats[0]["size"], (nlohmann::json{{"width", 1280}, {"height", 720}}));
            EXPECT_EQ(formats[0]["framerate"], (nlohmann::json{{"num", 30}, {"denom", 1}}));
            checkedFormat = true;
        }
        EXPECT_TRUE(checkedFormat);
    }
    // A consumer arriving after the last one has gone and the node has gone quiet still gets
    // frames.
    EXPECT_TRUE(daemon.waitForNode("zarvo-test-first", false, 30s));
    EXPECT_TRUE(daemon.waitForNodeState(kPipeWireNodeName, {"idle", "suspended"}, 30s))
        << "the node kept running without a consumer";
    Consumer second(daemon, "zarvo-test-second");
    ASSERT_TRUE(daemon.link(kPipeWireNodeName, second.name()));
    EXPECT_TRUE(frameWhere(second, isRed)) << "no red frame reached the second consumer";

    // The input ends: black follows, and frames keep coming.
    red->finish();
    sender.closeInput();
    EXPECT_TRUE(frameWhere(second, isBlack)) << "no black frame after the input ended";
    EXPECT_TRUE(second.next(20s)) << "frames stopped after the input ended";

    ::kill(sender.pid, SIGTERM);
    EXPECT_EQ(sender.wait(), -SIGTERM);
    EXPECT_TRUE(daemon.waitForNode(kPipeWireNodeName, false, 30s))
        << "the node outlived the sender";
}

TEST(PipeWireOutput, WithoutADaemonAutomaticUsesTheLoopbackAndForcedPipeWireFails) {
    TempFolder data;
    std::filesystem::create_directories(data.root / "run");
    for (auto [choice, expected] : {std::pair{"", "VirtualCamera4Mac is not installed or enabled"},
                                    std::pair{"pipewire", "PipeWire is not running"}}) {
        Child sender = spawnChild(PIXELFEED_EXECUTABLE, {"--virtualcamera4mac"},
                                  {{"XDG_DATA_HOME", data.root.string()},
                                   {"XDG_RUNTIME_DIR", (data.root / "run").string()},
                                   {"PIPEWIRE_REMOTE", ""},
                                   {kOutputVariable, choice}});
        auto line = firstStatus(sender);
        if (line.is_object() && line["event"] == "ready")
            GTEST_SKIP() << "a VirtualCamera4Mac device exists here";
        EXPECT_EQ(line["event"], "error") << choice;
        EXPECT_EQ(line["message"], expected) << choice;
        EXPECT_EQ(sender.wait(), 1);
    }
}

TEST(OutputChoice, PipeWireWhenItAnswersUnlessForced) {
    int asked = 0;
    auto answers = [&](bool yes) { return [&asked, yes] { return ++asked, yes; }; };
    EXPECT_EQ(chooseOutput(OutputPreference::Automatic, answers(true)), OutputKind::PipeWire);
    EXPECT_EQ(chooseOutput(OutputPreference::Automatic, answers(false)), OutputKind::Loopback);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(chooseOutput(OutputPreference::Loopback, answers(true)), OutputKind::Loopback);
    EXPECT_EQ(chooseOutput(OutputPreference::PipeWire, answers(false)), OutputKind::PipeWire);
    EXPECT_EQ(asked, 2) << "a forced choice needs no probe";
    EXPECT_EQ(parseOutputPreference("PipeWire"), OutputPreference::PipeWire);
    EXPECT_EQ(parseOutputPreference("v4l2loopback"), OutputPreference::Loopback);
    EXPECT_EQ(parseOutputPreference(nullptr), OutputPreference::Automatic);
    EXPECT_EQ(parseOutputPreference("auto"), OutputPreference::Automatic);
}
