#include "media/camera/camera_monitor.h"

#include "foundation/gst_owned.h"

#include <gst/gst.h>

#include <cstdlib>
#include <fstream>

namespace zarvo {

struct GstCameraDeviceSource::Monitor {
    GRef<GstDeviceMonitor> monitor;
    bool started = false;
    ~Monitor() {
        if (!monitor)
            return;
        if (started)
            gst_device_monitor_stop(monitor.get());
        gst_bus_set_sync_handler(adoptRef(gst_device_monitor_get_bus(monitor.get())).get(), nullptr,
                                 nullptr, nullptr);
    }
};

GstCameraDeviceSource::GstCameraDeviceSource()
    : changed_(std::make_shared<std::function<void()>>()) {}
GstCameraDeviceSource::~GstCameraDeviceSource() {
    std::lock_guard lock(mutex_);
    monitor_.reset();
}

void GstCameraDeviceSource::start(std::function<void()> changed) {
    std::lock_guard lock(mutex_);
    *changed_ = std::move(changed);
}

std::vector<CameraDevice> GstCameraDeviceSource::devices() {
    std::lock_guard lock(mutex_);
    if (!ensureGStreamer())
        return {};
    if (!monitor_) {
        monitor_ = std::make_unique<Monitor>();
        monitor_->monitor = adoptRef(gst_device_monitor_new());
        gst_device_monitor_add_filter(monitor_->monitor.get(), "Video/Source", nullptr);
        // The providers post from their own threads; the handler only asks for a refresh.
        auto bus = adoptRef(gst_device_monitor_get_bus(monitor_->monitor.get()));
        auto* changed = new std::shared_ptr<std::function<void()>>(changed_);
        gst_bus_set_sync_handler(
            bus.get(),
            [](GstBus*, GstMessage* message, gpointer data) -> GstBusSyncReply {
                const auto type = GST_MESSAGE_TYPE(message);
                if (type == GST_MESSAGE_DEVICE_ADDED || type == GST_MESSAGE_DEVICE_REMOVED ||
                    type == GST_MESSAGE_DEVICE_CHANGED) {
                    auto& callback = *static_cast<std::shared_ptr<std::function<void()>>*>(data);
                    if (callback && *callback)
                        (*callback)();
                }
                return GST_BUS_DROP;
            },
            changed,
            [](gpointer data) {
                delete static_cast<std::shared_ptr<std::function<void()>>*>(data);
            });
        monitor_->started = gst_device_monitor_start(monitor_->monitor.get());
    }
    return monitoredDevices(monitor_->monitor.get());
}

DemoCameraDeviceSource::DemoCameraDeviceSource(int count, std::filesystem::path stateFile)
    : count_(count), stateFile_(std::move(stateFile)) {}

void DemoCameraDeviceSource::start(std::function<void()> changed) {
    std::lock_guard lock(mutex_);
    changed_ = std::move(changed);
}

std::vector<CameraDevice> DemoCameraDeviceSource::devices() {
    std::set<std::string> unplugged;
    {
        std::lock_guard lock(mutex_);
        unplugged = unplugged_;
    }
    if (!stateFile_.empty()) {
        std::ifstream state(stateFile_);
        for (std::string line; std::getline(state, line);) {
            while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
                line.pop_back();
            if (!line.empty())
                unplugged.insert(line);
        }
    }
    std::vector<CameraDevice> result;
    for (int i = 0; i < count_; ++i) {
        CameraDevice device = demoCameraDevice(i);
        if (!unplugged.count(device.uniqueID))
            result.push_back(std::move(device));
    }
    return result;
}

void DemoCameraDeviceSource::setPlugged(const std::string& uniqueID, bool plugged) {
    std::function<void()> changed;
    {
        std::lock_guard lock(mutex_);
        if (plugged)
            unplugged_.erase(uniqueID);
        else
            unplugged_.insert(uniqueID);
        changed = changed_;
    }
    if (changed)
        changed();
}

CombinedCameraDeviceSource::CombinedCameraDeviceSource(
    std::vector<std::shared_ptr<CameraDeviceSource>> sources)
    : sources_(std::move(sources)) {}

void CombinedCameraDeviceSource::start(std::function<void()> changed) {
    for (auto& source : sources_)
        source->start(changed);
}

std::vector<CameraDevice> CombinedCameraDeviceSource::devices() {
    std::vector<CameraDevice> result;
    for (auto& source : sources_) {
        auto found = source->devices();
        result.insert(result.end(), std::make_move_iterator(found.begin()),
                      std::make_move_iterator(found.end()));
    }
    return result;
}

std::shared_ptr<CameraDeviceSource> makeCameraDeviceSource() {
    std::vector<std::shared_ptr<CameraDeviceSource>> sources{
        std::make_shared<GstCameraDeviceSource>()};
    if (const int count = demoCameraCount(); count > 0) {
        const char* state = std::getenv("ZARVO_DEMO_CAMERA_STATE");
        sources.push_back(std::make_shared<DemoCameraDeviceSource>(
            count, state ? state : std::filesystem::path()));
    }
    return std::make_shared<CombinedCameraDeviceSource>(std::move(sources));
}

} // namespace zarvo
