#include "media/camera/camera_devices.h"
#include "media/camera/camera_input.h"
#include "media/camera/camera_selection.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace zarvo {
namespace {

CameraDeviceFacts v4l2(std::string name, std::string busInfo, std::string path,
                       std::string card = {}) {
    CameraDeviceFacts facts;
    facts.displayName = std::move(name);
    facts.properties["v4l2.device.bus_info"] = std::move(busInfo);
    facts.properties["device.path"] = std::move(path);
    facts.properties["v4l2.device.card"] = card.empty() ? facts.displayName : card;
    return facts;
}

TEST(CameraUniqueIDs, StayTheSameWhenACameraComesBackOnAnotherNode) {
    const auto before = cameraUniqueIDs({v4l2("HD Webcam", "usb-0000:00:14.0-1", "/dev/video0"),
                                         v4l2("Desk Cam", "usb-0000:00:14.0-2", "/dev/video2")});
    // Unplugged and replugged: the kernel hands out other nodes, in another order.
    const auto after = cameraUniqueIDs({v4l2("Desk Cam", "usb-0000:00:14.0-2", "/dev/video0"),
                                        v4l2("HD Webcam", "usb-0000:00:14.0-1", "/dev/video4")});
    EXPECT_EQ(before[0], after[1]);
    EXPECT_EQ(before[1], after[0]);
    EXPECT_NE(before[0], before[1]);
}

TEST(CameraUniqueIDs, DevicesSharingABusGetTheirPathAppended) {
    const auto ids = cameraUniqueIDs({v4l2("Dual", "usb-1", "/dev/video0"),
                                      v4l2("Dual IR", "usb-1", "/dev/video2"),
                                      v4l2("Other", "usb-2", "/dev/video4")});
    EXPECT_NE(ids[0], ids[1]);
    EXPECT_NE(ids[0].find("/dev/video0"), std::string::npos);
    EXPECT_EQ(ids[2].find('#'), std::string::npos);
}

TEST(CameraUniqueIDs, FallBackToPipeWireSerialThenPathThenName) {
    CameraDeviceFacts pipewire;
    pipewire.displayName = "Portal camera";
    pipewire.properties["object.serial"] = "57";
    CameraDeviceFacts pathOnly;
    pathOnly.displayName = "Plain";
    pathOnly.properties["device.path"] = "/dev/video9";
    CameraDeviceFacts bare;
    bare.displayName = "Bare";
    EXPECT_EQ(cameraUniqueIDs({pipewire, pathOnly, bare}),
              (std::vector<std::string>{"pipewire:57", "path:/dev/video9", "name:Bare"}));
}

TEST(CameraUniqueIDs, VirtualCameraOutputsAreRecognisedAndNeverOffered) {
    const auto ids =
        cameraUniqueIDs({v4l2("Zarvo虚拟摄像头", "platform:v4l2loopback-000", "/dev/video10"),
                         v4l2("VirtualCamera4Mac", "platform:v4l2loopback-001", "/dev/video11")});
    EXPECT_EQ(ids[0], "3AEBA893-881D-463E-A723-91134A125D00");
    EXPECT_EQ(ids[1], "B9E1C0F2-6A2E-4B7D-9C3A-2F1E7D4A5C6B");
    EXPECT_TRUE(isVirtualCameraUniqueID("3aeba893-881d-463e-a723-91134a125d00"));
    EXPECT_FALSE(isVirtualCameraUniqueID("v4l2:usb-1"));
}

TEST(CameraDiscovery, SyntheticCameraOnlyWhenTheDemoAsksForIt) {
    auto hasDemo = [] {
        auto devices = availableCameraDevices();
        return std::any_of(devices.begin(), devices.end(), [](const CameraDevice& device) {
            return device.uniqueID == kDemoCameraUniqueID && !device.localizedName.empty();
        });
    };
    unsetenv("ZARVO_DEMO_CAMERA");
    EXPECT_FALSE(hasDemo());
    setenv("ZARVO_DEMO_CAMERA", "0", 1);
    EXPECT_FALSE(hasDemo());
    setenv("ZARVO_DEMO_CAMERA", "1", 1);
    EXPECT_TRUE(hasDemo());
    unsetenv("ZARVO_DEMO_CAMERA");
}

// The diagnostics report's camera permission comes from a real device node's check: a node this
// user may not open is "refused" (2), one it may is "authorised" (3), no camera "not determined".
TEST(CameraPermissionCode, FollowsWhatTheDeviceNodeAllowsThisUser) {
    EXPECT_EQ(cameraPermissionCode({}), 0);
    CameraDevice node = demoCameraDevice(0);
    node.devicePath = "/dev/null";
    EXPECT_EQ(cameraPermissionCode({node}), 3);
    EXPECT_EQ(cameraPermissionCode({demoCameraDevice(0)}), 3) << "no node to refuse it";

    const std::string path = "/dev/shm/zarvo-camera-node-" + std::to_string(::getpid());
    std::ofstream(path).put('\0');
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    CameraDevice locked = node;
    locked.devicePath = path;
    // Root may open anything: the check then runs as an unprivileged user, as a desktop user would.
    int code = -1;
    if (::geteuid() == 0) {
        pid_t child = ::fork();
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(100);
            ::_exit(cameraPermissionCode({locked}));
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    } else {
        ASSERT_EQ(::chmod(path.c_str(), 0), 0);
        code = cameraPermissionCode({locked});
    }
    ::unlink(path.c_str());
    EXPECT_EQ(code, 2);
}

TEST(CapturePresetChoice, PrefersHdThenVgaRawBeforeJpegElseLeavesTheDevice) {
    EXPECT_EQ(CameraInput::configurePreset("video/x-raw, format=YUY2, width=1280, height=720; "
                                           "image/jpeg, width=1280, height=720"),
              (CapturePreset{"video/x-raw,width=1280,height=720", false}));
    EXPECT_EQ(CameraInput::configurePreset("video/x-raw, format=YUY2, width=640, height=480; "
                                           "image/jpeg, width=1280, height=720"),
              (CapturePreset{"image/jpeg,width=1280,height=720", true}));
    EXPECT_EQ(CameraInput::configurePreset("video/x-raw, format=YUY2, width=640, height=480"),
              (CapturePreset{"video/x-raw,width=640,height=480", false}));
    EXPECT_EQ(CameraInput::configurePreset("video/x-raw, width=[ 1, 1920 ], height=[ 1, 1080 ]"),
              (CapturePreset{"video/x-raw,width=1280,height=720", false}));
    EXPECT_EQ(CameraInput::configurePreset("video/x-raw, width=320, height=240"),
              (CapturePreset{"video/x-raw,width=320,height=240", false}));
    EXPECT_EQ(CameraInput::configurePreset(""), CapturePreset{});
}

using CameraSelection::Update;
using IDs = std::vector<std::string>;

TEST(CameraSelectionUpdate, ReconnectThenSelectedThenPreferredThenFirst) {
    const IDs all{"a", "b", "c"};
    EXPECT_EQ(CameraSelection::update(all, "b", "c", "a"), (Update{"a", false, true}));
    EXPECT_EQ(CameraSelection::update(all, "b", "c", "gone"), (Update{"b", false, false}));
    EXPECT_EQ(CameraSelection::update(all, std::nullopt, "c", std::nullopt),
              (Update{"c", false, false}));
    EXPECT_EQ(CameraSelection::update(all, std::nullopt, "x", std::nullopt),
              (Update{"a", false, false}));
}

TEST(CameraSelectionUpdate, ReportsADisappearedSelection) {
    EXPECT_EQ(CameraSelection::update({"a", "c"}, "b", "c", std::nullopt),
              (Update{"c", true, false}));
    EXPECT_EQ(CameraSelection::update({}, "b", "b", "b"), (Update{std::nullopt, true, false}));
    EXPECT_EQ(CameraSelection::update({}, std::nullopt, std::nullopt, std::nullopt), Update{});
}

} // namespace
} // namespace zarvo
