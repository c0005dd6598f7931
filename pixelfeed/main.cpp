// pixelfeed: reads 1280 × 720 RGBA frames on standard input and feeds them to the virtual-camera
// device, reporting JSON status lines on standard error.
#include "pixelfeed/pixelfeed.h"
#include "pixelfeed/sender_lock.h"
#include "pixelfeed/v4l2_device.h"

#include <exception>
#include <memory>
#include <unistd.h>

int main(int argc, char** argv) {
    using namespace pixelfeed;
    FdReporter reporter(STDERR_FILENO);
    try {
        Arguments arguments = parseArguments(std::vector<std::string>(argv + 1, argv + argc));
        SenderTarget target = targetFor(arguments);
        FdByteSource input(STDIN_FILENO);
        if (arguments.validate) {
            reporter.report("ready", "Frame validation mode; no device opened");
            runFrameLoop(input, nullptr, target, reporter);
            return 0;
        }
        int lock = acquireSenderLock(senderLockPath());
        (void)lock; // held until the process ends
        V4L2Device device(target);
        reporter.report("ready", target.deviceName + " sender ready");
        runFrameLoop(input, &device, target, reporter);
        return 0;
    } catch (const std::exception& error) {
        std::string message = error.what();
        reporter.report("error", message.empty() ? "Native camera sender failed" : message);
    } catch (...) {
        reporter.report("error", "Native camera sender failed");
    }
    return 1;
}
