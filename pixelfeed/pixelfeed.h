// The frame sender's core: the frame pipe reader, the RGBA → BGRA conversion, the status lines and
// the frame loop that hands frames to a device. The device itself sits behind FrameDevice so the
// loop runs the same against V4L2 and against a test double.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace pixelfeed {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr size_t kFrameBytes = size_t(kWidth) * kHeight * 4; // 3686400
constexpr size_t kReadChunk = 64 * 1024;

// The only error type of the sender; its message becomes the "error" status line.
class Failure : public std::runtime_error {
public:
    explicit Failure(const std::string& message) : std::runtime_error(message) {}
};

using Clock = std::function<std::chrono::nanoseconds()>;
std::chrono::nanoseconds monotonicNow();

// One JSON object with the members "event" and "message", followed by a line feed.
std::string statusLine(const std::string& event, const std::string& message);

class Reporter {
public:
    virtual ~Reporter() = default;
    virtual void report(const std::string& event, const std::string& message) = 0;
};

// Writes each status line to a descriptor (standard error) in one write, so lines never interleave.
class FdReporter final : public Reporter {
public:
    explicit FdReporter(int fd) : fd_(fd) {}
    void report(const std::string& event, const std::string& message) override;

private:
    int fd_;
};

struct Arguments {
    bool validate = false;
    bool virtualCamera4Mac = false;
};
Arguments parseArguments(const std::vector<std::string>& arguments);

struct SenderTarget {
    std::string deviceName; // also the card label the device is found by
    int frameRate = 25;
};
SenderTarget targetFor(const Arguments& arguments);

// Which virtual camera the sender feeds. PipeWire needs no kernel module and no root, so it is
// preferred whenever a daemon answers; the loopback device stays for desktops without one.
enum class OutputKind { PipeWire, Loopback };
enum class OutputPreference { Automatic, PipeWire, Loopback };

// The environment variable that forces an output: "pipewire" or "v4l2loopback"; any other value
// (or none) chooses automatically.
inline constexpr const char* kOutputVariable = "ZARVO_VIRTUAL_CAMERA_OUTPUT";
OutputPreference parseOutputPreference(const char* value);
// `pipeWireAnswers` is asked only when the choice depends on it.
OutputKind chooseOutput(OutputPreference preference, const std::function<bool()>& pipeWireAnswers);

// Where frame bytes come from: standard input in production.
class ByteSource {
public:
    enum class Wait { Readable, TimedOut, Interrupted, Failed };
    virtual ~ByteSource() = default;
    virtual Wait waitReadable(std::chrono::milliseconds limit) = 0;
    // Like read(2): bytes read, 0 at end of input, -1 with errno set.
    virtual long read(uint8_t* into, size_t max) = 0;
};

class FdByteSource final : public ByteSource {
public:
    explicit FdByteSource(int fd) : fd_(fd) {}
    Wait waitReadable(std::chrono::milliseconds limit) override;
    long read(uint8_t* into, size_t max) override;

private:
    int fd_;
};

// Fills `into` with exactly n bytes, reading at most 64 KiB at a time. False when the input ends,
// fails, or the n bytes have not all arrived within 1 s: a silent input counts as ended.
bool readExactly(ByteSource& source, uint8_t* into, size_t n, const Clock& clock = monotonicNow);

// RGBA pipe pixels → BGRA frame (1280 × 720, 5120 bytes a row). Throws on a wrong size.
void rgbaBuffer(const uint8_t* data, size_t size, std::vector<uint8_t>& bgra);

// A virtual-camera device. It takes the frames as the pipe carries them (RGBA), so a device that
// needs another format converts each frame in one pass.
class FrameDevice {
public:
    virtual ~FrameDevice() = default;
    // True while the device still holds an earlier frame it has not taken.
    virtual bool busy() = 0;
    // Hands one 1280 × 720 RGBA frame over; false when the device refused it.
    virtual bool deliver(const uint8_t* rgba) = 0;
    virtual void stop() {}
};

struct FrameCounters {
    int64_t sent = 0;
    int64_t dropped = 0;
};

struct FrameLoopHooks {
    Clock clock = monotonicNow;
    std::function<void(std::chrono::nanoseconds)> sleep;
    // Device mode runs until terminated; tests end it here.
    std::function<bool()> keepRunning = [] { return true; };
    // Called once the loop is set up, just before it first waits for input: the moment to say
    // ready, since the writer counts how long its bytes sit unread from then on.
    std::function<void()> reading;
};

// Validation mode when `device` is null: reports the first pixel, counts frames and ends with
// "closed" when the input ends. Device mode: black at the frame rate until the first frame comes
// (the writer may start later than we do; waiting costs nothing, the device shows black either
// way), and again for good once the input ends.
FrameCounters runFrameLoop(ByteSource& input, FrameDevice* device, const SenderTarget& target,
                           Reporter& reporter, const FrameLoopHooks& hooks = {});

} // namespace pixelfeed
