// The virtual-camera output in virtual time: the tick's frames, the freshness and back-off rules,
// the start-check coalescing, the status texts, the bounded write against a stalled pipe, and one
// run against the real sender program.
#include "foundation/virtual_loop.h"
#include "media/output/virtual_camera.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <thread>
#include <unistd.h>

using namespace zarvo;

namespace {

// As in the application's main: a write to a sender that died fails instead of ending the process.
class IgnoreBrokenPipes final : public ::testing::Environment {
public:
    void SetUp() override { std::signal(SIGPIPE, SIG_IGN); }
};
[[maybe_unused]] const auto* const kIgnoreBrokenPipes =
    ::testing::AddGlobalTestEnvironment(new IgnoreBrokenPipes);

constexpr size_t kFrame = 1280 * 720 * 4;

// The worker and its tick on the test's VirtualLoop.
class LoopWorker final : public VirtualCameraWorker {
public:
    explicit LoopWorker(VirtualLoop& loop) : loop_(loop) {}
    void async(Task task) override { loop_.post(std::move(task)); }
    void sync(const Task& task) override {
        loop_.runUntilIdle();
        task();
    }
    TimerHandle repeating(Duration interval, Task task) override {
        return loop_.repeating(interval, std::move(task));
    }

private:
    VirtualLoop& loop_;
};

// Each launch hands out the write end of a fresh temporary file, so every packet written can be
// read back afterwards; or, when `stalledPipe` is set, a pipe nobody reads.
class FakeLauncher final : public FrameSenderLauncher {
public:
    struct Launch {
        std::filesystem::path executable;
        std::vector<std::string> arguments;
        FrameSenderEvents events;
        std::string file;
        int pipeReadEnd = -1;
        int input = -1;
    };
    std::vector<Launch> launches;
    std::vector<pid_t> terminated;
    bool fail = false;
    bool stalledPipe = false;

    ~FakeLauncher() override {
        for (auto& launch : launches) {
            if (!launch.file.empty())
                ::unlink(launch.file.c_str());
            if (launch.pipeReadEnd >= 0)
                ::close(launch.pipeReadEnd);
        }
    }

    Result<FrameSenderChild> launch(const std::filesystem::path& executable,
                                    const std::vector<std::string>& arguments,
                                    FrameSenderEvents events) override {
        if (fail)
            return unexpected(Error{"no such file", 2});
        Launch launch{executable, arguments, std::move(events), {}, -1, -1};
        int fd;
        if (stalledPipe) {
            int ends[2];
            EXPECT_EQ(::pipe(ends), 0);
            launch.pipeReadEnd = ends[0];
            fd = ends[1];
        } else {
            char pattern[] = "/tmp/virtual-camera-frames-XXXXXX";
            fd = ::mkstemp(pattern);
            launch.file = pattern;
        }
        launch.input = fd;
        launches.push_back(std::move(launch));
        return FrameSenderChild{1000 + int(launches.size()), fd};
    }

    // The launch's sender died: every write to its input fails from now on, as to a pipe whose
    // reader is gone.
    void breakInput(size_t launch) {
        int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
        ASSERT_GE(full, 0);
        ASSERT_EQ(::dup2(full, launches.at(launch).input), launches.at(launch).input);
        ::close(full);
    }

    void terminate(pid_t pid) override { terminated.push_back(pid); }

    // The packets written to a launch's file so far.
    size_t packetCount(size_t launch = 0) const {
        return std::filesystem::file_size(launches.at(launch).file) / (4 + kFrame);
    }
    std::vector<uint8_t> lastPacket(size_t launch = 0) const {
        std::ifstream in(launches.at(launch).file, std::ios::binary);
        size_t count = packetCount(launch);
        EXPECT_GT(count, 0u);
        in.seekg(std::streamoff((count - 1) * (4 + kFrame)));
        std::vector<uint8_t> packet(4 + kFrame);
        in.read(reinterpret_cast<char*>(packet.data()), std::streamsize(packet.size()));
        return packet;
    }
};

PicturePtr solidPicture(int width, int height, uint8_t b, uint8_t g, uint8_t r) {
    std::vector<uint8_t> pixels(size_t(width) * height * 4);
    for (size_t i = 0; i < pixels.size(); i += 4) {
        pixels[i] = b;
        pixels[i + 1] = g;
        pixels[i + 2] = r;
        pixels[i + 3] = 255;
    }
    return Picture::adoptBGRA(width, height, std::move(pixels));
}

std::array<uint8_t, 4> pixelAt(const uint8_t* rgba, int x, int y) {
    const uint8_t* p = rgba + (size_t(y) * 1280 + size_t(x)) * 4;
    return {p[0], p[1], p[2], p[3]};
}

constexpr std::array<uint8_t, 4> kBlack{0, 0, 0, 255};

// Scaling filters may move a channel by a step or two; black borders must stay exact.
bool near(std::array<uint8_t, 4> actual, std::array<uint8_t, 4> expected) {
    for (int i = 0; i < 4; ++i)
        if (std::abs(int(actual[i]) - int(expected[i])) > 3)
            return false;
    return true;
}

// Keeps the camera's status texts in the order they came.
struct StatusLog final : VirtualCameraDelegate {
    void virtualCameraStatusChanged(const std::string& text) override { texts.push_back(text); }
    std::vector<std::string> texts;
};

struct Fixture : ::testing::Test {
    VirtualLoop loop;
    std::shared_ptr<FakeLauncher> launcher = std::make_shared<FakeLauncher>();
    StatusLog statusLog;
    std::vector<std::string>& statuses = statusLog.texts;
    std::unique_ptr<VirtualCamera> camera;

    void SetUp() override { make(); }
    void make(BoundedWriteHooks hooks = {}) {
        VirtualCamera::Options options;
        options.executable = "/opt/zarvo/pixelfeed";
        options.launcher = launcher;
        options.worker = std::make_unique<LoopWorker>(loop);
        options.writeHooks = std::move(hooks);
        camera = std::make_unique<VirtualCamera>(loop, statusLog, std::move(options));
    }
    // The sender's ready line, as it reports it once it reads its input.
    void ready(size_t launch = 0) {
        launcher->launches.at(launch).events.errorOutput(
            "{\"event\":\"ready\",\"message\":\"VirtualCamera4Mac sender ready\"}\n");
        loop.runUntilIdle();
    }
};

constexpr const char* kReady = "系统输出：VirtualCamera4Mac";

using VirtualCameraTest = Fixture;

} // namespace

TEST(VirtualCameraDrawing, PortraitPictureIsFittedCentredOnOpaqueBlack) {
    std::vector<uint8_t> frame(kFrame, 0);
    auto blue = solidPicture(720, 1280, 255, 0, 0);
    drawVirtualCameraFrame(blue.get(), frame.data());
    // 720 × 1280 at scale 0.5625 is 405 × 720, starting at x = 437.
    constexpr std::array<uint8_t, 4> kBlue{0, 0, 255, 255};
    for (int y : {0, 360, 719}) {
        EXPECT_EQ(pixelAt(frame.data(), 436, y), kBlack);
        EXPECT_TRUE(near(pixelAt(frame.data(), 437, y), kBlue));
        EXPECT_TRUE(near(pixelAt(frame.data(), 841, y), kBlue));
        EXPECT_EQ(pixelAt(frame.data(), 842, y), kBlack);
        EXPECT_EQ(pixelAt(frame.data(), 0, y), kBlack);
        EXPECT_EQ(pixelAt(frame.data(), 1279, y), kBlack);
    }
    int coloured = 0;
    for (int x = 0; x < 1280; ++x)
        coloured += pixelAt(frame.data(), x, 100) != kBlack;
    EXPECT_EQ(coloured, 405);
}

TEST(VirtualCameraDrawing, NoPictureIsOpaqueBlackAndSmallPicturesAreScaledUp) {
    std::vector<uint8_t> frame(kFrame, 7);
    drawVirtualCameraFrame(nullptr, frame.data());
    for (size_t i = 0; i < kFrame; i += 4)
        ASSERT_EQ((std::array<uint8_t, 4>{frame[i], frame[i + 1], frame[i + 2], frame[i + 3]}),
                  kBlack);
    // A half-transparent premultiplied pixel over black stays its colour and turns opaque.
    std::vector<uint8_t> pixels = {0, 64, 0, 128, 0, 64, 0, 128, 0, 64, 0, 128, 0, 64, 0, 128};
    auto small = Picture::adoptBGRA(2, 2, pixels);
    drawVirtualCameraFrame(small.get(), frame.data());
    // 2 × 2 fills the height: 720 × 720 in the middle.
    EXPECT_TRUE(near(pixelAt(frame.data(), 640, 360), {0, 64, 0, 255}));
    EXPECT_EQ(pixelAt(frame.data(), 279, 360), kBlack);
    EXPECT_TRUE(near(pixelAt(frame.data(), 280, 0), {0, 64, 0, 255}));
}

// A sender still loading, taking its lock or opening the camera reads nothing; a frame written then
// would hit the half-second write limit on a busy machine and break the output before it started.
TEST_F(VirtualCameraTest, FirstPictureStartsTheSenderWhichGetsFramesOnlyOnceItSaysReady) {
    auto stalledClock = std::make_shared<std::atomic<int64_t>>(0);
    BoundedWriteHooks hooks;
    hooks.clock = [stalledClock] { return Duration(stalledClock->load()); };
    hooks.waitWritable = [stalledClock](int, Duration wait) {
        *stalledClock += wait.count();
        return false;
    };
    launcher->stalledPipe = true;
    make(hooks);
    for (int i = 0; i < 100; ++i) {
        camera->submit(solidPicture(64, 36, 0, 0, 255));
        loop.advance(milliseconds(100));
    }
    ASSERT_EQ(launcher->launches.size(), 1u);
    EXPECT_EQ(*stalledClock, 0) << "a frame was written to a sender that is not ready";
    EXPECT_TRUE(statuses.empty());
    EXPECT_TRUE(camera->hasProcess());
    EXPECT_TRUE(launcher->terminated.empty());

    launcher->stalledPipe = false;
    make();
    statuses.clear();
    camera->submit(solidPicture(1280, 720, 0, 0, 255));
    loop.runUntilIdle();
    ASSERT_EQ(launcher->launches.size(), 2u);
    EXPECT_EQ(launcher->launches[1].executable, "/opt/zarvo/pixelfeed");
    EXPECT_EQ(launcher->launches[1].arguments, std::vector<std::string>{"--virtualcamera4mac"});
    loop.advance(seconds(3.0));
    camera->submit(solidPicture(1280, 720, 0, 0, 255));
    loop.runUntilIdle();
    EXPECT_EQ(launcher->packetCount(1), 0u);
    ready(1);
    ASSERT_EQ(launcher->packetCount(1), 1u) << "the first frame goes as soon as it is ready";
    auto packet = launcher->lastPacket(1);
    EXPECT_EQ((std::vector<uint8_t>(packet.begin(), packet.begin() + 4)),
              (std::vector<uint8_t>{0x00, 0x40, 0x38, 0x00})); // 3686400 little-endian
    EXPECT_EQ(pixelAt(packet.data() + 4, 640, 360), (std::array<uint8_t, 4>{255, 0, 0, 255}));
    loop.advance(milliseconds(400));
    EXPECT_EQ(launcher->packetCount(1), 11u) << "one frame every 40 ms";
    EXPECT_EQ(statuses, std::vector<std::string>{kReady});
}

TEST_F(VirtualCameraTest, PictureOlderThanOneSecondTurnsOpaqueBlack) {
    camera->submit(solidPicture(1280, 720, 0, 255, 0));
    loop.runUntilIdle();
    ready();
    loop.advance(milliseconds(960));
    EXPECT_EQ(pixelAt(launcher->lastPacket().data() + 4, 640, 360),
              (std::array<uint8_t, 4>{0, 255, 0, 255}));
    loop.advance(milliseconds(40)); // exactly 1.0 s old
    auto packet = launcher->lastPacket();
    for (int y : {0, 360, 719})
        for (int x : {0, 640, 1279})
            EXPECT_EQ(pixelAt(packet.data() + 4, x, y), kBlack);
    // A new picture shows again at the next tick.
    camera->submit(solidPicture(1280, 720, 255, 0, 0));
    loop.advance(milliseconds(40));
    EXPECT_EQ(pixelAt(launcher->lastPacket().data() + 4, 640, 360),
              (std::array<uint8_t, 4>{0, 0, 255, 255}));
}

TEST_F(VirtualCameraTest, ManyPicturesQueueOneStartCheck) {
    auto picture = solidPicture(64, 36, 1, 2, 3);
    std::thread rtc([&] {
        for (int i = 0; i < 100; ++i)
            camera->submit(picture);
    });
    rtc.join();
    EXPECT_EQ(loop.pendingCount(), 1u);
    loop.runUntilIdle();
    EXPECT_EQ(launcher->launches.size(), 1u);
    for (int i = 0; i < 30; ++i) {
        camera->submit(picture);
        loop.advance(milliseconds(10));
    }
    EXPECT_EQ(launcher->launches.size(), 1u);
}

TEST_F(VirtualCameraTest, SenderExitBacksOffTenSecondsThenTheNextPictureRestarts) {
    auto picture = solidPicture(64, 36, 1, 2, 3);
    camera->submit(picture);
    loop.runUntilIdle();
    ready();
    launcher->launches[0].events.exited();
    loop.runUntilIdle();
    EXPECT_EQ(statuses, (std::vector<std::string>{kReady, "系统输出已停止，等待重连"}));
    EXPECT_FALSE(camera->hasProcess());
    size_t written = launcher->packetCount();
    for (int i = 0; i < 999; ++i) {
        camera->submit(picture);
        loop.advance(milliseconds(10));
    }
    camera->clear();
    loop.runUntilIdle();
    EXPECT_EQ(launcher->launches.size(), 1u) << "restarted during the back-off";
    EXPECT_EQ(launcher->packetCount(), written) << "the tick kept writing after the exit";
    loop.advance(milliseconds(10)); // now 10 s after the exit
    camera->submit(picture);
    loop.runUntilIdle();
    EXPECT_EQ(launcher->launches.size(), 2u);
    ready(1);
    EXPECT_EQ(launcher->packetCount(1), 1u);
    // The old child's late news no longer counts.
    launcher->launches[0].events.exited();
    launcher->launches[0].events.errorOutput("{\"event\":\"error\",\"message\":\"x\"}\n");
    loop.runUntilIdle();
    EXPECT_TRUE(camera->hasProcess());
    EXPECT_EQ(statuses.size(), 3u);
}

// Each sender's pipe has exactly one tick: a sender that dies between two ticks leaves no pipe
// behind for its successor's frames to fail on, and stop/start cycles never add ticks.
TEST_F(VirtualCameraTest, EveryRestartedSenderGetsOneTickOfItsOwn) {
    auto picture = solidPicture(64, 36, 1, 2, 3);
    camera->submit(picture);
    loop.runUntilIdle();
    ready();
    loop.advance(milliseconds(20));
    launcher->breakInput(0);
    launcher->launches[0].events.exited();
    loop.runUntilIdle();
    for (size_t launch = 1; launch <= 3; ++launch) {
        loop.advance(seconds(10));
        camera->submit(picture);
        loop.runUntilIdle();
        ASSERT_EQ(launcher->launches.size(), launch + 1);
        loop.advance(milliseconds(100)); // the sender starts up
        ready(launch);
        loop.advance(milliseconds(400));
        EXPECT_EQ(launcher->packetCount(launch), 11u) << "launch " << launch;
        launcher->launches[launch].events.exited();
        loop.runUntilIdle();
        loop.advance(seconds(1));
        EXPECT_EQ(launcher->packetCount(launch), 11u) << "the tick outlived sender " << launch;
    }
    EXPECT_EQ(launcher->packetCount(0), 1u);
    EXPECT_TRUE(launcher->terminated.empty());
    const std::string stopped = "系统输出已停止，等待重连";
    EXPECT_EQ(statuses, (std::vector<std::string>{kReady, stopped, kReady, stopped, kReady, stopped,
                                                  kReady, stopped}));
}

TEST_F(VirtualCameraTest, StatusLinesAreRecognisedEvenWhenSplitAcrossReads) {
    camera->clear(); // clear also starts the sender, so the device shows black
    loop.runUntilIdle();
    ASSERT_EQ(launcher->launches.size(), 1u);
    auto& events = launcher->launches[0].events;
    events.errorOutput("{\"event\":\"rea");
    events.errorOutput("dy\",\"message\":\"VirtualCamera4Mac sender ready\"}\n\n");
    events.errorOutput("{\"event\":\"error\",\"message\":\"\xff bad\"}\n");
    events.errorOutput("{\"event\":\"black-fallback\",\"message\":\"x\"}\n");
    loop.runUntilIdle();
    EXPECT_EQ(statuses, (std::vector<std::string>{"系统输出：VirtualCamera4Mac",
                                                  "系统输出不可用，请检查虚拟摄像头"}));
}

TEST_F(VirtualCameraTest, LaunchFailureIsReportedAndTriedAgainWithoutBackOff) {
    launcher->fail = true;
    camera->submit(solidPicture(8, 8, 0, 0, 0));
    loop.runUntilIdle();
    EXPECT_EQ(statuses, std::vector<std::string>{"系统输出启动失败"});
    EXPECT_FALSE(camera->hasProcess());
    launcher->fail = false;
    camera->submit(solidPicture(8, 8, 0, 0, 0));
    loop.runUntilIdle();
    EXPECT_EQ(launcher->launches.size(), 1u);
}

TEST_F(VirtualCameraTest, ClearAndShutdownEndWithOneBlackFrameAndAClosedPipe) {
    camera->submit(solidPicture(1280, 720, 0, 0, 255));
    loop.runUntilIdle();
    ready();
    loop.advance(milliseconds(80));
    camera->clear();
    camera->shutdown();
    size_t written = launcher->packetCount();
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(pixelAt(launcher->lastPacket().data() + 4, 640, 360), kBlack);
    loop.advance(seconds(1));
    EXPECT_EQ(launcher->packetCount(), written) << "the tick outlived shutdown";
}

TEST_F(VirtualCameraTest, StalledReaderNeverHoldsAWriteLongerThanHalfASecond) {
    // Virtual write clock: every wait for the pipe passes the time it asks for.
    auto clock = std::make_shared<std::atomic<int64_t>>(0);
    auto longestWait = std::make_shared<std::atomic<int64_t>>(0);
    BoundedWriteHooks hooks;
    hooks.clock = [clock] { return Duration(clock->load()); };
    hooks.waitWritable = [clock, longestWait](int, Duration wait) {
        *clock += wait.count();
        *longestWait = std::max<int64_t>(*longestWait, wait.count());
        return false;
    };
    launcher->stalledPipe = true;
    make(hooks);
    camera->submit(solidPicture(1280, 720, 0, 0, 255));
    loop.runUntilIdle();
    ready();
    EXPECT_LE(*clock, seconds(0.5).count());
    EXPECT_GE(*clock, seconds(0.48).count());
    EXPECT_LE(*longestWait, milliseconds(20).count());
    EXPECT_EQ(statuses, (std::vector<std::string>{kReady, "系统输出连接中断，已切换黑屏"}));
    // The tick stopped, the pipe closed and the sender was asked to end; the process stays until
    // it is seen to end, and then the back-off applies.
    int64_t spent = *clock;
    loop.advance(seconds(2));
    EXPECT_EQ(*clock, spent);
    EXPECT_TRUE(camera->hasProcess());
    EXPECT_EQ(launcher->terminated, std::vector<pid_t>{1001});
    char byte;
    ::fcntl(launcher->launches[0].pipeReadEnd, F_SETFL, O_NONBLOCK);
    ssize_t n;
    while ((n = ::read(launcher->launches[0].pipeReadEnd, &byte, 1)) > 0) {
    }
    EXPECT_EQ(n, 0) << "the write end is still open";
    EXPECT_EQ(launcher->launches.size(), 1u);
    launcher->launches[0].events.exited();
    loop.runUntilIdle();
    EXPECT_FALSE(camera->hasProcess());
    EXPECT_EQ(camera->retryAfter(), loop.uptime() + seconds(10));
}

// The production worker: destroying the output while its tick is scheduled (no shutdown first)
// stops it cleanly, and every frame in the pipe is whole.
TEST(VirtualCameraOnItsQueue, DestroyedWhileTickingLeavesOnlyWholeFrames) {
    VirtualLoop loop;
    auto launcher = std::make_shared<FakeLauncher>();
    {
        VirtualCamera::Options options;
        options.executable = "/opt/zarvo/pixelfeed";
        options.launcher = launcher;
        StatusLog statuses;
        VirtualCamera camera(loop, statuses, std::move(options));
        camera.submit(solidPicture(1280, 720, 0, 0, 255));
        loop.runUntilIdle();
        ASSERT_EQ(launcher->launches.size(), 1u);
        launcher->launches[0].events.errorOutput(
            "{\"event\":\"ready\",\"message\":\"VirtualCamera4Mac sender ready\"}\n");
        loop.runUntilIdle();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (launcher->packetCount() < 3 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_GE(launcher->packetCount(), 3u) << "the tick does not run";
    }
    EXPECT_EQ(std::filesystem::file_size(launcher->launches[0].file) % (4 + kFrame), 0u);
    EXPECT_EQ(pixelAt(launcher->lastPacket().data() + 4, 640, 360),
              (std::array<uint8_t, 4>{255, 0, 0, 255}));
}

TEST(BoundedWrite, BrokenPipeFailsAtOnceInsteadOfEndingTheProcess) {
    std::signal(SIGPIPE, SIG_IGN);
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::close(ends[0]);
    std::vector<uint8_t> data(100, 1);
    int waits = 0;
    BoundedWriteHooks hooks{[] { return Duration(0); },
                            [&](int, Duration) { return ++waits, false; }};
    EXPECT_FALSE(writeBounded(ends[1], data.data(), data.size(), seconds(0.5), hooks));
    EXPECT_EQ(waits, 0);
    ::close(ends[1]);
}

// A sender on a busy machine takes a frame in pieces with long gaps between them. It is slow, not
// stalled: the half-second limit counts from the last byte taken, with a cap of 2 s for the frame.
TEST(BoundedWrite, AReaderThatKeepsTakingBytesGetsTheFrameUpToTheCap) {
    auto attempt = [](size_t bytes) {
        int ends[2];
        EXPECT_EQ(::pipe(ends), 0);
        ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
        ::fcntl(ends[1], F_SETPIPE_SZ, 64 * 1024);
        Duration now{0}, nextRead = milliseconds(300);
        BoundedWriteHooks hooks;
        hooks.clock = [&] { return now; };
        // The reader wakes every 300 ms and takes 64 KiB.
        hooks.waitWritable = [&](int, Duration wait) {
            now += wait;
            if (now >= nextRead) {
                std::vector<uint8_t> chunk(64 * 1024);
                EXPECT_GT(::read(ends[0], chunk.data(), chunk.size()), 0);
                nextRead += milliseconds(300);
            }
            return true;
        };
        std::vector<uint8_t> data(bytes, 9);
        bool written = writeBounded(ends[1], data.data(), data.size(), seconds(0.5), hooks);
        ::close(ends[0]);
        ::close(ends[1]);
        return std::make_pair(written, now);
    };
    auto [slowOk, slowTook] = attempt(6 * 64 * 1024);
    EXPECT_TRUE(slowOk);
    EXPECT_GT(slowTook, seconds(1.0));
    auto [tooSlowOk, tooSlowTook] = attempt(size_t(1) << 20);
    EXPECT_FALSE(tooSlowOk);
    EXPECT_LE(tooSlowTook, seconds(2.0));
    EXPECT_GE(tooSlowTook, seconds(1.98));
}

// The writer itself gets no time for longer than the limit (a starved machine) while the reader
// empties the pipe: the reader took the bytes, so the frame goes on instead of failing.
TEST(BoundedWrite, TimeTheWriterLostIsNotCountedAgainstAReaderThatTookTheBytes) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
    ::fcntl(ends[1], F_SETPIPE_SZ, 64 * 1024);
    Duration now{0};
    BoundedWriteHooks hooks;
    hooks.clock = [&] { return now; };
    hooks.waitWritable = [&](int, Duration wait) {
        std::vector<uint8_t> chunk(64 * 1024);
        EXPECT_GT(::read(ends[0], chunk.data(), chunk.size()), 0);
        now += wait + milliseconds(600); // woken late, long after the reader made room
        return true;
    };
    std::vector<uint8_t> data(3 * 64 * 1024, 7);
    EXPECT_TRUE(writeBounded(ends[1], data.data(), data.size(), seconds(0.5), hooks));
    ::close(ends[0]);
    ::close(ends[1]);
}

TEST(FrameSenderProcess, DeliversErrorOutputThenExitAndCanBeTerminated) {
    auto launcher = makeProcessFrameSenderLauncher();
    std::mutex mutex;
    std::condition_variable changed;
    std::string errors;
    int exits = 0;
    FrameSenderEvents events;
    events.errorOutput = [&](std::string bytes) {
        std::lock_guard guard(mutex);
        errors += bytes;
    };
    events.exited = [&] {
        std::lock_guard guard(mutex);
        ++exits;
        changed.notify_all();
    };
    auto talker = launcher->launch("/bin/sh", {"-c", "echo hello >&2"}, events);
    ASSERT_TRUE(talker.ok());
    ::close(talker->input);
    {
        std::unique_lock guard(mutex);
        ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(20), [&] { return exits == 1; }));
        EXPECT_EQ(errors, "hello\n");
    }
    auto sleeper = launcher->launch("/bin/sleep", {"30"}, events);
    ASSERT_TRUE(sleeper.ok());
    launcher->terminate(sleeper->pid);
    std::unique_lock guard(mutex);
    EXPECT_TRUE(changed.wait_for(guard, std::chrono::seconds(20), [&] { return exits == 2; }));
    ::close(sleeper->input);
}

TEST(VirtualCameraDevice, FoundByCardLabelInAnyLetterCase) {
    char pattern[] = "/tmp/virtual-camera-sysfs-XXXXXX";
    std::filesystem::path root = ::mkdtemp(pattern);
    EXPECT_EQ(VirtualCamera::availableDeviceName(root), std::nullopt);
    std::filesystem::create_directories(root / "video4");
    std::ofstream(root / "video4" / "name") << "VIRTUALCAMERA4MAC\n";
    EXPECT_EQ(VirtualCamera::availableDeviceName(root), "VirtualCamera4Mac");
    std::filesystem::remove_all(root);
}

// The real sender, started the way the application starts it. There is no loopback device here,
// so it reports an error and ends; both must reach the status texts.
TEST(VirtualCameraWithSender, ReportsTheSendersErrorAndItsEnd) {
    if (VirtualCamera::availableDeviceName())
        GTEST_SKIP() << "a loopback device exists here, so the sender would not fail";
    char pattern[] = "/tmp/virtual-camera-home-XXXXXX";
    std::filesystem::path home = ::mkdtemp(pattern);
    ::setenv("XDG_DATA_HOME", home.c_str(), 1);
    // No PipeWire daemon answers in an empty runtime folder: the loopback path, as before.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string savedRuntime = runtime ? runtime : "";
    ::setenv("XDG_RUNTIME_DIR", home.c_str(), 1);
    VirtualLoop loop;
    StatusLog statusLog;
    std::vector<std::string>& statuses = statusLog.texts;
    {
        VirtualCamera::Options options;
        options.executable = PIXELFEED_EXECUTABLE;
        options.worker = std::make_unique<LoopWorker>(loop);
        VirtualCamera camera(loop, statusLog, std::move(options));
        camera.clear();
        EXPECT_TRUE(camera.hasProcess());
        EXPECT_TRUE(loop.runUntil([&] { return !camera.hasProcess(); }));
        EXPECT_GE(camera.retryAfter(), loop.uptime() + seconds(9.9));
    }
    ::unsetenv("XDG_DATA_HOME");
    if (runtime)
        ::setenv("XDG_RUNTIME_DIR", savedRuntime.c_str(), 1);
    else
        ::unsetenv("XDG_RUNTIME_DIR");
    std::filesystem::remove_all(home);
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "系统输出不可用，请检查虚拟摄像头"),
              statuses.end());
    // A tick may also have met the closed pipe; its report can come either side of the end.
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "系统输出已停止，等待重连"),
              statuses.end());
}
