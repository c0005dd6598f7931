// The virtual-camera device on Linux: a v4l2loopback output device found by its card label, set
// once to 1280 × 720 YUYV (what video-call applications and browsers take) and fed with write().
#pragma once

#include "foundation/owned.h"
#include "pixelfeed/pixelfeed.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace pixelfeed {

struct DeviceRoots {
    std::filesystem::path sysfs = "/sys/class/video4linux";
    std::filesystem::path dev = "/dev";
};

// ASCII letters compared without case; other bytes (the Chinese label) compared as they are.
bool sameLabel(const std::string& a, const std::string& b);

// The device node ("/dev/videoN") of the first device (in number order) whose card label matches.
std::optional<std::filesystem::path> findDeviceByLabel(const std::string& label,
                                                       const DeviceRoots& roots = {});

// BGRA → YUYV (BT.601, limited range), 2560 bytes a row.
void bgraToYuyv(const uint8_t* bgra, std::vector<uint8_t>& yuyv);
// The pipe's RGBA → YUYV in one pass, the same bytes as rgbaBuffer followed by bgraToYuyv.
void rgbaToYuyv(const uint8_t* rgba, std::vector<uint8_t>& yuyv);

class V4L2Device final : public FrameDevice {
public:
    // Opens the target and sets its output format; throws Failure whose message names the step
    // that failed (the sender's report shows it).
    V4L2Device(const SenderTarget& target, const DeviceRoots& roots = {});
    ~V4L2Device() override;
    V4L2Device(const V4L2Device&) = delete;
    V4L2Device& operator=(const V4L2Device&) = delete;

    bool busy() override;
    bool deliver(const uint8_t* rgba) override;
    const std::filesystem::path& node() const { return node_; }

private:
    zarvo::UniqueFd fd_;
    std::filesystem::path node_;
    std::vector<uint8_t> yuyv_;
};

} // namespace pixelfeed
