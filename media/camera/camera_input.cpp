#include "media/camera/camera_input.h"

#include "foundation/gst_owned.h"
#include "media/camera/camera_frame.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <cmath>
#include <new>
#include <optional>
#include <tuple>

namespace zarvo {

namespace {

Error cameraUnavailable() {
    return {"摄像头不可用，请重新选择", 1};
}
Error cannotOpenCamera() {
    return {"无法打开摄像头", 2};
}
Error outputUnavailable() {
    return {"摄像头视频输出不可用", 3};
}
Error buffersUnavailable() {
    return {"视频缓冲区创建失败", 4};
}

} // namespace

// Wakes the camera queue when the sink holds a sample; at most one wake-up is queued, and the
// sink itself keeps only the newest sample, so late frames are discarded before any pixel work.
struct CameraSampleSignal {
    std::weak_ptr<CameraInput> input;
    std::shared_ptr<SerialQueue> queue;
    std::atomic<bool>* scheduled = nullptr;
};

std::shared_ptr<SerialQueue> cameraInputQueue() {
    // Never destroyed: camera stops and engine releases may still be queued at exit.
    static auto* queue =
        new std::shared_ptr<SerialQueue>(std::make_shared<SerialQueue>("zarvo.camera.input"));
    return *queue;
}

namespace {

// One mode a device offers, as the preset choice weighs it.
struct CaptureMode {
    std::string caps;
    bool jpeg = false;
    int width = 0;
    int height = 0;
    double fps = 0; // the rate asked for; 30 when the device names none
};

constexpr double kWantedFps = 25.0;

// Sizes tried on a device that offers a range: common camera sizes, largest first.
constexpr std::pair<int, int> kCommonSizes[] = {
    {1280, 720}, {1024, 576}, {960, 540}, {800, 600}, {800, 448}, {640, 480},
    {640, 360},  {424, 240},  {352, 288}, {320, 240}, {320, 180}, {176, 144},
};

// The mode of `structure` at width × height, asking for the rate nearest 30; none when the
// structure has no such size.
std::optional<CaptureMode> modeAt(const GstStructure* structure, int width, int height) {
    const bool jpeg = gst_structure_has_name(structure, "image/jpeg");
    auto offered = adoptRef(gst_caps_new_full(gst_structure_copy(structure), nullptr));
    auto wanted =
        adoptRef(gst_caps_new_simple(jpeg ? "image/jpeg" : "video/x-raw", "width", G_TYPE_INT,
                                     width, "height", G_TYPE_INT, height, nullptr));
    auto both = adoptRef(gst_caps_intersect(offered.get(), wanted.get()));
    std::optional<CaptureMode> mode;
    if (!gst_caps_is_empty(both.get())) {
        CaptureMode m{std::string(jpeg ? "image/jpeg" : "video/x-raw") +
                          ",width=" + std::to_string(width) + ",height=" + std::to_string(height),
                      jpeg, width, height, 30.0};
        GstStructureOwned fixed(gst_structure_copy(gst_caps_get_structure(both.get(), 0)));
        int num = 0, den = 1;
        // Fixating answers false for a value that is fixed already; the value is read either way.
        if (gst_structure_has_field(fixed.get(), "framerate"))
            gst_structure_fixate_field_nearest_fraction(fixed.get(), "framerate", 30, 1);
        if (gst_structure_get_fraction(fixed.get(), "framerate", &num, &den) && den > 0) {
            m.fps = double(num) / double(den);
            m.caps += ",framerate=" + std::to_string(num) + "/" + std::to_string(den);
        }
        mode = std::move(m);
    }
    return mode;
}

// Whether mode `a` is the better choice than `b`: reaching the wanted rate first (below it, the
// faster), then a size within 1280 × 720 (the larger the better), then raw before JPEG.
bool better(const CaptureMode& a, const CaptureMode& b) {
    auto rank = [](const CaptureMode& m) {
        const bool fast = m.fps >= kWantedFps - 0.01;
        const bool fits = m.width <= kPipelineFrameWidth && m.height <= kPipelineFrameHeight;
        const long area = long(m.width) * m.height;
        // Too large a mode is kept as a last resort; the smallest of those costs least.
        return std::make_tuple(fast, fast ? 0.0 : m.fps, fits, fits ? area : -area, !m.jpeg);
    };
    return rank(a) > rank(b);
}

} // namespace

CapturePreset CameraInput::configurePreset(const std::string& deviceCaps) {
    if (deviceCaps.empty() || !ensureGStreamer())
        return {};
    auto offered = adoptRef(gst_caps_from_string(deviceCaps.c_str()));
    if (!offered)
        return {};
    std::optional<CaptureMode> best;
    for (guint i = 0; i < gst_caps_get_size(offered.get()); ++i) {
        const GstStructure* structure = gst_caps_get_structure(offered.get(), i);
        if (!gst_structure_has_name(structure, "video/x-raw") &&
            !gst_structure_has_name(structure, "image/jpeg"))
            continue;
        std::vector<std::pair<int, int>> sizes;
        int width = 0, height = 0;
        if (gst_structure_get_int(structure, "width", &width) &&
            gst_structure_get_int(structure, "height", &height))
            sizes.emplace_back(width, height);
        else
            sizes.assign(std::begin(kCommonSizes), std::end(kCommonSizes));
        for (auto [w, h] : sizes)
            if (auto mode = modeAt(structure, w, h); mode && (!best || better(*mode, *best)))
                best = std::move(mode);
    }
    const bool described = gst_caps_get_size(offered.get()) > 0 && !gst_caps_is_any(offered.get());
    if (!best)
        return CapturePreset{{}, false, !described};
    return CapturePreset{best->caps, best->jpeg, true};
}

CameraInput::CameraInput(DeviceLister devices, std::shared_ptr<SerialQueue> queue)
    : queue_(std::move(queue)), devices_(std::move(devices)) {}

CameraInput::~CameraInput() {
    releasePipeline();
}

Status<> CameraInput::prepare(const std::string& deviceID) {
    const std::vector<CameraDevice> devices = devices_ ? devices_() : std::vector<CameraDevice>{};
    const CameraDevice* device = nullptr;
    for (const auto& candidate : devices)
        if (candidate.uniqueID == deviceID) {
            device = &candidate;
            break;
        }
    if (!device)
        return unexpected(cameraUnavailable());
    if (!ensureGStreamer() || !device->makeSource)
        return unexpected(cannotOpenCamera());
    releasePipeline();

    GstElement* source = device->makeSource();
    if (!source)
        return unexpected(cannotOpenCamera());
    pipeline_ = sinkElement(gst_pipeline_new("zarvo-camera-input"));
    GstElement* pipeline = pipeline_.get();
    gst_bin_add(GST_BIN(pipeline), source);

    // Source side: the preferred capture size, decoded when the device sends JPEG.
    GstElement* upstream = source;
    const CapturePreset preset = configurePreset(device->caps);
    if (!preset.usable) {
        releasePipeline();
        return unexpected(cannotOpenCamera());
    }
    if (!preset.caps.empty()) {
        GstElement* filter = gst_element_factory_make("capsfilter", nullptr);
        auto caps = adoptRef(gst_caps_from_string(preset.caps.c_str()));
        g_object_set(filter, "caps", caps.get(), nullptr);
        gst_bin_add(GST_BIN(pipeline), filter);
        GstElement* decoder =
            preset.decodesJpeg ? gst_element_factory_make("jpegdec", nullptr) : nullptr;
        if (decoder)
            gst_bin_add(GST_BIN(pipeline), decoder);
        if (!gst_element_link(upstream, filter) ||
            (preset.decodesJpeg && (!decoder || !gst_element_link(filter, decoder)))) {
            releasePipeline();
            return unexpected(cannotOpenCamera());
        }
        upstream = decoder ? decoder : filter;
    }
    if (gst_element_set_state(pipeline, GST_STATE_READY) == GST_STATE_CHANGE_FAILURE) {
        releasePipeline();
        return unexpected(cannotOpenCamera());
    }

    if (auto buffers = prepareBuffers(); !buffers) {
        releasePipeline();
        return buffers;
    }

    // Output side: BGRA into a sink that keeps only the newest frame.
    auto convert = sinkElement(gst_element_factory_make("videoconvert", nullptr));
    auto appsink = sinkElement(gst_element_factory_make("appsink", nullptr));
    if (!convert || !appsink) {
        releasePipeline();
        return unexpected(outputUnavailable());
    }
    GstElement* sink = appsink.get();
    auto bgra = adoptRef(gst_caps_from_string("video/x-raw,format=BGRA"));
    g_object_set(sink, "caps", bgra.get(), "max-buffers", 1u, "drop", TRUE, "sync", FALSE, nullptr);
    // The bin takes references of its own; the holders let theirs go at the end of the scope.
    gst_bin_add_many(GST_BIN(pipeline), convert.get(), sink, nullptr);
    if (!gst_element_link_many(upstream, convert.get(), sink, nullptr)) {
        releasePipeline();
        return unexpected(outputUnavailable());
    }
    sink_ = sink;

    signal_ = std::make_unique<CameraSampleSignal>();
    signal_->input = weak_from_this();
    signal_->queue = queue_;
    signal_->scheduled = &drainScheduled_;
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = [](GstAppSink*, gpointer data) -> GstFlowReturn {
        auto* signal = static_cast<CameraSampleSignal*>(data);
        if (!signal->scheduled->exchange(true))
            signal->queue->async([input = signal->input] {
                if (auto self = input.lock())
                    self->drainSamples();
            });
        return GST_FLOW_OK;
    };
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, signal_.get(), nullptr);

    // Errors are taken where they are posted and every other message is dropped, so the bus
    // needs no main context and does not grow during a long session.
    auto bus = adoptRef(gst_element_get_bus(pipeline));
    gst_bus_set_sync_handler(
        bus.get(),
        [](GstBus*, GstMessage* message, gpointer data) -> GstBusSyncReply {
            auto* self = static_cast<CameraInput*>(data);
            if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR && self->onError &&
                !self->errorReported_.exchange(true))
                self->onError(cannotOpenCamera());
            gst_message_unref(message);
            return GST_BUS_DROP;
        },
        this, nullptr);
    return Ok{};
}

Status<> CameraInput::prepareBuffers() {
    try {
        pool_ = std::make_unique<PixelBufferPool>(kPipelineFrameWidth, kPipelineFrameHeight,
                                                  kPoolThreshold);
    } catch (const std::bad_alloc&) {
        return unexpected(buffersUnavailable());
    }
    return Ok{};
}

void CameraInput::start() {
    queue_->async([self = shared_from_this()] {
        if (self->pipeline_)
            gst_element_set_state(self->pipeline_.get(), GST_STATE_PLAYING);
    });
}

void CameraInput::stop(std::function<void()> completion) {
    queue_->async([self = shared_from_this(), completion = std::move(completion)] {
        self->releasePipeline();
        self->onFrame = nullptr;
        if (completion)
            completion();
    });
}

void CameraInput::releasePipeline() {
    if (!pipeline_)
        return;
    // Joins the streaming threads, so no sample callback runs after this.
    gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
    auto bus = adoptRef(gst_element_get_bus(pipeline_.get()));
    gst_bus_set_sync_handler(bus.get(), nullptr, nullptr, nullptr);
    bus.reset();
    pipeline_.reset();
    sink_ = nullptr;
    signal_.reset();
}

void CameraInput::drainSamples() {
    drainScheduled_ = false;
    while (sink_) {
        auto sample = adoptRef(gst_app_sink_try_pull_sample(GST_APP_SINK(sink_), 0));
        if (!sample)
            return;
        GstBuffer* buffer = gst_sample_get_buffer(sample.get());
        GstVideoInfo info;
        GstMapInfo map;
        if (buffer && gst_video_info_from_caps(&info, gst_sample_get_caps(sample.get())) &&
            gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            const double timestamp = GST_BUFFER_PTS_IS_VALID(buffer)
                                         ? double(GST_BUFFER_PTS(buffer)) / double(GST_SECOND)
                                         : std::nan("");
            const int stride = GST_VIDEO_INFO_PLANE_STRIDE(&info, 0);
            const int width = GST_VIDEO_INFO_WIDTH(&info);
            const int height = GST_VIDEO_INFO_HEIGHT(&info);
            if (map.size >= size_t(stride) * size_t(height))
                handleFrame(map.data, width, height, stride, timestamp);
            gst_buffer_unmap(buffer, &map);
        }
    }
}

void CameraInput::handleFrame(const uint8_t* pixels, int width, int height, int stride,
                              double timestamp) {
    if (!std::isfinite(timestamp))
        return;
    if (timestamp - lastTimestamp_ < kMinimumFrameInterval)
        return;
    lastTimestamp_ = timestamp;
    PixelBufferPtr frame = normalise(pixels, width, height, stride);
    if (!frame)
        return;
    if (onFrame)
        onFrame(frame, int64_t(std::trunc(timestamp * 1000.0)));
}

PixelBufferPtr CameraInput::normalise(const uint8_t* pixels, int width, int height, int stride) {
    if (!pool_)
        return nullptr;
    PixelBufferPtr frame = pool_->take();
    if (!frame || !normalizeFrame(pixels, width, height, stride, *frame))
        return nullptr;
    return frame;
}

} // namespace zarvo
