// What the application core asks of the parts above it: the update workflow, the camera chooser
// and the window. The shell implements each and hands them to App when it builds it, so a part
// left unwired does not compile and a search for the interface finds every implementer.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace zarvo {

// The update workflow, as far as a session start must know it.
class UpdateGate {
public:
    virtual ~UpdateGate() = default;
    // The workflow is handing over to the installer (from the moment it asks the service whether
    // the account is idle): no session may start then.
    virtual bool installing() const = 0;
};

// The camera chosen in the studio and its local preview.
class CameraSelection {
public:
    virtual ~CameraSelection() = default;
    // The unique id of the selected camera; none when the selection is out of range.
    virtual std::optional<std::string> selectedCameraID() const = 0;
    // Stops the local camera preview (its camera work goes to App's camera queue).
    virtual void stopPreview() = 0;
};

// The window around the session's pictures.
class SessionWindow {
public:
    virtual ~SessionWindow() = default;
    // Hides the local preview view and shows the AI output view.
    virtual void showAIOutput() = 0;
    // Empties the AI picture views and marks them for redisplay.
    virtual void clearAIPictures() = 0;
    // Renders the window's content into a PNG file (self-run end); failures are ignored.
    virtual void renderWindowPNG(const std::filesystem::path& file) = 0;
};

// All outlive App.
struct AppHosts {
    UpdateGate& update;
    CameraSelection& camera;
    SessionWindow& window;
};

} // namespace zarvo
