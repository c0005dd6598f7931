// The camera chooser: the cameras offered, the user's choice, and what happens when cameras come
// and go. State lives on the main thread; device probes run on the camera queue and their result
// is applied through the loop. Filling the chooser never stores a choice: only the user's pick
// writes "cameraID", so the saved camera survives a launch on which it is absent.
#pragma once

#include "foundation/loop.h"
#include "foundation/serial_queue.h"
#include "foundation/user_defaults.h"
#include "foundation/weak_owner.h"
#include "media/camera/camera_devices.h"
#include "media/camera/camera_monitor.h"
#include "media/camera/camera_preview.h"
#include "media/session_view.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zarvo {

// What the chooser reads and changes in the application core. Main thread only.
class CameraChooserHost : public virtual SessionView {
public:
    ~CameraChooserHost() override = default;
    // Sets the stop reason and stops the billed session.
    virtual void stopAI(const std::string& reason) = 0;
    // The media teardown (bridge stopped, virtual-camera output cleared).
    virtual void clearLiveFrames() = 0;
    virtual void setStatus(const std::string& text) = 0;
    // The chooser's items, enabled state or selection changed: redraw it.
    virtual void menuChanged() {}
};

class CameraChooser {
public:
    static constexpr const char* kNoCameraItem = "未检测到摄像头 · 接入后自动刷新";
    static constexpr const char* kCameraInUseDisconnected = "正在使用的摄像头已断开";

    // `queue` is the application's "camera.capture" queue (shared with the preview).
    CameraChooser(Loop& loop, UserDefaults& defaults, CameraChooserHost& host,
                  CameraPreview& preview, std::shared_ptr<CameraDeviceSource> source,
                  SerialQueue& queue);
    ~CameraChooser();
    CameraChooser(const CameraChooser&) = delete;
    CameraChooser& operator=(const CameraChooser&) = delete;

    // Starts the source's notifications and the 2 s refresh timer, and probes once.
    void observeCameraDevices();
    // Probes the devices on the camera queue and applies them; while a probe is running a
    // further request makes one more probe after it.
    void refreshCameraDevices();
    // Reconciles the chooser with `found` (all devices; those that are no cameras are dropped).
    void applyDevices(std::vector<CameraDevice> found);
    // The user picked the item at selectedIndex.
    void cameraChanged();
    // The page's "camera" action: ignored while AI is busy or out of range.
    void chooseIndex(int64_t index);
    // The native chooser's change. While AI is busy the pick is refused with the status and the
    // chooser shows the camera in use again, so it never names a camera that is not in use.
    void userPicked(size_t index);
    // Selects the camera with this id and runs cameraChanged (presets); false when absent.
    bool selectCamera(const std::string& uniqueID);

    const std::vector<CameraDevice>& devices() const { return devices_; }
    bool hasCamera(const std::string& uniqueID) const;
    std::optional<std::string> selectedCameraID() const;
    std::optional<CameraDevice> selectedDevice() const;
    // The offered devices as last applied; any thread (a session's camera input looks its
    // device up here instead of probing again).
    std::vector<CameraDevice> devicesSnapshot() const;

    // The chooser as shown: one item per device, or the disabled placeholder item.
    std::vector<std::string> menuItems;
    bool menuEnabled = false;
    std::optional<size_t> selectedIndex;

private:
    bool busy() const { return host_.sessionBusy(); }
    void probe();

    Loop& loop_;
    UserDefaults& defaults_;
    CameraChooserHost& host_;
    CameraPreview& preview_;
    std::shared_ptr<CameraDeviceSource> source_;
    SerialQueue& queue_;
    std::vector<CameraDevice> devices_;
    bool filled_ = false;
    bool probing_ = false;
    bool probeAgain_ = false;
    TimerHandle refreshTimer_;
    mutable std::mutex snapshotMutex_;
    std::vector<CameraDevice> snapshot_;
    WeakOwner life_; // last, so that late probes see the chooser gone before any member
};

} // namespace zarvo
