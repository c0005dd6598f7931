// The camera setup dialog: its texts and buttons, and what each button runs on Linux.
#include "media/output/camera_setup_dialog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdlib.h>

using namespace zarvo;

TEST(CameraSetupDialog, ReadyDeviceIsNamedInTitleAndText) {
    auto dialog = cameraSetupDialog(std::string("VirtualCamera4Mac"));
    EXPECT_EQ(dialog.title, "虚拟摄像头已就绪");
    EXPECT_EQ(dialog.text, "已检测到 VirtualCamera4Mac。在 OBS、会议或直播软件中选择这个摄像头；"
                           "开始 AI 后会输出合成画面，停止后输出黑屏。");
    ASSERT_EQ(dialog.buttons.size(), 3u);
    EXPECT_EQ(dialog.buttons[0].title, "完成");
    EXPECT_EQ(dialog.buttons[1].title, "打开摄像头管理");
    EXPECT_EQ(dialog.buttons[2].title, "下载摄像头组件");
}

TEST(CameraSetupDialog, MissingDeviceExplainsTheLoopbackDriver) {
    auto dialog = cameraSetupDialog(std::nullopt);
    EXPECT_EQ(dialog.title, "安装与启用虚拟摄像头");
    for (const char* needed : {"v4l2loopback", "exclusive_caps=1", "card_label=VirtualCamera4Mac",
                               "setup-virtual-camera.sh", "完成后重新检测。\n本机 AI 预览不受影响"})
        EXPECT_NE(dialog.text.find(needed), std::string::npos) << needed;
    EXPECT_EQ(dialog.buttons.size(), 3u);
    EXPECT_EQ(dialog.buttons[1].action, CameraSetupAction::OpenCameraManagement);
}

TEST(CameraSetupDialog, PipeWireIsOfferedFirstAndNeedsNothingInstalled) {
    auto running = cameraSetupDialog(std::nullopt, true);
    EXPECT_EQ(running.title, "虚拟摄像头无需安装");
    for (const char* needed : {"PipeWire 正在运行", "Zarvo虚拟摄像头", "chrome://flags",
                               "media.webrtc.camera.allow-pipewire", "v4l2loopback"})
        EXPECT_NE(running.text.find(needed), std::string::npos) << needed;
    // Without any camera the PipeWire way comes before the loopback script.
    auto nothing = cameraSetupDialog(std::nullopt, false);
    EXPECT_LT(nothing.text.find("PipeWire"), nothing.text.find("setup-virtual-camera.sh"));
    auto published = cameraSetupDialog(std::string("Zarvo虚拟摄像头"), true);
    EXPECT_EQ(published.title, "虚拟摄像头已就绪");
    EXPECT_EQ(published.text.rfind("已检测到 Zarvo虚拟摄像头。", 0), 0u);
    EXPECT_NE(published.text.find("chrome://flags"), std::string::npos);
}

// The bundle is user-writable and updates itself: a script in it must never run as root.
TEST(CameraSetupDialog, OnlyARootOwnedInstalledScriptIsEverRunWithRootRights) {
    char pattern[] = "/tmp/camera-setup-XXXXXX";
    std::filesystem::path folder = ::mkdtemp(pattern);
    std::filesystem::path bundled = folder / "setup-virtual-camera.sh";
    std::ofstream(bundled) << "#!/bin/bash\n";
    std::filesystem::permissions(bundled, std::filesystem::perms(0755));
    EXPECT_FALSE(writableOnlyByRoot(bundled)) << "its folder is writable by others";
    EXPECT_FALSE(writableOnlyByRoot("relative/setup-virtual-camera.sh"));
    EXPECT_FALSE(writableOnlyByRoot(folder / "missing.sh"));
    EXPECT_TRUE(writableOnlyByRoot("/usr/bin/env"));

    CameraSetupEnvironment bundle{bundled, "/usr/bin/pkexec", "/usr/bin/xdg-open"};
    EXPECT_EQ(cameraSetupCommand(CameraSetupAction::OpenCameraManagement, bundle), std::nullopt);
    CameraSetupEnvironment rootOwned{"/usr/bin/env", "/usr/bin/pkexec", "/usr/bin/xdg-open"};
    EXPECT_EQ(cameraSetupCommand(CameraSetupAction::OpenCameraManagement, rootOwned),
              (std::vector<std::string>{"/usr/bin/pkexec", "/bin/bash", "/usr/bin/env"}));
    CameraSetupEnvironment noPrompt{"/usr/bin/env", std::nullopt, "/usr/bin/xdg-open"};
    EXPECT_EQ(cameraSetupCommand(CameraSetupAction::OpenCameraManagement, noPrompt), std::nullopt);
    std::filesystem::remove_all(folder);

    // Without a root-owned copy the user gets the exact commands for a terminal.
    auto terminal = cameraSetupTerminalDialog();
    EXPECT_NE(terminal.text.find("sudo modprobe v4l2loopback devices=1 exclusive_caps=1 "
                                 "card_label=VirtualCamera4Mac"),
              std::string::npos);
    EXPECT_NE(terminal.text.find("sudo apt install pipewire wireplumber"), std::string::npos);

    const std::vector<std::string> page{"/usr/bin/xdg-open", kVirtualCameraDriverPage};
    EXPECT_EQ(cameraSetupCommand(CameraSetupAction::DownloadComponent, bundle), page);
    EXPECT_EQ(cameraSetupCommand(CameraSetupAction::Done, rootOwned), std::nullopt);
    CameraSetupEnvironment nothing;
    EXPECT_EQ(cameraSetupCommand(CameraSetupAction::DownloadComponent, nothing), std::nullopt);
    EXPECT_TRUE(runCameraSetupAction(CameraSetupAction::DownloadComponent, nothing).ok());
}
