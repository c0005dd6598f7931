// pixelfeed's frame reader: a byte stream into its reading loop (validation mode, no device). The
// input decides how the pipe behaves (short reads, time-outs, interruptions, failures) and which
// bytes it carries; the loop must end cleanly whatever arrives.
#include "fuzz/fuzz_support.h"
#include "pixelfeed/pixelfeed.h"

#include <cerrno>
#include <cstring>

namespace {

using namespace std::chrono;

struct ScriptedSource final : pixelfeed::ByteSource {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    nanoseconds* now;
    int steps = 0;

    uint8_t next() { return at < size ? data[at++] : 0; }

    Wait waitReadable(milliseconds limit) override {
        if (at >= size || ++steps > 64)
            return Wait::Readable; // the read then reports the end
        switch (next() % 8) {
        case 0:
            *now += limit;
            return Wait::TimedOut;
        case 1:
            return Wait::Interrupted;
        case 2:
            return Wait::Failed;
        default:
            return Wait::Readable;
        }
    }

    long read(uint8_t* into, size_t max) override {
        if (at >= size || steps > 64)
            return 0;
        const uint8_t control = next();
        if (control == 0xff) {
            errno = EINTR;
            return -1;
        }
        if (control == 0xfe) {
            errno = EIO;
            return -1;
        }
        // Whole frames cost little to make, so a few steps reach past the first frame.
        size_t n = control < 0x80 ? size_t(control) * 1024 + 1 : size_t(control - 0x7f) * 64 * 1024;
        n = std::min(n, max);
        for (size_t i = 0; i < n; i++)
            into[i] = data[(at + i) % size];
        *now += microseconds(control);
        return long(n);
    }
};

struct Silent final : pixelfeed::Reporter {
    void report(const std::string& event, const std::string& message) override {
        ZARVO_FUZZ_CHECK(!event.empty());
        (void)message;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nanoseconds now{0};
    ScriptedSource source;
    source.data = data;
    source.size = size;
    source.now = &now;
    Silent reporter;
    pixelfeed::FrameLoopHooks hooks;
    hooks.clock = [&] { return now; };
    hooks.sleep = [&](nanoseconds d) { now += d; };
    int turns = 0;
    hooks.keepRunning = [&] { return ++turns < 256; };
    auto counters = pixelfeed::runFrameLoop(source, nullptr, pixelfeed::targetFor({true, false}),
                                            reporter, hooks);
    ZARVO_FUZZ_CHECK(counters.sent >= 0 && counters.dropped >= 0);
    return 0;
}
