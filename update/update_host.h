// What the update workflow asks of the application above it. The shell implements it and hands
// it to ClientSupport when it builds the workflow.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

namespace zarvo {

class UpdateHost {
public:
    virtual ~UpdateHost() = default;
    // A session is starting, running or stopping, or the account's state does not allow a start.
    virtual bool isBusy() const = 0;
    // The workflow may show its windows now.
    virtual bool mayPresent() const = 0;
    // Asks the service; `done(true)` only when no session holds points.
    virtual void verifySession(std::function<void(bool)> done) = 0;
    // The session's side of a diagnostics report.
    virtual std::map<std::string, std::string> diagnosticContext() const = 0;
    // The virtual camera's device name, when one is present.
    virtual std::optional<std::string> virtualCameraName() const = 0;
    // The camera permission code for the diagnostics report, from what the camera check finds.
    virtual int cameraPermission() const = 0;
    // The new version's installer has started and waits for this process to end: quit through
    // the normal way out, as the quit menu item does.
    virtual void quitForInstall() = 0;
};

} // namespace zarvo
