// pixelfeed: reads 1280 × 720 RGBA frames on standard input and feeds them to the virtual camera
// (a PipeWire node when a daemon answers, else the v4l2loopback device), reporting JSON status
// lines on standard error.
#include "pixelfeed/pipewire_device.h"
#include "pixelfeed/pixelfeed.h"
#include "pixelfeed/sender_lock.h"
#include "pixelfeed/v4l2_device.h"

#include <pipewire/pipewire.h>

#include <csignal>
#include <cstdlib>
#include <exception>
#include <memory>
#include <unistd.h>

int main(int argc, char** argv) {
    using namespace pixelfeed;
    // A reader of the status lines that has gone away must not end us mid-frame: the write fails
    // and the frame loop goes on.
    std::signal(SIGPIPE, SIG_IGN);
    FdReporter reporter(STDERR_FILENO);
    try {
        Arguments arguments = parseArguments(std::vector<std::string>(argv + 1, argv + argc));
        SenderTarget target = targetFor(arguments);
        FdByteSource input(STDIN_FILENO);
        if (arguments.validate) {
            FrameLoopHooks hooks;
            hooks.reading = [&] {
                reporter.report("ready", "Frame validation mode; no device opened");
            };
            runFrameLoop(input, nullptr, target, reporter, hooks);
            return 0;
        }
        int lock = acquireSenderLock(senderLockPath());
        (void)lock; // held until the process ends

        OutputKind output = chooseOutput(parseOutputPreference(std::getenv(kOutputVariable)),
                                         pipeWireSocketAnswers);
        if (output == OutputKind::Loopback) {
            V4L2Device device(target);
            FrameLoopHooks hooks;
            hooks.reading = [&] { reporter.report("ready", target.deviceName + " sender ready"); };
            runFrameLoop(input, &device, target, reporter, hooks);
            return 0;
        }
        // Standard error carries only status lines; PipeWire's own log stays quiet.
        if (!std::getenv("PIPEWIRE_DEBUG")) {
            pw_init(nullptr, nullptr);
            pw_log_set_level(SPA_LOG_LEVEL_NONE);
        }
        // The application writes frames only after this line, which comes once the frame loop is
        // ready to read, and the loop waits for the first frame as long as it takes, so neither
        // side's start-up time can break the pipe.
        PipeWireDevice device(target);
        FrameLoopHooks hooks;
        hooks.reading = [&] {
            reporter.report("ready",
                            std::string(kPipeWireNodeDescription) + " (PipeWire) sender ready");
        };
        runFrameLoop(input, &device, target, reporter, hooks);
        return 0;
    } catch (const std::exception& error) {
        std::string message = error.what();
        reporter.report("error", message.empty() ? "Native camera sender failed" : message);
    } catch (...) {
        reporter.report("error", "Native camera sender failed");
    }
    return 1;
}
