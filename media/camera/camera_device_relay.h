// The chooser's device list for a session's camera input. The RTC bridge is built before the
// chooser and may outlive it, and the input reads the list on the camera queue, so the chooser is
// attached and detached under a lock. Thread-safe.
#pragma once

#include "media/camera/camera_chooser.h"

#include <mutex>
#include <vector>

namespace zarvo {

class CameraDeviceRelay {
public:
    // Main thread; nullptr detaches (before the chooser goes).
    void attach(const CameraChooser* chooser) {
        std::lock_guard lock(mutex_);
        chooser_ = chooser;
    }
    // The chooser's last applied devices; none without a chooser. Never probes.
    std::vector<CameraDevice> devices() const {
        std::lock_guard lock(mutex_);
        return chooser_ ? chooser_->devicesSnapshot() : std::vector<CameraDevice>{};
    }

private:
    mutable std::mutex mutex_;
    const CameraChooser* chooser_ = nullptr;
};

} // namespace zarvo
