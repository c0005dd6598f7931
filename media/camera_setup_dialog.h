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

enum class CameraSetupAction {
    Done,                 // "完成": nothing
    OpenCameraManagement, // "打开摄像头管理": run the setup script, else the driver page
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

// `deviceName` is VirtualCamera::availableDeviceName().
CameraSetupDialog cameraSetupDialog(const std::optional<std::string>& deviceName);

// What the machine offers for the buttons.
struct CameraSetupEnvironment {
    std::optional<std::filesystem::path> setupScript;
    std::optional<std::filesystem::path> pkexec; // graphical privilege prompt for the script
    std::optional<std::filesystem::path> xdgOpen;
};
// Looks for the script beside our executable and in the bundle's Resources folder, and for
// pkexec and xdg-open in PATH.
CameraSetupEnvironment detectCameraSetupEnvironment();

// The command line a button runs; none for "完成" or when nothing fits.
std::optional<std::vector<std::string>> cameraSetupCommand(CameraSetupAction action,
                                                           const CameraSetupEnvironment& env);

// Starts the command without waiting for it (a privilege prompt must not block the main loop).
Status<> runCameraSetupAction(CameraSetupAction action, const CameraSetupEnvironment& env);

} // namespace zarvo
