#include "media/camera/camera_devices.h"

#include "foundation/gst_owned.h"

#include <gst/gst.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace zarvo {

namespace {

// The card labels the virtual-camera outputs register with, and the ids they stand for.
struct VirtualCameraLabel {
    const char* card;
    const char* uniqueID;
};
constexpr VirtualCameraLabel kVirtualCameraLabels[] = {
    {"VirtualCamera4Mac", kVirtualCameraUniqueIDs[0]},
    {"Zarvo虚拟摄像头", kVirtualCameraUniqueIDs[1]},
};

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::toupper(c)); });
    return text;
}

std::string property(const CameraDeviceFacts& facts, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        auto found = facts.properties.find(key);
        if (found != facts.properties.end() && !found->second.empty())
            return found->second;
    }
    return {};
}

std::string devicePath(const CameraDeviceFacts& facts) {
    return property(facts, {"device.path", "api.v4l2.path", "object.path"});
}

std::string baseUniqueID(const CameraDeviceFacts& facts) {
    const std::string card = property(facts, {"v4l2.device.card", "api.v4l2.cap.card"});
    for (const auto& label : kVirtualCameraLabels)
        if (card == label.card || facts.displayName == label.card)
            return label.uniqueID;
    if (auto bus = property(facts, {"v4l2.device.bus_info", "api.v4l2.cap.bus_info"}); !bus.empty())
        return "v4l2:" + bus;
    if (auto serial = property(facts, {"object.serial"}); !serial.empty())
        return "pipewire:" + serial;
    if (auto path = devicePath(facts); !path.empty())
        return "path:" + path;
    return "name:" + facts.displayName;
}

void collectStringProperty(GQuark field, const GValue* value, gpointer data) {
    auto* properties = static_cast<std::map<std::string, std::string>*>(data);
    if (G_VALUE_HOLDS_STRING(value)) {
        if (const char* text = g_value_get_string(value))
            (*properties)[g_quark_to_string(field)] = text;
    } else if (G_VALUE_HOLDS_UINT64(value) || G_VALUE_HOLDS_INT64(value) ||
               G_VALUE_HOLDS_INT(value) || G_VALUE_HOLDS_UINT(value)) {
        if (GOwned<gchar> text{gst_value_serialize(value)})
            (*properties)[g_quark_to_string(field)] = text.get();
    }
}

CameraDeviceFacts factsOf(GstDevice* device) {
    CameraDeviceFacts facts;
    GOwned<gchar> name(gst_device_get_display_name(device));
    facts.displayName = name ? name.get() : "";
    if (GstStructureOwned properties{gst_device_get_properties(device)}) {
        gst_structure_foreach(
            properties.get(),
            [](GQuark field, const GValue* value, gpointer data) -> gboolean {
                collectStringProperty(field, value, data);
                return TRUE;
            },
            &facts.properties);
    }
    return facts;
}

std::string capsText(GstDevice* device) {
    auto caps = adoptRef(gst_device_get_caps(device));
    if (!caps)
        return {};
    GOwned<gchar> text(gst_caps_to_string(caps.get()));
    return text ? text.get() : "";
}

} // namespace

int demoCameraCount() {
    const char* value = std::getenv("ZARVO_DEMO_CAMERA");
    if (!value)
        return 0;
    const std::string text = value;
    return text == "1" ? 1 : text == "2" ? 2 : 0;
}

bool isCameraInput(const CameraDeviceFacts& facts) {
    const std::string driver = property(facts, {"v4l2.device.driver", "api.v4l2.cap.driver"});
    if (driver == "v4l2 loopback" || driver == "v4l2loopback")
        return false;
    return !isVirtualCameraUniqueID(baseUniqueID(facts));
}

bool ensureGStreamer() {
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] { ready = gst_init_check(nullptr, nullptr, nullptr); });
    return ready;
}

bool deviceNodeAccessible(const std::string& devicePath) {
    if (devicePath.rfind("/dev/", 0) != 0)
        return true;
    if (::access(devicePath.c_str(), R_OK | W_OK) == 0)
        return true;
    return errno != EACCES && errno != EPERM;
}

int cameraPermissionCode(const std::vector<CameraDevice>& cameras) {
    if (cameras.empty())
        return 0;
    return std::any_of(
               cameras.begin(), cameras.end(),
               [](const CameraDevice& camera) { return deviceNodeAccessible(camera.devicePath); })
               ? 3
               : 2;
}

bool isVirtualCameraUniqueID(const std::string& uniqueID) {
    const std::string id = upper(uniqueID);
    return std::any_of(std::begin(kVirtualCameraUniqueIDs), std::end(kVirtualCameraUniqueIDs),
                       [&](const char* known) { return id == known; });
}

std::vector<std::string> cameraUniqueIDs(const std::vector<CameraDeviceFacts>& devices) {
    std::vector<std::string> ids;
    ids.reserve(devices.size());
    for (const auto& facts : devices)
        ids.push_back(baseUniqueID(facts));
    std::vector<std::string> result = ids;
    for (size_t i = 0; i < ids.size(); ++i) {
        if (isVirtualCameraUniqueID(ids[i]))
            continue;
        if (std::count(ids.begin(), ids.end(), ids[i]) > 1) {
            const std::string path = devicePath(devices[i]);
            result[i] = ids[i] + "#" + (path.empty() ? std::to_string(i) : path);
        }
    }
    return result;
}

CameraDevice demoCameraDevice(int index) {
    CameraDevice device;
    device.uniqueID = index == 0 ? kDemoCameraUniqueID : kSecondDemoCameraUniqueID;
    device.localizedName = index == 0 ? "Zarvo 演示摄像头" : "Zarvo 演示摄像头 2";
    device.caps = "video/x-raw, format=(string)BGRA, width=(int)1280, height=(int)720, "
                  "framerate=(fraction)30/1";
    // A moving picture so a frozen stream is visible at a glance; drawn in BGRA so that no
    // conversion is spent on it. The two cameras look different so a switch is visible.
    const std::string pattern = index == 0 ? "pattern=smpte horizontal-speed=6"
                                           : "pattern=ball background-color=0xff203040";
    device.makeSource = [pattern]() -> GstElement* {
        if (!ensureGStreamer())
            return nullptr;
        const std::string description =
            "videotestsrc is-live=true " + pattern +
            " ! video/x-raw,format=BGRA,width=1280,height=720,framerate=30/1";
        return gst_parse_bin_from_description(description.c_str(), TRUE, nullptr);
    };
    return device;
}

std::vector<CameraDevice> monitoredDevices(GstDeviceMonitor* monitor) {
    std::vector<CameraDevice> result;
    GList* found = gst_device_monitor_get_devices(monitor);
    std::vector<GRef<GstDevice>> devices;
    std::vector<CameraDeviceFacts> facts;
    // The list's references are taken over one by one.
    for (GList* item = found; item; item = item->next) {
        devices.push_back(adoptRef(GST_DEVICE(item->data)));
        facts.push_back(factsOf(devices.back().get()));
    }
    g_list_free(found);

    const auto ids = cameraUniqueIDs(facts);
    for (size_t i = 0; i < devices.size(); ++i) {
        CameraDevice camera;
        camera.uniqueID = ids[i];
        camera.localizedName = facts[i].displayName;
        camera.caps = capsText(devices[i].get());
        camera.devicePath = devicePath(facts[i]);
        camera.notACamera = !isCameraInput(facts[i]);
        camera.makeSource = [device = devices[i]]() -> GstElement* {
            return gst_device_create_element(device.get(), nullptr);
        };
        result.push_back(std::move(camera));
    }
    return result;
}

std::vector<CameraDevice> captureDevices() {
    std::vector<CameraDevice> result;
    if (ensureGStreamer()) {
        auto monitor = adoptRef(gst_device_monitor_new());
        gst_device_monitor_add_filter(monitor.get(), "Video/Source", nullptr);
        result = monitoredDevices(monitor.get());
    }
    for (int i = 0; i < demoCameraCount(); ++i)
        result.push_back(demoCameraDevice(i));
    return result;
}

std::vector<CameraDevice> availableCameraDevices() {
    std::vector<CameraDevice> result = captureDevices();
    std::erase_if(result, [](const CameraDevice& device) {
        return device.notACamera || isVirtualCameraUniqueID(device.uniqueID);
    });
    return result;
}

} // namespace zarvo
