// The sender's core in process: the pipe reader, the conversion, the status lines and the frame
// loop against a device double, all in virtual time.
#include "pixelfeed/pixelfeed.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <deque>
#include <variant>

using namespace pixelfeed;
using namespace std::chrono_literals;

namespace {

// Input in scripted steps: bytes (read as fast as asked), silence (each wait passes its limit in
// virtual time), or the end of input.
struct ScriptedSource : ByteSource {
    struct Silence {
        std::chrono::nanoseconds length;
    };
    struct End {};
    using Step = std::variant<std::vector<uint8_t>, Silence, End>;

    std::deque<Step> steps;
    std::chrono::nanoseconds now{0};
    std::vector<size_t> readSizes;
    size_t bytesRead = 0;

    Clock clock() {
        return [this] { return now; };
    }
    void bytes(std::vector<uint8_t> data) { steps.emplace_back(std::move(data)); }
    void header(uint32_t length) {
        bytes(
            {uint8_t(length), uint8_t(length >> 8), uint8_t(length >> 16), uint8_t(length >> 24)});
    }
    void frame(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
        header(uint32_t(kFrameBytes));
        std::vector<uint8_t> pixels(kFrameBytes);
        for (size_t i = 0; i < kFrameBytes; i += 4) {
            pixels[i] = r;
            pixels[i + 1] = g;
            pixels[i + 2] = b;
            pixels[i + 3] = a;
        }
        bytes(std::move(pixels));
    }

    Wait waitReadable(std::chrono::milliseconds limit) override {
        if (steps.empty())
            return Wait::Readable; // nothing scripted: the end
        if (auto* silence = std::get_if<Silence>(&steps.front())) {
            auto step = std::min<std::chrono::nanoseconds>(limit, silence->length);
            now += step;
            silence->length -= step;
            if (silence->length <= 0ns)
                steps.pop_front();
            return Wait::TimedOut;
        }
        return Wait::Readable;
    }
    long read(uint8_t* into, size_t max) override {
        readSizes.push_back(max);
        if (steps.empty() || std::holds_alternative<End>(steps.front()))
            return 0;
        auto& data = std::get<std::vector<uint8_t>>(steps.front());
        size_t n = std::min(max, data.size());
        std::memcpy(into, data.data(), n);
        data.erase(data.begin(), data.begin() + long(n));
        if (data.empty())
            steps.pop_front();
        bytesRead += n;
        return long(n);
    }
};

struct RecordingReporter : Reporter {
    std::vector<std::pair<std::string, std::string>> lines;
    void report(const std::string& event, const std::string& message) override {
        lines.emplace_back(event, message);
    }
    size_t count(const std::string& event) const {
        size_t n = 0;
        for (const auto& line : lines)
            n += line.first == event;
        return n;
    }
};

struct FakeDevice : FrameDevice {
    std::vector<bool> busyAnswers; // consumed one per frame; empty means never busy
    bool accept = true;
    std::vector<std::array<uint8_t, 4>> firstPixels;
    bool busy() override {
        if (busyAnswers.empty())
            return false;
        bool answer = busyAnswers.front();
        busyAnswers.erase(busyAnswers.begin());
        return answer;
    }
    bool deliver(const uint8_t* bgra) override {
        firstPixels.push_back({bgra[0], bgra[1], bgra[2], bgra[3]});
        return accept;
    }
};

struct LoopRun {
    ScriptedSource source;
    RecordingReporter reporter;
    std::vector<std::chrono::nanoseconds> sleeps;
    int blackFramesWanted = 3;
    std::vector<std::pair<std::chrono::nanoseconds, size_t>> readingAt; // time, bytes read by then

    FrameCounters run(FrameDevice* device, SenderTarget target = {"VirtualCamera4Mac", 30}) {
        FrameLoopHooks hooks;
        hooks.clock = source.clock();
        hooks.sleep = [this](std::chrono::nanoseconds d) {
            sleeps.push_back(d);
            source.now += d;
        };
        hooks.keepRunning = [this] { return int(sleeps.size()) < blackFramesWanted; };
        hooks.reading = [this] { readingAt.push_back({source.now, source.bytesRead}); };
        return runFrameLoop(source, device, target, reporter, hooks);
    }
};

} // namespace

TEST(StatusLine, IsOneObjectWithEventAndMessageOnOneLine) {
    std::string line = statusLine("error", "bad \"label\"\nnext \xff");
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "a message line feed must stay escaped";
    auto parsed = nlohmann::json::parse(line);
    ASSERT_TRUE(parsed.is_object());
    EXPECT_EQ(parsed.size(), 2u);
    EXPECT_EQ(parsed["event"], "error");
    EXPECT_TRUE(parsed["message"].get<std::string>().starts_with("bad \"label\"\nnext "));
}

TEST(Arguments, FlagsAnywhereChooseModeAndTarget) {
    auto parsed = parseArguments({"--other", "--virtualcamera4mac", "x", "--validate"});
    EXPECT_TRUE(parsed.validate);
    EXPECT_EQ(targetFor(parsed).deviceName, "VirtualCamera4Mac");
    EXPECT_EQ(targetFor(parsed).frameRate, 30);
    auto plain = parseArguments({"--VALIDATE"});
    EXPECT_FALSE(plain.validate);
    EXPECT_EQ(targetFor(plain).deviceName, "Zarvo虚拟摄像头");
    EXPECT_EQ(targetFor(plain).frameRate, 25);
}

TEST(ReadExactly, CollectsChunksOfAtMost64KiB) {
    ScriptedSource source;
    source.bytes(std::vector<uint8_t>(100, 1));
    source.bytes(std::vector<uint8_t>(200'000, 2));
    std::vector<uint8_t> into(200'100);
    ASSERT_TRUE(readExactly(source, into.data(), into.size(), source.clock()));
    EXPECT_EQ(into[99], 1);
    EXPECT_EQ(into[100], 2);
    EXPECT_EQ(into.back(), 2);
    for (size_t size : source.readSizes)
        EXPECT_LE(size, kReadChunk);
}

TEST(ReadExactly, SilenceOfOneSecondEndsTheInputButShorterPausesDoNot) {
    ScriptedSource patient;
    patient.bytes({1, 2});
    patient.steps.emplace_back(ScriptedSource::Silence{900ms});
    patient.bytes({3, 4});
    uint8_t four[4];
    EXPECT_TRUE(readExactly(patient, four, 4, patient.clock()));

    ScriptedSource silent;
    silent.bytes({1, 2});
    silent.steps.emplace_back(ScriptedSource::Silence{5s});
    silent.bytes({3, 4});
    EXPECT_FALSE(readExactly(silent, four, 4, silent.clock()));
    EXPECT_LE(silent.now, 1100ms) << "gave up late";
    EXPECT_GE(silent.now, 1s) << "gave up early";
}

TEST(ReadExactly, EndOfInputAndErrorsAnswerNone) {
    ScriptedSource ended;
    ended.bytes({1, 2, 3});
    ended.steps.emplace_back(ScriptedSource::End{});
    uint8_t four[4];
    EXPECT_FALSE(readExactly(ended, four, 4, ended.clock()));

    struct Interrupted : ScriptedSource {
        int interruptions = 2;
        long read(uint8_t* into, size_t max) override {
            if (interruptions-- > 0) {
                errno = EINTR;
                return -1;
            }
            return ScriptedSource::read(into, max);
        }
    } interrupted;
    interrupted.bytes({1, 2, 3, 4});
    EXPECT_TRUE(readExactly(interrupted, four, 4, interrupted.clock()));

    struct Broken : ScriptedSource {
        long read(uint8_t*, size_t) override {
            errno = EIO;
            return -1;
        }
    } broken;
    EXPECT_FALSE(readExactly(broken, four, 4, broken.clock()));
}

TEST(RGBABuffer, SwapsRedAndBlueEverywhereAndRejectsOtherSizes) {
    std::vector<uint8_t> rgba(kFrameBytes);
    for (size_t i = 0; i < kFrameBytes; i += 4) {
        rgba[i] = uint8_t(i / 4);     // R
        rgba[i + 1] = 7;              // G
        rgba[i + 2] = uint8_t(i / 8); // B
        rgba[i + 3] = 200;            // A
    }
    std::vector<uint8_t> bgra;
    rgbaBuffer(rgba.data(), rgba.size(), bgra);
    ASSERT_EQ(bgra.size(), kFrameBytes);
    for (size_t i : {size_t(0), size_t(4 * 1279), size_t(4 * 1280), kFrameBytes - 4}) {
        EXPECT_EQ(bgra[i], rgba[i + 2]);
        EXPECT_EQ(bgra[i + 1], rgba[i + 1]);
        EXPECT_EQ(bgra[i + 2], rgba[i]);
        EXPECT_EQ(bgra[i + 3], rgba[i + 3]);
    }
    try {
        rgbaBuffer(rgba.data(), kFrameBytes - 1, bgra);
        FAIL() << "a short frame was converted";
    } catch (const Failure& failure) {
        EXPECT_STREQ(failure.what(), "Expected 1280x720 RGBA");
    }
}

TEST(FrameLoop, ValidationReportsFirstPixelOnceAndCountsFrames) {
    LoopRun run;
    run.source.frame(255, 0, 0, 255);
    run.source.frame(0, 255, 0, 255);
    run.source.steps.emplace_back(ScriptedSource::End{});
    auto counters = run.run(nullptr);
    EXPECT_EQ(counters.sent, 2);
    ASSERT_EQ(run.reporter.lines.size(), 2u);
    EXPECT_EQ(run.reporter.lines[0],
              std::make_pair(std::string("validation-pixel"), std::string("BGRA=0,0,255,255")));
    EXPECT_EQ(run.reporter.lines[1],
              std::make_pair(std::string("closed"), std::string("sent=2 dropped=0")));
}

TEST(FrameLoop, BusyDeviceDropsTheFrameInsteadOfQueueingIt) {
    LoopRun run;
    run.blackFramesWanted = 1;
    run.source.frame(255, 0, 0, 255);
    run.source.frame(0, 0, 255, 255);
    run.source.frame(0, 255, 0, 255);
    run.source.steps.emplace_back(ScriptedSource::End{});
    FakeDevice device;
    device.busyAnswers = {false, true, false};
    auto counters = run.run(&device);
    // Red, then blue dropped, then green, then black after the end; the device gets the pipe's
    // RGBA.
    ASSERT_GE(device.firstPixels.size(), 2u);
    EXPECT_EQ(device.firstPixels[0], (std::array<uint8_t, 4>{255, 0, 0, 255}));
    EXPECT_EQ(device.firstPixels[1], (std::array<uint8_t, 4>{0, 255, 0, 255}));
    EXPECT_EQ(counters.dropped, 1);

    LoopRun refusing;
    refusing.blackFramesWanted = 2;
    refusing.source.frame(255, 0, 0, 255);
    refusing.source.steps.emplace_back(ScriptedSource::End{});
    FakeDevice full;
    full.accept = false;
    auto refused = refusing.run(&full);
    EXPECT_EQ(refused.sent, 0);
    EXPECT_EQ(refused.dropped, 3) << "a frame the device refuses counts as dropped";
}

TEST(FrameLoop, AfterTheInputEndsTheDeviceGetsOpaqueBlackAtTheFrameRate) {
    LoopRun run;
    run.blackFramesWanted = 4;
    run.source.frame(255, 0, 0, 255);
    run.source.steps.emplace_back(ScriptedSource::End{});
    run.source.frame(0, 255, 0, 255); // after the end: never read
    FakeDevice device;
    auto counters = run.run(&device, {"Zarvo虚拟摄像头", 25});
    EXPECT_EQ(run.reporter.lines.size(), 0u) << "a plain end of input is not reported";
    ASSERT_EQ(device.firstPixels.size(), 5u);
    for (size_t i = 1; i < device.firstPixels.size(); ++i)
        EXPECT_EQ(device.firstPixels[i], (std::array<uint8_t, 4>{0, 0, 0, 255}));
    for (auto sleep : run.sleeps)
        EXPECT_EQ(sleep, 40ms);
    EXPECT_EQ(counters.sent, 5);
    EXPECT_EQ(run.source.bytesRead, 4 + kFrameBytes);
}

// The application writes its first frame only after our ready line has reached it, which on a
// busy machine can be seconds later. That wait must not count as the input's end (it would leave
// the camera black for good); once frames flow, a second of silence still ends the input.
TEST(FrameLoop, DeviceShowsBlackUntilALateFirstFrameAndOnlyThenSilenceEndsTheInput) {
    LoopRun run;
    run.blackFramesWanted = 3;
    run.source.steps.emplace_back(ScriptedSource::Silence{5s});
    run.source.frame(255, 0, 0, 255);
    run.source.steps.emplace_back(ScriptedSource::Silence{2s});
    run.source.frame(0, 255, 0, 255); // after a silence of more than 1 s: never read
    FakeDevice device;
    auto counters = run.run(&device, {"Zarvo虚拟摄像头", 25});
    constexpr std::array<uint8_t, 4> kBlack{0, 0, 0, 255}, kRed{255, 0, 0, 255};
    // 5 s of waiting at 25 frames a second, the red frame, then black at the frame rate.
    ASSERT_EQ(device.firstPixels.size(), 125u + 1 + 3);
    for (size_t i = 0; i < 125; ++i)
        ASSERT_EQ(device.firstPixels[i], kBlack) << i;
    EXPECT_EQ(device.firstPixels[125], kRed);
    for (size_t i = 126; i < device.firstPixels.size(); ++i)
        EXPECT_EQ(device.firstPixels[i], kBlack);
    EXPECT_EQ(run.source.bytesRead, 4 + kFrameBytes);
    EXPECT_TRUE(run.reporter.lines.empty());
    EXPECT_EQ(counters.sent, 129);
    // Ready is said once, before the first wait for input.
    EXPECT_EQ(run.readingAt, (std::vector<std::pair<std::chrono::nanoseconds, size_t>>{{0s, 0}}));

    // Validation mode keeps the plain rule: a second of silence from the start is the end.
    LoopRun validation;
    validation.source.steps.emplace_back(ScriptedSource::Silence{2s});
    validation.source.frame(255, 0, 0, 255);
    validation.run(nullptr);
    ASSERT_EQ(validation.reporter.lines.size(), 1u);
    EXPECT_EQ(validation.reporter.lines[0].second, "sent=0 dropped=0");
}

TEST(FrameLoop, InvalidOrShortFramesFallBackToBlackAndStopReading) {
    LoopRun wrongLength;
    wrongLength.source.header(uint32_t(kFrameBytes + 1));
    wrongLength.source.frame(255, 0, 0, 255);
    FakeDevice device;
    wrongLength.run(&device);
    EXPECT_EQ(wrongLength.reporter.count("black-fallback"), 1u);
    EXPECT_EQ(wrongLength.source.bytesRead, 4u) << "nothing is read after a bad header";
    for (const auto& pixel : device.firstPixels)
        EXPECT_EQ(pixel, (std::array<uint8_t, 4>{0, 0, 0, 255}));

    LoopRun cut;
    cut.source.header(uint32_t(kFrameBytes));
    cut.source.bytes(std::vector<uint8_t>(1000, 255));
    cut.source.steps.emplace_back(ScriptedSource::End{});
    cut.run(nullptr);
    ASSERT_EQ(cut.reporter.lines.size(), 2u);
    EXPECT_EQ(cut.reporter.lines[0].first, "black-fallback");
    EXPECT_EQ(cut.reporter.lines[0].second, "Incomplete or invalid frame; output black");
    EXPECT_EQ(cut.reporter.lines[1].second, "sent=0 dropped=0");
}
