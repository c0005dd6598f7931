// The thin GTK layer of the application: menus, the main window whose content is the studio web
// view with the native video region laid over it, the enlarged output window, the modal alerts,
// and the unattended modes (screenshots, self-run).
#pragma once

#include <memory>
#include <string>

namespace zarvo {

class App;
class CameraDeviceRelay;
class RTCBridge;
class VirtualCamera;
struct CommandLineOptions;

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
