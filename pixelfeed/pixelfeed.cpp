#include "pixelfeed/pixelfeed.h"

#include <nlohmann/json.hpp>

#include <libyuv/convert_argb.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace pixelfeed {

std::chrono::nanoseconds monotonicNow() {
    return std::chrono::steady_clock::now().time_since_epoch();
}

std::string statusLine(const std::string& event, const std::string& message) {
    nlohmann::json line = {{"event", event}, {"message", message}};
    // Messages can carry device labels from outside; bad UTF-8 must not break the line.
    return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

void FdReporter::report(const std::string& event, const std::string& message) {
    std::string line = statusLine(event, message);
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += size_t(n);
    }
}

Arguments parseArguments(const std::vector<std::string>& arguments) {
    Arguments parsed;
    for (const auto& argument : arguments) {
        if (argument == "--validate")
            parsed.validate = true;
        else if (argument == "--virtualcamera4mac")
            parsed.virtualCamera4Mac = true;
    }
    return parsed;
}

SenderTarget targetFor(const Arguments& arguments) {
    if (arguments.virtualCamera4Mac)
        return {"VirtualCamera4Mac", 30};
    return {"Zarvo虚拟摄像头", 25};
}

OutputPreference parseOutputPreference(const char* value) {
    std::string text = value ? value : "";
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    if (text == "pipewire")
        return OutputPreference::PipeWire;
    if (text == "v4l2loopback" || text == "loopback" || text == "v4l2")
        return OutputPreference::Loopback;
    return OutputPreference::Automatic;
}

OutputKind chooseOutput(OutputPreference preference, const std::function<bool()>& pipeWireAnswers) {
    switch (preference) {
    case OutputPreference::PipeWire:
        return OutputKind::PipeWire;
    case OutputPreference::Loopback:
        return OutputKind::Loopback;
    case OutputPreference::Automatic:
        break;
    }
    return pipeWireAnswers() ? OutputKind::PipeWire : OutputKind::Loopback;
}

ByteSource::Wait FdByteSource::waitReadable(std::chrono::milliseconds limit) {
    pollfd p{fd_, POLLIN, 0};
    int n = ::poll(&p, 1, int(limit.count()));
    if (n > 0)
        return Wait::Readable; // includes hang-up: the read then reports the end
    if (n == 0)
        return Wait::TimedOut;
    return errno == EINTR ? Wait::Interrupted : Wait::Failed;
}

long FdByteSource::read(uint8_t* into, size_t max) {
    return long(::read(fd_, into, max));
}

bool readExactly(ByteSource& source, uint8_t* into, size_t n, const Clock& clock) {
    const auto deadline = clock() + std::chrono::seconds(1);
    size_t have = 0;
    while (have < n) {
        if (clock() >= deadline)
            return false;
        switch (source.waitReadable(std::chrono::milliseconds(100))) {
        case ByteSource::Wait::TimedOut:
        case ByteSource::Wait::Interrupted:
            continue;
        case ByteSource::Wait::Failed:
            return false;
        case ByteSource::Wait::Readable:
            break;
        }
        long got = source.read(into + have, std::min(n - have, kReadChunk));
        if (got > 0) {
            have += size_t(got);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN)
            continue; // a spurious wake-up on a non-blocking input
        return false;
    }
    return true;
}

void rgbaBuffer(const uint8_t* data, size_t size, std::vector<uint8_t>& bgra) {
    if (size != kFrameBytes || !data)
        throw Failure("Expected 1280x720 RGBA");
    bgra.resize(kFrameBytes);
    // libyuv names formats by little-endian words: its "ABGR" is bytes R,G,B,A, "ARGB" is B,G,R,A.
    if (libyuv::ABGRToARGB(data, kWidth * 4, bgra.data(), kWidth * 4, kWidth, kHeight) != 0)
        throw Failure("No pixel buffer");
}

namespace {

uint32_t littleEndian32(const uint8_t* b) {
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

} // namespace

FrameCounters runFrameLoop(ByteSource& input, FrameDevice* device, const SenderTarget& target,
                           Reporter& reporter, const FrameLoopHooks& hooks) {
    const bool validate = device == nullptr;
    FrameCounters counters;
    bool stopped = false;
    bool reportedPixel = false;
    bool firstFrameSeen = false;
    std::vector<uint8_t> frame(kFrameBytes);
    std::vector<uint8_t> converted(kFrameBytes);
    // Opaque black, built once.
    std::vector<uint8_t> black(kFrameBytes, 0);
    for (size_t i = 3; i < kFrameBytes; i += 4)
        black[i] = 255;
    const auto frameInterval =
        std::chrono::nanoseconds(1'000'000'000 / std::max(1, target.frameRate));
    auto sleep = hooks.sleep ? hooks.sleep
                             : [](std::chrono::nanoseconds d) { std::this_thread::sleep_for(d); };

    if (hooks.reading)
        hooks.reading();
    while (hooks.keepRunning()) {
        const uint8_t* pixels = nullptr;
        if (!stopped && !validate && !firstFrameSeen) {
            // The 1 s silence rule starts with the first frame: before it, a writer still starting
            // up would otherwise leave us black for good.
            auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(frameInterval);
            auto wait = input.waitReadable(std::max(limit, std::chrono::milliseconds(1)));
            if (wait == ByteSource::Wait::Interrupted)
                continue;
            if (wait == ByteSource::Wait::Failed)
                stopped = true;
            else if (wait == ByteSource::Wait::TimedOut)
                pixels = black.data();
        }
        if (!stopped && !pixels) {
            firstFrameSeen = true;
            uint8_t header[4];
            if (!readExactly(input, header, 4, hooks.clock)) {
                stopped = true;
            } else if (littleEndian32(header) != kFrameBytes) {
                reporter.report("black-fallback", "Incomplete or invalid frame; output black");
                stopped = true;
            } else if (!readExactly(input, frame.data(), kFrameBytes, hooks.clock)) {
                reporter.report("black-fallback", "Incomplete or invalid frame; output black");
                stopped = true;
            }
        }
        if (stopped) {
            if (validate) {
                reporter.report("closed", "sent=" + std::to_string(counters.sent) +
                                              " dropped=" + std::to_string(counters.dropped));
                return counters;
            }
            sleep(frameInterval);
            pixels = black.data();
        }
        if (device && device->busy()) {
            ++counters.dropped;
            continue;
        }
        if (!pixels)
            pixels = frame.data();
        if (validate) {
            if (!reportedPixel) {
                rgbaBuffer(pixels, kFrameBytes, converted);
                const uint8_t* bgra = converted.data();
                reportedPixel = true;
                reporter.report("validation-pixel",
                                "BGRA=" + std::to_string(bgra[0]) + "," + std::to_string(bgra[1]) +
                                    "," + std::to_string(bgra[2]) + "," + std::to_string(bgra[3]));
            }
            ++counters.sent;
            continue;
        }
        if (device->deliver(pixels))
            ++counters.sent;
        else
            ++counters.dropped;
    }
    if (device)
        device->stop();
    return counters;
}

} // namespace pixelfeed
