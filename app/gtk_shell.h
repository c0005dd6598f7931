// The thin GTK layer of the application: the modal alert, and the native window whose labels and
// controls mirror App's model state until the studio page takes the window over.
#pragma once

#include <memory>
#include <string>

namespace zarvo {

class App;
class RTCBridge;
class VirtualCamera;
struct CommandLineOptions;

// A modal alert with one button, run in a nested main loop. Without a display the texts go to
// standard error instead.
void showModalAlert(const std::string& message, const std::string& informative,
                    const std::string& button);

// What the window wires together; all owned by the process entry.
struct ShellParts {
    App* app = nullptr;
    std::shared_ptr<RTCBridge> bridge;
    VirtualCamera* virtualCamera = nullptr;
};

// Runs the GTK application until it quits; returns the exit status.
int runApplication(const ShellParts& parts, const CommandLineOptions& options);

} // namespace zarvo
