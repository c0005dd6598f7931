#include "shell/update_link.h"

#include "app/app.h"
#include "app/session_checks.h"
#include "media/camera/camera_device_relay.h"
#include "media/camera/camera_devices.h"
#include "media/output/virtual_camera.h"

namespace zarvo {

UpdateLink::UpdateLink(std::shared_ptr<const CameraDeviceRelay> cameras)
    : cameras_(std::move(cameras)) {}

UpdateLink::~UpdateLink() {
    close();
}

ClientSupport& UpdateLink::open(App& app, Loop& loop, UpdatePresenter& presenter,
                                ClientSupportEnvironment environment, std::function<void()> quit) {
    close();
    app_ = &app;
    quit_ = std::move(quit);
    workflow_ = std::make_unique<ClientSupport>(loop, presenter, *this, std::move(environment));
    return *workflow_;
}

void UpdateLink::close() {
    workflow_.reset();
    app_ = nullptr;
    quit_ = nullptr;
}

void UpdateLink::quitForInstall() {
    if (quit_)
        quit_();
}

bool UpdateLink::installing() const {
    return workflow_ && workflow_->installing();
}

bool UpdateLink::isBusy() const {
    return app_ && sessionInTheWay(*app_);
}

void UpdateLink::verifySession(std::function<void(bool)> done) {
    if (!app_) {
        done(false);
        return;
    }
    verifySessionSettled(*app_, std::move(done));
}

std::map<std::string, std::string> UpdateLink::diagnosticContext() const {
    return app_ ? sessionDiagnostics(*app_) : std::map<std::string, std::string>{};
}

std::optional<std::string> UpdateLink::virtualCameraName() const {
    return VirtualCamera::availableDeviceName();
}

// What the camera check finds on the chooser's cameras, not a fixed "authorised".
int UpdateLink::cameraPermission() const {
    return cameraPermissionCode(cameras_ ? cameras_->devices() : std::vector<CameraDevice>{});
}

} // namespace zarvo
