#include "media/camera/camera_preview.h"

#include "foundation/thread_check.h"

namespace zarvo {

CameraPreview::CameraPreview(Loop& loop, UserDefaults& defaults, PreviewHost& host,
                             SerialQueue& queue, std::shared_ptr<PreviewCapture> capture)
    : loop_(loop), defaults_(defaults), host_(host), queue_(queue), capture_(std::move(capture)) {
    mirror = defaults_.boolean("mirrorPreview").value_or(false);
    capture_->setMirrored(mirror);
}

CameraPreview::~CameraPreview() {
    queue_.async([capture = capture_] { capture->stop(); });
}

void CameraPreview::startPreview() {
    ZARVO_DCHECK_ON(loop_);
    host_.showPreview();
    if (busy()) {
        host_.setStatus("AI 运行时已显示实时输入画面，无需重复打开摄像头");
        return;
    }
    host_.hideRTCInput();
    previewWanted = true;
    const auto device = selected_ ? selected_() : std::nullopt;
    queue_.async([this, alive = life_.watch(), capture = capture_, device, &loop = loop_] {
        // Without a device there is nothing to ask about; configureCamera then does nothing.
        const bool granted = !device || capture->accessGranted(*device);
        loop.post([this, alive, granted] {
            if (!alive.alive())
                return;
            if (!granted)
                host_.setStatus(kAccessRefused);
            else if (previewWanted)
                configureCamera();
        });
    });
}

void CameraPreview::configureCamera() {
    ZARVO_DCHECK_ON(loop_);
    const auto device = selected_ ? selected_() : std::nullopt;
    if (!device)
        return;
    const int64_t generation = ++previewGeneration;
    host_.setPlaceholderVisible(false);
    queue_.async([this, alive = life_.watch(), capture = capture_, device = *device, generation,
                  &loop = loop_] {
        Status<> result = capture->run(device);
        loop.post([this, alive, generation, result = std::move(result)] {
            if (!alive.alive() || previewGeneration != generation)
                return;
            if (!result) {
                running = false;
                host_.setPlaceholderVisible(true);
                host_.setStatus(result.error().code == PreviewCapture::kInputNotAdded
                                    ? "无法使用所选摄像头，请选择其他设备"
                                    : "摄像头打开失败：" + result.error().message);
                return;
            }
            if (!previewWanted)
                return;
            running = true;
            mirrorChanged();
            host_.setStatus("免费本地预览中 · 未开启 AI 编辑 · 不消耗积分");
        });
    });
}

void CameraPreview::stopPreview() {
    ZARVO_DCHECK_ON(loop_);
    previewReconnectID.reset();
    previewWanted = false;
    running = false;
    ++previewGeneration;
    host_.setPlaceholderVisible(true);
    queue_.async([capture = capture_] { capture->stop(); });
    host_.setStatus("预览已停止");
}

void CameraPreview::mirrorChanged() {
    ZARVO_DCHECK_ON(loop_);
    defaults_.set("mirrorPreview", mirror);
    capture_->setMirrored(mirror);
}

} // namespace zarvo
