// The thin GTK layer of the application: menus, the main window whose content is the studio web
// view with the native video region laid over it, the enlarged output window, the modal alerts,
// and the unattended modes (screenshots, self-run).
#pragma once

#include "app/app_hosts.h"
#include "media/output/virtual_camera.h"
#include "media/rtc/rtc_bridge.h"

#include <memory>
#include <string>

namespace zarvo {

class App;
class CameraDeviceRelay;
class RTCBridge;
class UpdateLink;
class VirtualCamera;
struct CommandLineOptions;
struct Shell;

// The window's side of a session for App: the studio's camera selection and preview, and the
// picture views. Built before App; it reaches them while runApplication's window lives and does
// nothing before or after.
class WindowLink final : public CameraSelection, public SessionWindow {
public:
    std::optional<std::string> selectedCameraID() const override;
    void stopPreview() override;
    void showAIOutput() override;
    void clearAIPictures() override;
    void renderWindowPNG(const std::filesystem::path& file) override;

    // runApplication's window, while it lives.
    void attach(Shell* shell) { shell_ = shell; }

private:
    Shell* shell_ = nullptr;
};

// What the video link and the system output tell the application and the window. Built before
// them, as both take it at construction; App and the window attach once they exist, and what comes
// before (or after the window) reaches only what is attached.
class VideoLink final : public RTCBridgeDelegate, public VirtualCameraDelegate {
public:
    void editedPictureArrived(const PicturePtr& picture) override;
    void localPictureArrived(const PicturePtr& picture) override;
    void outputPictureArrived(const PicturePtr& picture) override;
    void videoStatusChanged(const std::string& text) override;
    void videoFailed(const Error& error) override;
    void virtualCameraStatusChanged(const std::string& text) override;

    // The system output, given before the bridge exists, so before any engine thread reads it.
    void attachOutput(VirtualCamera* output) { output_ = output; }
    void attach(App* app) { app_ = app; }
    // runApplication's window, while it lives.
    void attach(Shell* shell) { shell_ = shell; }

private:
    VirtualCamera* output_ = nullptr;
    App* app_ = nullptr;
    Shell* shell_ = nullptr;
};

// A modal alert with one button, run in a nested main loop. Without a display the texts go to
// standard error instead.
void showModalAlert(const std::string& message, const std::string& informative,
                    const std::string& button);
// A modal question with a confirming and a cancelling button; true for the confirming one.
// Without a display it answers false.
bool showModalConfirm(const std::string& message, const std::string& informative,
                      const std::string& confirmButton, const std::string& cancelButton);

// What the window wires together; all owned by the process entry.
struct ShellParts {
    App* app = nullptr;
    // Given to App when it was built: the window and the update workflow attach to them.
    WindowLink* window = nullptr;
    UpdateLink* update = nullptr;
    VideoLink* video = nullptr;
    std::shared_ptr<RTCBridge> bridge;
    VirtualCamera* virtualCamera = nullptr;
    // The session's camera input reads the chooser's devices through it.
    std::shared_ptr<CameraDeviceRelay> cameraDevices;
};

// Takes SIGINT and SIGTERM into the default main context for the rest of the process, so that
// neither ends it by the default action: call it first in main. A quit asked for before the
// window exists is kept and taken as soon as it does, through the same way out as closing it.
void takeQuitSignals();

// Runs the GTK application until it quits; returns the exit status.
int runApplication(const ShellParts& parts, const CommandLineOptions& options);

} // namespace zarvo
