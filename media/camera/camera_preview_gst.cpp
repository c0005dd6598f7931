#include "media/camera/camera_preview_gst.h"

#include "foundation/gst_owned.h"
#include "media/camera/camera_input.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

namespace zarvo {

struct GstPreviewCapture::Frames {
    PictureSink onPicture;
    std::atomic<bool> mirrored{false};
};

namespace {

std::string busError(GstElement* pipeline) {
    std::string text;
    auto bus = adoptRef(gst_element_get_bus(pipeline));
    if (auto message = adoptRef(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR))) {
        GErrorHolder error;
        gst_message_parse_error(message.get(), error.out(), nullptr);
        if (error && error->message)
            text = error->message;
    }
    return text.empty() ? "设备无法打开" : text;
}

GstFlowReturn newSample(GstAppSink* sink, gpointer data) {
    auto* frames = static_cast<GstPreviewCapture::Frames*>(data);
    auto sample = adoptRef(gst_app_sink_pull_sample(sink));
    if (!sample)
        return GST_FLOW_OK;
    GstBuffer* buffer = gst_sample_get_buffer(sample.get());
    GstVideoInfo info;
    GstMapInfo map;
    if (buffer && gst_video_info_from_caps(&info, gst_sample_get_caps(sample.get())) &&
        gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        const int width = GST_VIDEO_INFO_WIDTH(&info);
        const int height = GST_VIDEO_INFO_HEIGHT(&info);
        const int stride = GST_VIDEO_INFO_PLANE_STRIDE(&info, 0);
        if (width > 0 && height > 0 && map.size >= size_t(stride) * size_t(height) &&
            frames->onPicture)
            frames->onPicture(previewPicture(map.data, width, height, stride, frames->mirrored));
        gst_buffer_unmap(buffer, &map);
    }
    return GST_FLOW_OK;
}

} // namespace

PicturePtr previewPicture(const uint8_t* pixels, int width, int height, int stride, bool mirrored) {
    if (!mirrored)
        return Picture::copyBGRA(width, height, stride, pixels);
    std::vector<uint8_t> flipped(size_t(width) * size_t(height) * 4);
    for (int y = 0; y < height; ++y) {
        const uint8_t* source = pixels + size_t(y) * stride;
        uint8_t* row = flipped.data() + size_t(y) * width * 4;
        for (int x = 0; x < width; ++x)
            std::memcpy(row + size_t(width - 1 - x) * 4, source + size_t(x) * 4, 4);
    }
    return Picture::adoptBGRA(width, height, std::move(flipped));
}

GstPreviewCapture::GstPreviewCapture(PictureSink onPicture) : frames_(std::make_shared<Frames>()) {
    frames_->onPicture = std::move(onPicture);
}

GstPreviewCapture::~GstPreviewCapture() {
    stop();
}

bool GstPreviewCapture::accessGranted(const CameraDevice& device) {
    return deviceNodeAccessible(device.devicePath);
}

Status<> GstPreviewCapture::run(const CameraDevice& device) {
    stop();
    if (!ensureGStreamer() || !device.makeSource)
        return unexpected(Error{"设备不可用", kInputNotCreated});
    GstElement* source = device.makeSource();
    if (!source)
        return unexpected(Error{"设备不可用", kInputNotCreated});
    pipeline_ = sinkElement(gst_pipeline_new("zarvo-camera-preview"));
    GstElement* pipeline = pipeline_.get();
    gst_bin_add(GST_BIN(pipeline), source);

    // The device is opened here; a busy or unreadable device fails now.
    if (gst_element_set_state(pipeline, GST_STATE_READY) == GST_STATE_CHANGE_FAILURE) {
        std::string description = busError(pipeline);
        stop();
        return unexpected(Error{description, kInputNotCreated});
    }

    const CapturePreset preset = CameraInput::configurePreset(device.caps);
    std::string description;
    if (!preset.caps.empty())
        description += "capsfilter caps=\"" + preset.caps + "\" ! ";
    if (preset.decodesJpeg)
        description += "jpegdec ! ";
    description += "videoconvert ! appsink name=sink caps=video/x-raw,format=BGRA "
                   "max-buffers=1 drop=true sync=false";
    GstElement* tail = gst_parse_bin_from_description(description.c_str(), TRUE, nullptr);
    if (!tail || !gst_bin_add(GST_BIN(pipeline), tail) || !gst_element_link(source, tail)) {
        stop();
        return unexpected(Error{"无法使用所选摄像头", kInputNotAdded});
    }
    auto sink = adoptRef(gst_bin_get_by_name(GST_BIN(tail), "sink"));
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = newSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink.get()), &callbacks, frames_.get(), nullptr);

    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        std::string text = busError(pipeline);
        stop();
        return unexpected(Error{text, kInputNotCreated});
    }
    // Errors during the run are shown by the frozen picture; nobody reads this bus.
    gst_bus_set_flushing(adoptRef(gst_element_get_bus(pipeline)).get(), TRUE);
    return Ok{};
}

void GstPreviewCapture::stop() {
    if (!pipeline_)
        return;
    // Joins the streaming threads: no frame is delivered after this.
    gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
    pipeline_.reset();
}

void GstPreviewCapture::setMirrored(bool mirrored) {
    frames_->mirrored = mirrored;
}

} // namespace zarvo
