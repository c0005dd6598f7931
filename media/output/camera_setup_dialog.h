// The virtual-camera setup dialog as a platform-neutral model: what it shows, which buttons it
// has and what each one does on Linux. The application's window layer presents it.
#pragma once

#include "foundation/result.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace zarvo {

// The loopback driver's latest-release page, opened when there is nothing local to run.
inline constexpr const char* kVirtualCameraDriverPage =
    "https://github.com/umlaeute/v4l2loopback/releases/latest";
inline constexpr const char* kVirtualCameraSetupScript = "setup-virtual-camera.sh";
// Root-owned installed copies of the script, the only ones ever run with root rights.
inline const std::vector<std::filesystem::path> kInstalledSetupScripts = {
    "/usr/local/lib/zarvo/setup-virtual-camera.sh", "/usr/lib/zarvo/setup-virtual-camera.sh"};

enum class CameraSetupAction {
    Done,                 // "完成": nothing
    OpenCameraManagement, // "打开摄像头管理": the installed script, else the commands to type
    DownloadComponent,    // "下载摄像头组件": the driver page
};

struct CameraSetupButton {
    std::string title;
    CameraSetupAction action;
};

struct CameraSetupDialog {
    std::string title;
    std::string text;
    std::vector<CameraSetupButton> buttons; // in order; the first is the default
};

// `deviceName` is VirtualCamera::availableDeviceName(); `pipeWireRunning` whether a PipeWire
// daemon answers, in which case nothing needs installing: the sender publishes its own camera.
CameraSetupDialog cameraSetupDialog(const std::optional<std::string>& deviceName,
                                    bool pipeWireRunning = false);

// The exact commands for a terminal that make a loopback camera (or bring PipeWire), shown
// instead of running anything with root rights from the user-writable bundle.
CameraSetupDialog cameraSetupTerminalDialog();

// What the machine offers for the buttons.
struct CameraSetupEnvironment {
    std::optional<std::filesystem::path> installedScript; // root-owned, never the bundle's copy
    std::optional<std::filesystem::path> pkexec;          // graphical privilege prompt
    std::optional<std::filesystem::path> xdgOpen;
};
// Looks for a root-owned installed script (kInstalledSetupScripts), and for pkexec and xdg-open in
// PATH.
CameraSetupEnvironment detectCameraSetupEnvironment();

// Whether only root can change the file: it and every folder above it are owned by root and
// writable by nobody else (no symbolic link on the way is followed to a weaker place).
bool writableOnlyByRoot(const std::filesystem::path& file);

// The command line a button runs; none for "完成", and none for "打开摄像头管理" without a
// root-owned script (the terminal dialog is shown then) or for a page without xdg-open.
std::optional<std::vector<std::string>> cameraSetupCommand(CameraSetupAction action,
                                                           const CameraSetupEnvironment& env);

// Starts the command without waiting for it (a privilege prompt must not block the main loop).
Status<> runCameraSetupAction(CameraSetupAction action, const CameraSetupEnvironment& env);

} // namespace zarvo
