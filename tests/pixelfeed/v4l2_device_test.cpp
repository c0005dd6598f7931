// Finding the loopback device by its card label, the YUYV conversion, and (where one exists) a
// real v4l2loopback device.
#include "pixelfeed/v4l2_device.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace pixelfeed;

namespace {

struct FakeSysfs {
    std::filesystem::path root;
    FakeSysfs() {
        char pattern[] = "/tmp/pixelfeed-sysfs-XXXXXX";
        root = ::mkdtemp(pattern);
    }
    ~FakeSysfs() { std::filesystem::remove_all(root); }
    void device(const std::string& entry, const std::string& label) {
        std::filesystem::create_directories(root / entry);
        std::ofstream(root / entry / "name") << label << "\n";
    }
    DeviceRoots roots() const { return {root, "/dev"}; }
};

} // namespace

TEST(DeviceLookup, FindsTheLabelWithoutRegardToLetterCaseInNumberOrder) {
    FakeSysfs sysfs;
    sysfs.device("video0", "Integrated Webcam");
    sysfs.device("video10", "VirtualCamera4Mac");
    sysfs.device("video2", "virtualcamera4MAC");
    sysfs.device("video3", "Zarvo虚拟摄像头");
    sysfs.device("v4l-subdev0", "VirtualCamera4Mac");
    EXPECT_EQ(findDeviceByLabel("VirtualCamera4Mac", sysfs.roots()), "/dev/video2");
    EXPECT_EQ(findDeviceByLabel("zarvo虚拟摄像头", sysfs.roots()), "/dev/video3");
    EXPECT_EQ(findDeviceByLabel("VirtualCamera", sysfs.roots()), std::nullopt);
    EXPECT_EQ(findDeviceByLabel("x", {"/nonexistent", "/dev"}), std::nullopt);
}

TEST(DeviceLookup, MissingDeviceIsReportedByName) {
    FakeSysfs sysfs;
    try {
        V4L2Device device({"Zarvo虚拟摄像头", 25}, sysfs.roots());
        FAIL();
    } catch (const Failure& failure) {
        EXPECT_STREQ(failure.what(), "Zarvo虚拟摄像头 is not installed or enabled");
    }
}

TEST(DeviceLookup, ANodeThatIsNotAnOutputDeviceIsNoSink) {
    FakeSysfs sysfs;
    sysfs.device("video7", "VirtualCamera4Mac");
    DeviceRoots roots{sysfs.root, sysfs.root / "dev"};
    std::filesystem::create_directories(roots.dev);
    std::ofstream(roots.dev / "video7") << "not a device";
    try {
        V4L2Device device({"VirtualCamera4Mac", 30}, roots);
        FAIL();
    } catch (const Failure& failure) {
        EXPECT_STREQ(failure.what(), "Camera input sink unavailable");
    }
}

TEST(YuyvConversion, RedAndBlackLandOnBt601Values) {
    std::vector<uint8_t> bgra(kFrameBytes), yuyv;
    for (size_t i = 0; i < kFrameBytes; i += 4) {
        bool red = (i / 4) % kWidth < kWidth / 2;
        bgra[i + 2] = red ? 255 : 0;
        bgra[i + 3] = 255;
    }
    bgraToYuyv(bgra.data(), yuyv);
    ASSERT_EQ(yuyv.size(), size_t(kWidth) * kHeight * 2);
    // Left half red: Y 82, U 90, V 240 (±2); right half black: Y 16, U = V = 128.
    EXPECT_NEAR(yuyv[0], 82, 2);
    EXPECT_NEAR(yuyv[1], 90, 2);
    EXPECT_NEAR(yuyv[3], 240, 2);
    size_t right = size_t(kWidth) * 2 - 4;
    EXPECT_NEAR(yuyv[right], 16, 1);
    EXPECT_NEAR(yuyv[right + 1], 128, 1);
    EXPECT_NEAR(yuyv[right + 3], 128, 1);
}

// The devices convert the pipe's RGBA in one pass; it must give exactly the bytes of the two
// steps it replaces, on every row (the last band included) and for any colour.
TEST(YuyvConversion, OnePassFromRgbaMatchesSwapThenConvert) {
    std::vector<uint8_t> rgba(kFrameBytes);
    uint32_t state = 12345;
    for (auto& byte : rgba) {
        state = state * 1664525u + 1013904223u;
        byte = uint8_t(state >> 24);
    }
    std::vector<uint8_t> bgra, twoPass, onePass(7, 0);
    rgbaBuffer(rgba.data(), rgba.size(), bgra);
    bgraToYuyv(bgra.data(), twoPass);
    rgbaToYuyv(rgba.data(), onePass);
    ASSERT_EQ(onePass.size(), twoPass.size());
    EXPECT_TRUE(onePass == twoPass);
    // Pure red given as RGBA lands on red's YUYV values.
    for (size_t i = 0; i < kFrameBytes; i += 4) {
        rgba[i] = 255;
        rgba[i + 1] = rgba[i + 2] = 0;
        rgba[i + 3] = 255;
    }
    rgbaToYuyv(rgba.data(), onePass);
    size_t last = onePass.size() - 4;
    EXPECT_NEAR(onePass[last], 82, 2);
    EXPECT_NEAR(onePass[last + 1], 90, 2);
    EXPECT_NEAR(onePass[last + 3], 240, 2);
}

TEST(RealLoopbackDevice, TakesFrames) {
    if (!findDeviceByLabel("VirtualCamera4Mac"))
        GTEST_SKIP() << "no v4l2loopback device labelled VirtualCamera4Mac on this machine; "
                        "scripts/setup-virtual-camera.sh creates one";
    V4L2Device device({"VirtualCamera4Mac", 30});
    std::vector<uint8_t> black(kFrameBytes, 0);
    for (size_t i = 3; i < kFrameBytes; i += 4)
        black[i] = 255;
    int delivered = 0;
    for (int i = 0; i < 5; ++i)
        delivered += !device.busy() && device.deliver(black.data());
    EXPECT_GT(delivered, 0);
}
