// The free local preview of the chosen camera. State lives on the main thread; opening, starting
// and stopping the capture run on the camera queue ("camera.capture") and come back through the
// loop, where results of a configure that a newer configure or a stop overtook are dropped
// (`previewGeneration`). A billed session's join goes through the same queue, so the preview has
// let go of the camera before the session opens it.
#pragma once

#include "foundation/loop.h"
#include "foundation/result.h"
#include "foundation/serial_queue.h"
#include "foundation/user_defaults.h"
#include "foundation/weak_owner.h"
#include "media/camera/camera_devices.h"
#include "media/picture.h"
#include "media/session_view.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zarvo {

// The capture behind the preview. Everything but setMirrored runs on the camera queue.
class PreviewCapture {
public:
    static constexpr int kInputNotCreated = 1; // message: the device's own description
    static constexpr int kInputNotAdded = 2;
    virtual ~PreviewCapture() = default;
    // Whether this user may open the device (on Linux: the device node's permission).
    virtual bool accessGranted(const CameraDevice& device) = 0;
    // Replaces whatever runs with a capture of `device`, at the preferred size, and starts it.
    virtual Status<> run(const CameraDevice& device) = 0;
    virtual void stop() = 0;
    // Mirrors the pictures from now on; any thread.
    virtual void setMirrored(bool mirrored) = 0;
};

// What the preview shows and reads in the application core. Main thread only.
class PreviewHost : public virtual SessionView {
public:
    ~PreviewHost() override = default;
    virtual void setStatus(const std::string& text) = 0;
    // Shows the preview view and hides the AI output view.
    virtual void showPreview() = 0;
    // Hides the view of the session's own camera input.
    virtual void hideRTCInput() {}
    virtual void setPlaceholderVisible(bool visible) = 0;
};

class CameraPreview {
public:
    using SelectedDevice = std::function<std::optional<CameraDevice>()>;

    // `queue` is the application's "camera.capture" queue; it must outlive this object.
    CameraPreview(Loop& loop, UserDefaults& defaults, PreviewHost& host, SerialQueue& queue,
                  std::shared_ptr<PreviewCapture> capture);
    ~CameraPreview();
    CameraPreview(const CameraPreview&) = delete;
    CameraPreview& operator=(const CameraPreview&) = delete;

    // The device at the chooser's selected index, none when the index is out of range.
    void setSelectedDevice(SelectedDevice selected) { selected_ = std::move(selected); }

    // The "local" action: asks for camera access, then configures.
    void startPreview();
    // (Re)opens the selected camera under a new generation.
    void configureCamera();
    // Stops the preview (also before a billed session takes the camera).
    void stopPreview();
    // Stores the mirror state under "mirrorPreview" and applies it to the preview picture.
    void mirrorChanged();
    void setMirror(bool on) {
        mirror = on;
        mirrorChanged();
    }

    bool previewWanted = false;
    int64_t previewGeneration = 0;
    // The camera that vanished while its preview was wanted; the preview resumes when it returns.
    std::optional<std::string> previewReconnectID;
    // The mirror check box; starts from "mirrorPreview".
    bool mirror = false;
    // The preview is running (the last configure succeeded and no stop followed).
    bool running = false;

    static constexpr const char* kAccessRefused =
        "摄像头权限未开启，请将当前用户加入 video 组，或在桌面的隐私设置中允许使用摄像头";

private:
    bool busy() const { return host_.sessionBusy(); }

    Loop& loop_;
    UserDefaults& defaults_;
    PreviewHost& host_;
    SerialQueue& queue_;
    std::shared_ptr<PreviewCapture> capture_;
    SelectedDevice selected_;
    WeakOwner life_; // last, so that late replies see the preview gone before any member
};

} // namespace zarvo
