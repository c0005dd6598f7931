#include "media/output/camera_setup_dialog.h"

#include "foundation/child_process.h"

#include <cstdlib>
#include <sstream>
#include <sys/stat.h>
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

namespace {

constexpr const char* kBrowserHint =
    "浏览器：Chromium 需在 chrome://flags 启用“PipeWire Camera support”；Firefox 需在 "
    "about:config 把 media.webrtc.camera.allow-pipewire 设为 true。";
constexpr const char* kLoopbackCommands =
    "sudo apt install v4l2loopback-dkms\n"
    "sudo modprobe v4l2loopback devices=1 exclusive_caps=1 card_label=VirtualCamera4Mac";

} // namespace

CameraSetupDialog cameraSetupDialog(const std::optional<std::string>& deviceName,
                                    bool pipeWireRunning) {
    CameraSetupDialog dialog;
    if (deviceName) {
        dialog.title = "虚拟摄像头已就绪";
        dialog.text = "已检测到 " + *deviceName +
                      "。在 OBS、会议或直播软件中选择这个摄像头；开始 AI "
                      "后会输出合成画面，停止后输出黑屏。";
        if (pipeWireRunning)
            dialog.text += std::string("\n") + kBrowserHint;
    } else if (pipeWireRunning) {
        dialog.title = "虚拟摄像头无需安装";
        dialog.text = std::string("本机 PipeWire 正在运行，无需安装任何组件：开始 AI 后，Zarvo "
                                  "会发布摄像头“Zarvo虚拟摄像头”，在 OBS、会议或直播软件中选择它；"
                                  "停止后输出黑屏。\n") +
                      kBrowserHint +
                      "\n也可改用 v4l2loopback 驱动：点“打开摄像头管理”查看安装命令。";
    } else {
        dialog.title = "安装与启用虚拟摄像头";
        dialog.text =
            "推荐：启用 PipeWire（多数新桌面已自带；Debian：sudo apt install pipewire "
            "wireplumber，重新登录），Zarvo 会发布摄像头“Zarvo虚拟摄像头”，无需内核模块和 root。\n"
            "或者安装 v4l2loopback 驱动（Debian：sudo apt install v4l2loopback-dkms），"
            "再以 exclusive_caps=1 和 card_label=VirtualCamera4Mac 加载它：运行 "
            "setup-virtual-camera.sh，或执行 sudo modprobe v4l2loopback exclusive_caps=1 "
            "card_label=VirtualCamera4Mac。完成后重新检测。\n"
            "本机 AI 预览不受影响；没有虚拟摄像头时无法把画面送入其他软件。";
    }
    dialog.buttons = {{"完成", CameraSetupAction::Done},
                      {"打开摄像头管理", CameraSetupAction::OpenCameraManagement},
                      {"下载摄像头组件", CameraSetupAction::DownloadComponent}};
    return dialog;
}

CameraSetupDialog cameraSetupTerminalDialog() {
    CameraSetupDialog dialog;
    dialog.title = "在终端中运行以下命令";
    dialog.text = std::string("加载 v4l2loopback 虚拟摄像头（需要管理员密码）：\n") +
                  kLoopbackCommands +
                  "\n\n或者启用 PipeWire，无需内核模块：\nsudo apt install pipewire wireplumber"
                  "\n然后重新登录。完成后重新检测。";
    dialog.buttons = {{"完成", CameraSetupAction::Done}};
    return dialog;
}

bool writableOnlyByRoot(const std::filesystem::path& file) {
    if (!file.is_absolute())
        return false;
    struct stat info {};
    if (::lstat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    for (std::filesystem::path at = file;; at = at.parent_path()) {
        if (::lstat(at.c_str(), &info) != 0 || S_ISLNK(info.st_mode))
            return false;
        if (info.st_uid != 0 || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
            return false;
        if (at == at.root_path())
            return true;
    }
}

CameraSetupEnvironment detectCameraSetupEnvironment() {
    CameraSetupEnvironment env;
    for (const auto& candidate : kInstalledSetupScripts) {
        if (writableOnlyByRoot(candidate)) {
            env.installedScript = candidate;
            break;
        }
    }
    env.pkexec = findInPath("pkexec");
    env.xdgOpen = findInPath("xdg-open");
    return env;
}

std::optional<std::vector<std::string>> cameraSetupCommand(CameraSetupAction action,
                                                           const CameraSetupEnvironment& env) {
    switch (action) {
    case CameraSetupAction::Done:
        return std::nullopt;
    case CameraSetupAction::OpenCameraManagement:
        // Root rights only for a copy nobody but root can change; checked again right before.
        if (env.installedScript && env.pkexec && writableOnlyByRoot(*env.installedScript))
            return std::vector<std::string>{env.pkexec->string(), "/bin/bash",
                                            env.installedScript->string()};
        return std::nullopt;
    case CameraSetupAction::DownloadComponent:
        if (!env.xdgOpen)
            return std::nullopt;
        return std::vector<std::string>{env.xdgOpen->string(), kVirtualCameraDriverPage};
    }
    return std::nullopt;
}

Status<> runCameraSetupAction(CameraSetupAction action, const CameraSetupEnvironment& env) {
    auto command = cameraSetupCommand(action, env);
    if (!command)
        return Ok{};
    ChildOptions options;
    options.argv = std::move(*command);
    options.output = ChildStream::Inherit;
    options.error = ChildStream::Inherit;
    // The helper may outlive us; nobody waits for it and it leaves no zombie.
    auto started = startDetached(options);
    if (!started)
        return unexpected(started.error());
    return Ok{};
}

} // namespace zarvo
