// Where the camera list comes from. One seam serves the real GStreamer device monitor and the
// synthetic demo cameras, so that a demo camera is unplugged and plugged through the same path a
// real camera takes.
#pragma once

#include "media/camera/camera_devices.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace zarvo {

class CameraDeviceSource {
public:
    virtual ~CameraDeviceSource() = default;
    // Begins watching; called once, before the first devices(). `changed` may run on any thread
    // whenever the devices may have changed; it should only schedule a refresh.
    virtual void start(std::function<void()> changed) = 0;
    // The devices present now, in discovery order, the virtual-camera outputs included. May
    // block on a device probe: call it on a camera queue. Thread-safe.
    virtual std::vector<CameraDevice> devices() = 0;
};

// GstDeviceMonitor on "Video/Source". The monitor is started on the first devices() call (the
// probe runs there), and its added/removed/changed messages call `changed`.
class GstCameraDeviceSource final : public CameraDeviceSource {
public:
    GstCameraDeviceSource();
    ~GstCameraDeviceSource() override;
    void start(std::function<void()> changed) override;
    std::vector<CameraDevice> devices() override;

private:
    struct Monitor;
    std::mutex mutex_;
    std::unique_ptr<Monitor> monitor_;
    std::shared_ptr<std::function<void()>> changed_;
};

// The synthetic cameras (ZARVO_DEMO_CAMERA=1 or 2). Each can be unplugged and plugged again:
// in-process with setPlugged(), or from outside through the state file, which is re-read on
// every devices() call and lists the ids of the unplugged demo cameras, one per line.
class DemoCameraDeviceSource final : public CameraDeviceSource {
public:
    explicit DemoCameraDeviceSource(int count, std::filesystem::path stateFile = {});
    void start(std::function<void()> changed) override;
    std::vector<CameraDevice> devices() override;
    void setPlugged(const std::string& uniqueID, bool plugged);

private:
    int count_;
    std::filesystem::path stateFile_;
    std::mutex mutex_;
    std::set<std::string> unplugged_;
    std::function<void()> changed_;
};

// Several sources in order (real cameras first, then the demo cameras).
class CombinedCameraDeviceSource final : public CameraDeviceSource {
public:
    explicit CombinedCameraDeviceSource(std::vector<std::shared_ptr<CameraDeviceSource>> sources);
    void start(std::function<void()> changed) override;
    std::vector<CameraDevice> devices() override;

private:
    std::vector<std::shared_ptr<CameraDeviceSource>> sources_;
};

// The process's source: the device monitor, plus the demo cameras that ZARVO_DEMO_CAMERA asks
// for with their state file from ZARVO_DEMO_CAMERA_STATE.
std::shared_ptr<CameraDeviceSource> makeCameraDeviceSource();

} // namespace zarvo
