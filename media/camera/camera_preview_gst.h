// The local preview's capture on GStreamer: source → preferred size → BGRA → appsink. Each frame
// becomes a Picture (mirrored when asked) handed to `onPicture` on a streaming thread.
#pragma once

#include "foundation/owned.h"
#include "media/camera/camera_preview.h"
#include "media/picture.h"

#include <functional>
#include <memory>

typedef struct _GstElement GstElement;

namespace zarvo {

class GstPreviewCapture final : public PreviewCapture {
public:
    using PictureSink = std::function<void(const PicturePtr& picture)>;
    explicit GstPreviewCapture(PictureSink onPicture);
    ~GstPreviewCapture() override;

    bool accessGranted(const CameraDevice& device) override;
    Status<> run(const CameraDevice& device) override;
    void stop() override;
    void setMirrored(bool mirrored) override;

    struct Frames;

private:
    std::shared_ptr<Frames> frames_;
    GRef<GstElement> pipeline_;
};

// Copies a BGRA frame into a Picture, mirrored left to right when asked.
PicturePtr previewPicture(const uint8_t* pixels, int width, int height, int stride, bool mirrored);

} // namespace zarvo
