// The application's side of the update workflow as a test scripts it.
#pragma once

#include "update/update_host.h"

namespace zarvo::testing {

struct ScriptedUpdateHost : UpdateHost {
    bool busy = false;
    bool settled = true;
    std::map<std::string, std::string> context;

    bool isBusy() const override { return busy; }
    bool mayPresent() const override { return true; }
    void verifySession(std::function<void(bool)> done) override { done(settled); }
    std::map<std::string, std::string> diagnosticContext() const override { return context; }
    std::optional<std::string> virtualCameraName() const override { return std::nullopt; }
    int cameraPermission() const override { return 0; }
    void quitForInstall() override { ++quits; }

    int quits = 0; // the installer's hand-over asked the application to quit
};

} // namespace zarvo::testing
