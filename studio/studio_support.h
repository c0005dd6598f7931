// What the studio calls on the update and diagnostics controller. Every call does nothing until
// that controller is attached, so the studio works (and is tested) without it.
#pragma once

#include "foundation/json.h"

namespace zarvo {

class StudioSupport {
public:
    virtual ~StudioSupport() = default;
    // Starts the update workflow (2 s after an ordinary launch).
    virtual void start() {}
    // The studio page of this version is up with its update panel.
    virtual void markLaunchReady() {}
    virtual void checkForUpdates(bool /*interactive*/) {}
    virtual void showRelease() {}
    virtual void downloadAvailable() {}
    virtual void installDownloaded() {}
    virtual void exportDiagnostics() {}
    virtual void showCameraSetup() {}
    // The update panel's state, pushed to the page as "update".
    virtual Json snapshot() const { return Json::object(); }
};

} // namespace zarvo
