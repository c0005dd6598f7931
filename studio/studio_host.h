// The window side of the studio: the native video region laid over the page, the alerts and
// leaving the application. Implemented by the GTK shell.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zarvo {

// A rectangle in the page's coordinates: origin top left, y downwards (as in GTK).
struct VideoFrame {
    double x = 0, y = 0, width = 0, height = 0;
    bool operator==(const VideoFrame&) const = default;
};

class StudioHost {
public:
    virtual ~StudioHost() = default;

    virtual void placeVideo(const VideoFrame& frame) = 0;
    virtual void setVideoVisible(bool visible) = 0;
    // Inside the video region: the local camera preview, or the edited video.
    virtual void showLocalPreview() = 0;
    virtual void showAIOutput() = 0;
    virtual void enlargeOutput() = 0;
    virtual void setDarkAppearance(bool dark) = 0;

    // Modal; they return when the user has answered.
    virtual void alert(const std::string& message, const std::string& informative) = 0;
    // True for the first (confirming) button.
    virtual bool confirm(const std::string& message, const std::string& informative,
                         const std::string& confirmButton, const std::string& cancelButton) = 0;

    // Empties the native reference image view.
    virtual void clearReferenceView() = 0;

    // Name of a virtual-camera device when one is present. Called off the main thread.
    virtual std::optional<std::string> virtualCameraName() = 0;
    // Starts a new copy of the application 2 s from now, detached from this process.
    virtual void relaunch() = 0;
    // Asks the application to quit; the quit guard decides when.
    virtual void terminate() = 0;
};

} // namespace zarvo
