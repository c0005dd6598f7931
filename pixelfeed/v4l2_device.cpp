#include "pixelfeed/v4l2_device.h"

#include <libyuv/convert_argb.h>
#include <libyuv/convert_from_argb.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/videodev2.h>
#include <map>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace pixelfeed {

namespace {

constexpr size_t kYuyvBytes = size_t(kWidth) * kHeight * 2;

int xioctl(int fd, unsigned long request, void* argument) {
    int result;
    do {
        result = ::ioctl(fd, request, argument);
    } while (result < 0 && errno == EINTR);
    return result;
}

std::string withStatus(const std::string& step, int status) {
    return step + ": " + std::to_string(status);
}

} // namespace

bool sameLabel(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

std::optional<std::filesystem::path> findDeviceByLabel(const std::string& label,
                                                       const DeviceRoots& roots) {
    std::error_code error;
    std::map<long, std::string> byNumber;
    for (const auto& entry : std::filesystem::directory_iterator(roots.sysfs, error)) {
        std::string name = entry.path().filename().string();
        if (!name.starts_with("video"))
            continue;
        char* end = nullptr;
        long number = std::strtol(name.c_str() + 5, &end, 10);
        if (end == name.c_str() + 5 || *end != '\0')
            continue;
        byNumber[number] = name;
    }
    for (const auto& [number, name] : byNumber) {
        std::ifstream in(roots.sysfs / name / "name");
        std::string card;
        if (!std::getline(in, card))
            continue;
        while (!card.empty() && (card.back() == '\n' || card.back() == ' ' || card.back() == '\0'))
            card.pop_back();
        if (sameLabel(card, label))
            return roots.dev / name;
    }
    return std::nullopt;
}

void bgraToYuyv(const uint8_t* bgra, std::vector<uint8_t>& yuyv) {
    yuyv.resize(kYuyvBytes);
    libyuv::ARGBToYUY2(bgra, kWidth * 4, yuyv.data(), kWidth * 2, kWidth, kHeight);
}

void rgbaToYuyv(const uint8_t* rgba, std::vector<uint8_t>& yuyv) {
    yuyv.resize(kYuyvBytes);
    // A few rows at a time through a buffer that stays in the first-level cache, so the frame is
    // read from memory once instead of being written out as BGRA and read back.
    constexpr int kBandRows = 4;
    constexpr int kRgbaStride = kWidth * 4, kYuyvStride = kWidth * 2;
    alignas(64) uint8_t band[kBandRows * kRgbaStride];
    for (int row = 0; row < kHeight; row += kBandRows) {
        int rows = std::min(kBandRows, kHeight - row);
        // libyuv names formats by little-endian words: its "ABGR" is bytes R,G,B,A.
        libyuv::ABGRToARGB(rgba + size_t(row) * kRgbaStride, kRgbaStride, band, kRgbaStride, kWidth,
                           rows);
        libyuv::ARGBToYUY2(band, kRgbaStride, yuyv.data() + size_t(row) * kYuyvStride, kYuyvStride,
                           kWidth, rows);
    }
}

V4L2Device::V4L2Device(const SenderTarget& target, const DeviceRoots& roots) {
    auto node = findDeviceByLabel(target.deviceName, roots);
    if (!node)
        throw Failure(target.deviceName + " is not installed or enabled");
    node_ = *node;
    fd_.reset(::open(node_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!fd_)
        throw Failure(withStatus("Open camera input queue", errno));

    // With exclusive_caps=1 the device offers output only while nobody else feeds it.
    v4l2_capability caps{};
    if (xioctl(fd_.get(), VIDIOC_QUERYCAP, &caps) != 0)
        throw Failure("Camera input sink unavailable");
    uint32_t offered =
        (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
    if (!(offered & V4L2_CAP_VIDEO_OUTPUT))
        throw Failure("Camera input sink unavailable");

    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    format.fmt.pix.width = kWidth;
    format.fmt.pix.height = kHeight;
    format.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    format.fmt.pix.bytesperline = kWidth * 2;
    format.fmt.pix.sizeimage = uint32_t(kYuyvBytes);
    format.fmt.pix.colorspace = V4L2_COLORSPACE_SMPTE170M;
    const std::string start = "Start camera input (another sender may be active)";
    if (xioctl(fd_.get(), VIDIOC_S_FMT, &format) != 0)
        throw Failure(withStatus(start, errno));
    // A device already fixed to another format by an earlier feeder answers with that format.
    if (format.fmt.pix.width != uint32_t(kWidth) || format.fmt.pix.height != uint32_t(kHeight) ||
        format.fmt.pix.pixelformat != V4L2_PIX_FMT_YUYV)
        throw Failure(withStatus(start, EINVAL));

    v4l2_streamparm rate{};
    rate.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    rate.parm.output.timeperframe.numerator = 1;
    rate.parm.output.timeperframe.denominator = uint32_t(target.frameRate);
    xioctl(fd_.get(), VIDIOC_S_PARM, &rate); // only advertised to readers; the pace is ours
}

V4L2Device::~V4L2Device() = default;

bool V4L2Device::busy() {
    pollfd p{fd_.get(), POLLOUT, 0};
    int n = ::poll(&p, 1, 0);
    return n == 0;
}

bool V4L2Device::deliver(const uint8_t* rgba) {
    rgbaToYuyv(rgba, yuyv_);
    ssize_t n;
    do {
        n = ::write(fd_.get(), yuyv_.data(), yuyv_.size());
    } while (n < 0 && errno == EINTR);
    // A frame the device cannot take at once is dropped, never queued.
    return n == ssize_t(yuyv_.size());
}

} // namespace pixelfeed
