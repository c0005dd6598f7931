#include "media/camera/camera_chooser.h"

#include "foundation/thread_check.h"
#include "media/camera/camera_selection.h"

#include <algorithm>

namespace zarvo {

namespace {

bool sameDevices(const std::vector<CameraDevice>& a, const std::vector<CameraDevice>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const CameraDevice& x, const CameraDevice& y) {
                          return x.uniqueID == y.uniqueID && x.localizedName == y.localizedName;
                      });
}

std::vector<std::string> idsOf(const std::vector<CameraDevice>& devices) {
    std::vector<std::string> ids;
    for (const auto& device : devices)
        ids.push_back(device.uniqueID);
    return ids;
}

} // namespace

CameraChooser::CameraChooser(Loop& loop, UserDefaults& defaults, CameraChooserHost& host,
                             CameraPreview& preview, std::shared_ptr<CameraDeviceSource> source,
                             SerialQueue& queue)
    : loop_(loop), defaults_(defaults), host_(host), preview_(preview), source_(std::move(source)),
      queue_(queue) {
    menuItems = {kNoCameraItem};
    preview_.setSelectedDevice([this] { return selectedDevice(); });
}

CameraChooser::~CameraChooser() {
    preview_.setSelectedDevice({});
}

void CameraChooser::observeCameraDevices() {
    ZARVO_DCHECK_ON(loop_);
    OwnerWatch alive = life_.watch();
    Loop& loop = loop_;
    // Notifications arrive on the monitor's threads; they only schedule a refresh.
    source_->start([this, alive, &loop] {
        loop.post([this, alive] {
            if (alive.alive())
                refreshCameraDevices();
        });
    });
    refreshTimer_ = loop_.repeating(std::chrono::seconds(2), [this, alive] {
        if (alive.alive())
            refreshCameraDevices();
    });
    refreshCameraDevices();
}

void CameraChooser::refreshCameraDevices() {
    ZARVO_DCHECK_ON(loop_);
    if (probing_) {
        probeAgain_ = true;
        return;
    }
    probe();
}

void CameraChooser::probe() {
    probing_ = true;
    probeAgain_ = false;
    queue_.async([this, alive = life_.watch(), source = source_, &loop = loop_] {
        std::vector<CameraDevice> found = source->devices();
        loop.post([this, alive, found = std::move(found)]() mutable {
            if (!alive.alive())
                return;
            probing_ = false;
            applyDevices(std::move(found));
            if (probeAgain_)
                probe();
        });
    });
}

void CameraChooser::applyDevices(std::vector<CameraDevice> found) {
    ZARVO_DCHECK_ON(loop_);
    std::erase_if(found, [](const CameraDevice& device) {
        return device.notACamera || isVirtualCameraUniqueID(device.uniqueID);
    });
    const bool firstFill = !filled_;
    filled_ = true;
    if (!firstFill && sameDevices(found, devices_))
        return;

    const std::optional<std::string> selected = selectedCameraID();
    const bool isBusy = busy();
    const auto result = CameraSelection::update(
        idsOf(found), selected, defaults_.string("cameraID"), preview_.previewReconnectID);
    if (result.selectedDisappeared) {
        if (!isBusy) {
            const bool wanted = preview_.previewWanted;
            preview_.stopPreview();
            if (wanted)
                preview_.previewReconnectID = selected;
        } else {
            preview_.stopPreview();
        }
        if (host_.aiActive() || host_.aiBusy())
            host_.stopAI(kCameraInUseDisconnected);
        host_.clearLiveFrames();
    }

    const std::vector<std::string> previousIDs = idsOf(devices_);
    devices_ = std::move(found);
    {
        std::lock_guard lock(snapshotMutex_);
        snapshot_ = devices_;
    }
    menuItems.clear();

    if (devices_.empty()) {
        menuItems = {kNoCameraItem};
        menuEnabled = false;
        selectedIndex.reset();
        host_.menuChanged();
        if (!isBusy)
            host_.setStatus("未检测到摄像头，接入设备后会自动更新");
        return;
    }
    size_t index = 0;
    for (size_t i = 0; i < devices_.size(); ++i) {
        menuItems.push_back(devices_[i].localizedName);
        if (result.select && devices_[i].uniqueID == *result.select)
            index = i;
    }
    menuEnabled = true;
    selectedIndex = index;
    host_.menuChanged();

    if (isBusy)
        return;
    if (result.reconnectCameBack || (!selected && preview_.previewWanted)) {
        preview_.previewReconnectID.reset();
        preview_.previewWanted = true;
        preview_.configureCamera();
    } else if (result.selectedDisappeared) {
        host_.setStatus("所选摄像头已断开，请选择设备并开启预览");
    } else if (!firstFill &&
               std::any_of(devices_.begin(), devices_.end(), [&](const CameraDevice& device) {
                   return std::find(previousIDs.begin(), previousIDs.end(), device.uniqueID) ==
                          previousIDs.end();
               })) {
        host_.setStatus("已检测到新摄像头，设备列表已自动更新");
    }
}

void CameraChooser::cameraChanged() {
    ZARVO_DCHECK_ON(loop_);
    if (busy()) {
        host_.setStatus("请先停止 AI 再切换摄像头");
        return;
    }
    preview_.previewReconnectID.reset();
    if (auto id = selectedCameraID())
        defaults_.set("cameraID", *id);
    if (preview_.previewWanted)
        preview_.configureCamera();
}

void CameraChooser::chooseIndex(int64_t index) {
    ZARVO_DCHECK_ON(loop_);
    if (busy() || index < 0 || uint64_t(index) >= devices_.size())
        return;
    selectedIndex = size_t(index);
    host_.menuChanged();
    cameraChanged();
}

void CameraChooser::userPicked(size_t index) {
    ZARVO_DCHECK_ON(loop_);
    if (index >= devices_.size() || selectedIndex == index)
        return;
    if (busy()) {
        host_.menuChanged(); // back to the camera in use
        cameraChanged();     // the refusal's status
        return;
    }
    selectedIndex = index;
    cameraChanged();
}

bool CameraChooser::selectCamera(const std::string& uniqueID) {
    ZARVO_DCHECK_ON(loop_);
    for (size_t i = 0; i < devices_.size(); ++i)
        if (devices_[i].uniqueID == uniqueID) {
            selectedIndex = i;
            host_.menuChanged();
            cameraChanged();
            return true;
        }
    return false;
}

bool CameraChooser::hasCamera(const std::string& uniqueID) const {
    return std::any_of(devices_.begin(), devices_.end(),
                       [&](const CameraDevice& device) { return device.uniqueID == uniqueID; });
}

std::optional<std::string> CameraChooser::selectedCameraID() const {
    if (auto device = selectedDevice())
        return device->uniqueID;
    return std::nullopt;
}

std::optional<CameraDevice> CameraChooser::selectedDevice() const {
    if (!selectedIndex || *selectedIndex >= devices_.size())
        return std::nullopt;
    return devices_[*selectedIndex];
}

std::vector<CameraDevice> CameraChooser::devicesSnapshot() const {
    std::lock_guard lock(snapshotMutex_);
    return snapshot_;
}

} // namespace zarvo
