// Camera discovery on the GStreamer device monitor ("Video/Source"), plus the synthetic cameras a
// demo or a test asks for with ZARVO_DEMO_CAMERA=1 (one camera) or ZARVO_DEMO_CAMERA=2 (two).
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

typedef struct _GstElement GstElement;
typedef struct _GstDeviceMonitor GstDeviceMonitor;

namespace zarvo {

// The unique ids of the two virtual-camera outputs; they must never be chosen as input.
inline constexpr const char* kVirtualCameraUniqueIDs[] = {"B9E1C0F2-6A2E-4B7D-9C3A-2F1E7D4A5C6B",
                                                          "3AEBA893-881D-463E-A723-91134A125D00"};
// The synthetic cameras' ids: stable, so a stored choice and presets survive a restart.
inline constexpr const char* kDemoCameraUniqueID = "zarvo-demo-camera";
inline constexpr const char* kSecondDemoCameraUniqueID = "zarvo-demo-camera-2";

struct CameraDevice {
    std::string uniqueID;
    std::string localizedName;
    // The device's capabilities (GStreamer caps text), used to pick the capture size; may be empty.
    std::string caps;
    // Creates a fresh, floating source element for one capture; none when the device is gone.
    std::function<GstElement*()> makeSource;
    // The device node ("/dev/video0") when the device has one; its permission is the camera access.
    std::string devicePath;
    // A video device that is no camera: a v4l2loopback output (ours included). Never offered.
    bool notACamera = false;
};

// Initialises GStreamer once; false when it cannot be (then there are no cameras).
bool ensureGStreamer();

// Every video capture device, in discovery order (the virtual-camera outputs included). A full
// probe: run it on a camera queue, never on the main thread.
std::vector<CameraDevice> captureDevices();
// The devices a started GstDeviceMonitor knows, without the synthetic cameras.
std::vector<CameraDevice> monitoredDevices(GstDeviceMonitor* monitor);
// The cameras offered for choice: captureDevices() without the virtual-camera outputs.
std::vector<CameraDevice> availableCameraDevices();
// Whether this user may open a device node: readable and writable, or not a "/dev/" node at all. A
// node that vanished is no permission problem (opening it reports the failure).
bool deviceNodeAccessible(const std::string& devicePath);
// The camera authorisation code of the diagnostics report, from the cameras the chooser knows:
// 3 (authorised) when one of them may be opened, 2 (refused) when every one's device node refuses
// this user, 0 (not determined) without a camera.
int cameraPermissionCode(const std::vector<CameraDevice>& cameras);
// Whether a unique id names one of the virtual-camera outputs (compared upper-cased).
bool isVirtualCameraUniqueID(const std::string& uniqueID);

// What the device monitor tells about a device, reduced to what identifies it.
struct CameraDeviceFacts {
    std::string displayName;
    std::map<std::string, std::string> properties; // the device's string properties
};

// A unique id that survives unplugging and replugging: the V4L2 bus info (the port the camera is
// on), else the PipeWire object serial, else the device path. The virtual-camera outputs, known by
// their card label, take the virtual-camera ids. IDs shared by several devices get their device
// path appended so that each stays distinct.
std::vector<std::string> cameraUniqueIDs(const std::vector<CameraDeviceFacts>& devices);
// False for a v4l2loopback device or one labelled as a virtual-camera output: what is written to
// it comes from another program (or from Zarvo itself), so it is never a camera to capture.
bool isCameraInput(const CameraDeviceFacts& facts);

// A synthetic camera: a live moving test picture at 1280 × 720, 30 frames a second. Index 0 is
// "zarvo-demo-camera" (colour bars), index 1 "zarvo-demo-camera-2" (a ball on a checker board).
CameraDevice demoCameraDevice(int index = 0);
// How many synthetic cameras ZARVO_DEMO_CAMERA asks for: "1" one, "2" two, anything else none.
int demoCameraCount();

} // namespace zarvo
