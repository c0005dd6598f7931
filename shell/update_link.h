// The one place where the application core and the update workflow meet. App asks it whether the
// workflow is handing over to the installer (a start waits then); the workflow asks it whether a
// session is in the way, whether the service confirms the account settled, and for the facts of a
// diagnostics report. The shell builds it before App and opens the workflow with its window.
#pragma once

#include "app/app_hosts.h"
#include "update/client_support.h"
#include "update/update_host.h"

#include <memory>

namespace zarvo {

class App;
class CameraDeviceRelay;

class UpdateLink final : public UpdateGate, public UpdateHost {
public:
    // `cameras` lists the chooser's cameras for the permission check; none reads as no camera.
    explicit UpdateLink(std::shared_ptr<const CameraDeviceRelay> cameras);
    ~UpdateLink() override;
    UpdateLink(const UpdateLink&) = delete;
    UpdateLink& operator=(const UpdateLink&) = delete;

    // Builds the update workflow of `app`. App and `presenter` outlive it, until close(); `quit`
    // ends the program through its normal way out, for the installer's hand-over.
    ClientSupport& open(App& app, Loop& loop, UpdatePresenter& presenter,
                        ClientSupportEnvironment environment, std::function<void()> quit);
    // Ends the workflow; from then on nothing is installing.
    void close();

    // UpdateGate
    bool installing() const override;

    // UpdateHost
    bool isBusy() const override;
    bool mayPresent() const override { return true; }
    void verifySession(std::function<void(bool)> done) override;
    std::map<std::string, std::string> diagnosticContext() const override;
    std::optional<std::string> virtualCameraName() const override;
    int cameraPermission() const override;
    void quitForInstall() override;

private:
    std::shared_ptr<const CameraDeviceRelay> cameras_;
    App* app_ = nullptr;
    std::function<void()> quit_;
    std::unique_ptr<ClientSupport> workflow_;
};

} // namespace zarvo
