#include "media/camera_setup_dialog.h"

#include <glib.h>

#include <cstdlib>
#include <sstream>
#include <unistd.h>

namespace zarvo {

namespace {

std::optional<std::filesystem::path> findInPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "/usr/local/bin:/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (folder.empty())
            continue;
        std::filesystem::path candidate = std::filesystem::path(folder) / name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::nullopt;
}

} // namespace

CameraSetupDialog cameraSetupDialog(const std::optional<std::string>& deviceName) {
    CameraSetupDialog dialog;
    if (deviceName) {
        dialog.title = "虚拟摄像头已就绪";
        dialog.text = "已检测到 " + *deviceName +
                      "。在 OBS、会议或直播软件中选择这个摄像头；开始 AI "
                      "后会输出合成画面，停止后输出黑屏。";
    } else {
        dialog.title = "安装与启用虚拟摄像头";
        dialog.text =
            "安装 v4l2loopback 驱动（Debian：sudo apt install v4l2loopback-dkms），"
            "再以 exclusive_caps=1 和 card_label=VirtualCamera4Mac 加载它：点“打开摄像头管理”运行 "
            "setup-virtual-camera.sh，或执行 sudo modprobe v4l2loopback exclusive_caps=1 "
            "card_label=VirtualCamera4Mac。完成后重新检测。\n"
            "本机 AI 预览不受影响；未加载驱动时无法把画面送入其他软件。";
    }
    dialog.buttons = {{"完成", CameraSetupAction::Done},
                      {"打开摄像头管理", CameraSetupAction::OpenCameraManagement},
                      {"下载摄像头组件", CameraSetupAction::DownloadComponent}};
    return dialog;
}

CameraSetupEnvironment detectCameraSetupEnvironment() {
    CameraSetupEnvironment env;
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        auto folder = self.parent_path();
        for (const auto& candidate :
             {folder / kVirtualCameraSetupScript,
              folder.parent_path() / "Resources" / kVirtualCameraSetupScript}) {
            if (std::filesystem::is_regular_file(candidate, error)) {
                env.setupScript = candidate;
                break;
            }
        }
    }
    env.pkexec = findInPath("pkexec");
    env.xdgOpen = findInPath("xdg-open");
    return env;
}

std::optional<std::vector<std::string>> cameraSetupCommand(CameraSetupAction action,
                                                           const CameraSetupEnvironment& env) {
    auto openPage = [&]() -> std::optional<std::vector<std::string>> {
        if (!env.xdgOpen)
            return std::nullopt;
        return std::vector<std::string>{env.xdgOpen->string(), kVirtualCameraDriverPage};
    };
    switch (action) {
    case CameraSetupAction::Done:
        return std::nullopt;
    case CameraSetupAction::OpenCameraManagement:
        // The script loads the driver for this user's session; it needs root, asked for by pkexec.
        if (env.setupScript && env.pkexec)
            return std::vector<std::string>{env.pkexec->string(), "/bin/bash",
                                            env.setupScript->string()};
        return openPage();
    case CameraSetupAction::DownloadComponent:
        return openPage();
    }
    return std::nullopt;
}

Status<> runCameraSetupAction(CameraSetupAction action, const CameraSetupEnvironment& env) {
    auto command = cameraSetupCommand(action, env);
    if (!command)
        return Ok{};
    std::vector<char*> argv;
    for (auto& argument : *command)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    GError* error = nullptr;
    // Without DO_NOT_REAP_CHILD GLib reaps the child itself, so nothing is left behind.
    if (!g_spawn_async(nullptr, argv.data(), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr, nullptr,
                       &error)) {
        std::string message = error ? error->message : "spawn failed";
        g_clear_error(&error);
        return unexpected(Error{message, -1});
    }
    return Ok{};
}

} // namespace zarvo
