// The camera setup dialog: its texts and buttons, and what each button runs on Linux.
#include "media/camera_setup_dialog.h"

#include <gtest/gtest.h>

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

TEST(CameraSetupDialog, ButtonsRunTheScriptOrOpenTheDriverPage) {
    CameraSetupEnvironment full{"/b/Resources/setup-virtual-camera.sh", "/usr/bin/pkexec",
                                "/usr/bin/xdg-open"};
    EXPECT_EQ(cameraSetupCommand(CameraSetupAction::Done, full), std::nullopt);
    EXPECT_EQ(cameraSetupCommand(CameraSetupAction::OpenCameraManagement, full),
              (std::vector<std::string>{"/usr/bin/pkexec", "/bin/bash",
                                        "/b/Resources/setup-virtual-camera.sh"}));
    const std::vector<std::string> page{"/usr/bin/xdg-open", kVirtualCameraDriverPage};
    EXPECT_EQ(cameraSetupCommand(CameraSetupAction::DownloadComponent, full), page);

    CameraSetupEnvironment noScript{std::nullopt, "/usr/bin/pkexec", "/usr/bin/xdg-open"};
    EXPECT_EQ(cameraSetupCommand(CameraSetupAction::OpenCameraManagement, noScript), page);
    CameraSetupEnvironment noPrompt{"/b/setup-virtual-camera.sh", std::nullopt,
                                    "/usr/bin/xdg-open"};
    EXPECT_EQ(cameraSetupCommand(CameraSetupAction::OpenCameraManagement, noPrompt), page);
    CameraSetupEnvironment nothing;
    EXPECT_EQ(cameraSetupCommand(CameraSetupAction::DownloadComponent, nothing), std::nullopt);
    EXPECT_TRUE(runCameraSetupAction(CameraSetupAction::DownloadComponent, nothing).ok());
}
