#include "pixelfeed/pipewire_device.h"

#include "foundation/owned.h"
#include "pixelfeed/v4l2_device.h"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace pixelfeed {

namespace {

constexpr int kStride = kWidth * 2;
constexpr size_t kYuyvBytes = size_t(kStride) * kHeight;

void initPipeWire() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

// Owning handles for the PipeWire objects; each is released by its own destroy call.
struct LoopFree {
    void operator()(pw_loop* loop) const { pw_loop_destroy(loop); }
};
struct ThreadLoopFree {
    void operator()(pw_thread_loop* loop) const { pw_thread_loop_destroy(loop); }
};
struct ContextFree {
    void operator()(pw_context* context) const { pw_context_destroy(context); }
};
struct CoreFree {
    void operator()(pw_core* core) const { pw_core_disconnect(core); }
};
struct StreamFree {
    void operator()(pw_stream* stream) const { pw_stream_destroy(stream); }
};
struct ProxyFree {
    void operator()(pw_registry* registry) const {
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
    }
};
using LoopPtr = std::unique_ptr<pw_loop, LoopFree>;
using ThreadLoopPtr = std::unique_ptr<pw_thread_loop, ThreadLoopFree>;
using ContextPtr = std::unique_ptr<pw_context, ContextFree>;
using CorePtr = std::unique_ptr<pw_core, CoreFree>;
using StreamPtr = std::unique_ptr<pw_stream, StreamFree>;
using RegistryPtr = std::unique_ptr<pw_registry, ProxyFree>;

// The probe's state, filled in by the registry and core callbacks on the calling thread.
struct ProbeState {
    std::optional<std::string> nodeName;
    std::optional<std::string> description;
    int syncSeq = -1;
    bool done = false;
    bool failed = false;
};

void probeGlobal(void* data, uint32_t, uint32_t, const char* type, uint32_t,
                 const spa_dict* props) {
    auto* state = static_cast<ProbeState*>(data);
    if (!state->nodeName || !props || std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0)
        return;
    const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
    const char* mediaClass = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
    if (!name || *state->nodeName != name || !mediaClass ||
        std::strcmp(mediaClass, "Video/Source") != 0)
        return;
    const char* description = spa_dict_lookup(props, PW_KEY_NODE_DESCRIPTION);
    state->description = description ? description : name;
}

void probeDone(void* data, uint32_t id, int seq) {
    auto* state = static_cast<ProbeState*>(data);
    if (id == PW_ID_CORE && seq == state->syncSeq)
        state->done = true;
}

void probeError(void* data, uint32_t id, int, int, const char*) {
    if (id == PW_ID_CORE)
        static_cast<ProbeState*>(data)->failed = true;
}

} // namespace

PipeWireProbe probePipeWire(std::chrono::milliseconds limit,
                            const std::optional<std::string>& nodeName) {
    initPipeWire();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    PipeWireProbe probe;
    LoopPtr loop(pw_loop_new(nullptr));
    if (!loop)
        return probe;
    ContextPtr context(pw_context_new(loop.get(), nullptr, 0));
    if (!context)
        return probe;
    // Fails at once when nothing listens on the socket.
    CorePtr core(pw_context_connect(context.get(), nullptr, 0));
    if (!core)
        return probe;

    ProbeState state;
    state.nodeName = nodeName;
    static const pw_core_events coreEvents = [] {
        pw_core_events events{};
        events.version = PW_VERSION_CORE_EVENTS;
        events.done = probeDone;
        events.error = probeError;
        return events;
    }();
    static const pw_registry_events registryEvents = [] {
        pw_registry_events events{};
        events.version = PW_VERSION_REGISTRY_EVENTS;
        events.global = probeGlobal;
        return events;
    }();
    spa_hook coreListener{}, registryListener{};
    pw_core_add_listener(core.get(), &coreListener, &coreEvents, &state);
    RegistryPtr registry;
    if (nodeName) {
        registry.reset(pw_core_get_registry(core.get(), PW_VERSION_REGISTRY, 0));
        if (registry)
            pw_registry_add_listener(registry.get(), &registryListener, &registryEvents, &state);
    }
    // The registry announces every existing global before the answer to a later sync.
    state.syncSeq = pw_core_sync(core.get(), PW_ID_CORE, 0);
    pw_loop_enter(loop.get());
    while (!state.done && !state.failed) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        if (pw_loop_iterate(loop.get(), int(std::min<long>(left.count(), 100))) < 0 &&
            errno != EINTR)
            break;
    }
    pw_loop_leave(loop.get());
    if (registry)
        spa_hook_remove(&registryListener);
    spa_hook_remove(&coreListener);
    probe.answers = state.done && !state.failed;
    if (probe.answers)
        probe.nodeDescription = state.description;
    return probe;
}

bool pipeWireSocketAnswers() {
    const char* remote = std::getenv("PIPEWIRE_REMOTE");
    std::string name = remote && *remote ? remote : "pipewire-0";
    std::string path = name;
    if (name.front() != '/') {
        const char* runtime = std::getenv("PIPEWIRE_RUNTIME_DIR");
        if (!runtime)
            runtime = std::getenv("XDG_RUNTIME_DIR");
        if (!runtime || !*runtime)
            return false;
        path = std::string(runtime) + "/" + name;
    }
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path)
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    zarvo::UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket)
        return false;
    return ::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

struct PipeWireDevice::Impl {
    SenderTarget target;
    ThreadLoopPtr loop;
    ContextPtr context;
    CorePtr core;
    StreamPtr stream;
    spa_hook coreListener{};
    spa_hook streamListener{};
    spa_source* timer = nullptr;
    bool listening = false;

    // Loop thread and deliver(): the newest frame in YUY2.
    std::mutex frameMutex;
    std::vector<uint8_t> latest;
    std::vector<uint8_t> staging;

    // Written on the loop thread, read anywhere.
    std::atomic<bool> lost{false};
    std::atomic<uint64_t> sent{0};
    pw_stream_state state = PW_STREAM_STATE_UNCONNECTED; // under the loop lock
    std::string stateError;                              // under the loop lock

    ~Impl() { close(); }

    void close() {
        if (!loop)
            return;
        pw_thread_loop_stop(loop.get());
        // The loop thread has ended: everything below runs alone.
        if (timer)
            pw_loop_destroy_source(pw_thread_loop_get_loop(loop.get()), timer);
        timer = nullptr;
        if (listening) {
            spa_hook_remove(&streamListener);
            spa_hook_remove(&coreListener);
            listening = false;
        }
        stream.reset();
        core.reset();
        context.reset();
        loop.reset();
    }

    void armTimer(bool on) {
        timespec value{0, 0}, interval{0, 0};
        if (on) {
            value.tv_nsec = 1; // at once
            long long period = 1'000'000'000LL / std::max(1, target.frameRate);
            interval.tv_sec = time_t(period / 1'000'000'000LL);
            interval.tv_nsec = long(period % 1'000'000'000LL);
        }
        pw_loop_update_timer(pw_thread_loop_get_loop(loop.get()), timer, &value, &interval, false);
    }

    static void onTimer(void* data, uint64_t) {
        auto* self = static_cast<Impl*>(data);
        pw_stream_trigger_process(self->stream.get());
    }

    static void onStateChanged(void* data, pw_stream_state, pw_stream_state state,
                               const char* error) {
        auto* self = static_cast<Impl*>(data);
        self->state = state;
        if (error)
            self->stateError = error;
        // Triggered only while a consumer streams; a later consumer starts it again.
        self->armTimer(state == PW_STREAM_STATE_STREAMING);
        if (state == PW_STREAM_STATE_ERROR)
            self->lost = true;
        pw_thread_loop_signal(self->loop.get(), false);
    }

    static void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
        auto* self = static_cast<Impl*>(data);
        if (id != SPA_PARAM_Format || !param)
            return;
        uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_pod* params[2];
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
            SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
            SPA_PARAM_BUFFERS_size, SPA_POD_Int(int(kYuyvBytes)), SPA_PARAM_BUFFERS_stride,
            SPA_POD_Int(kStride), SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
        params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
            SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
            SPA_POD_Int(int(sizeof(spa_meta_header)))));
        pw_stream_update_params(self->stream.get(), params, 2);
    }

    static void onProcess(void* data) {
        auto* self = static_cast<Impl*>(data);
        pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream.get());
        if (!buffer)
            return;
        spa_buffer* spa = buffer->buffer;
        spa_data& plane = spa->datas[0];
        if (plane.data && plane.maxsize >= kYuyvBytes) {
            {
                std::lock_guard guard(self->frameMutex);
                std::memcpy(plane.data, self->latest.data(), kYuyvBytes);
            }
            plane.chunk->offset = 0;
            plane.chunk->stride = kStride;
            plane.chunk->size = uint32_t(kYuyvBytes);
            auto* header = static_cast<spa_meta_header*>(
                spa_buffer_find_meta_data(spa, SPA_META_Header, sizeof(spa_meta_header)));
            if (header) {
                timespec now{};
                clock_gettime(CLOCK_MONOTONIC, &now);
                header->flags = 0;
                header->offset = 0;
                header->pts = int64_t(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
                header->dts_offset = 0;
                header->seq = self->sent.load();
            }
            self->sent.fetch_add(1);
        } else if (plane.chunk) {
            plane.chunk->size = 0;
        }
        pw_stream_queue_buffer(self->stream.get(), buffer);
    }

    static void onCoreError(void* data, uint32_t id, int, int, const char*) {
        auto* self = static_cast<Impl*>(data);
        // An error on the core itself means the connection is gone (the daemon ended).
        if (id == PW_ID_CORE) {
            self->lost = true;
            pw_thread_loop_signal(self->loop.get(), false);
        }
    }
};

PipeWireDevice::PipeWireDevice(const SenderTarget& target, const std::string& nodeName,
                               const std::string& description)
    : impl_(std::make_unique<Impl>()) {
    initPipeWire();
    Impl& impl = *impl_;
    impl.target = target;
    impl.latest.resize(kYuyvBytes);
    for (size_t i = 0; i < kYuyvBytes; i += 2) { // black until the first frame: Y 16, U/V 128
        impl.latest[i] = 16;
        impl.latest[i + 1] = 128;
    }

    impl.loop.reset(pw_thread_loop_new("pixelfeed-pipewire", nullptr));
    if (!impl.loop)
        throw Failure("PipeWire loop");
    pw_loop* loop = pw_thread_loop_get_loop(impl.loop.get());
    impl.context.reset(pw_context_new(loop, nullptr, 0));
    if (!impl.context)
        throw Failure("PipeWire context");
    impl.core.reset(pw_context_connect(impl.context.get(), nullptr, 0));
    if (!impl.core)
        throw Failure("PipeWire is not running");
    impl.timer = pw_loop_add_timer(loop, &Impl::onTimer, &impl);

    pw_properties* props =
        pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_ROLE, "Camera",
                          PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                          PW_KEY_NODE_NAME, nodeName.c_str(), PW_KEY_NODE_DESCRIPTION,
                          description.c_str(), PW_KEY_NODE_NICK, description.c_str(), nullptr);
    impl.stream.reset(pw_stream_new(impl.core.get(), description.c_str(), props));
    if (!impl.stream)
        throw Failure("PipeWire stream");

    static const pw_core_events coreEvents = [] {
        pw_core_events events{};
        events.version = PW_VERSION_CORE_EVENTS;
        events.error = &Impl::onCoreError;
        return events;
    }();
    static const pw_stream_events streamEvents = [] {
        pw_stream_events events{};
        events.version = PW_VERSION_STREAM_EVENTS;
        events.state_changed = &Impl::onStateChanged;
        events.param_changed = &Impl::onParamChanged;
        events.process = &Impl::onProcess;
        return events;
    }();
    pw_core_add_listener(impl.core.get(), &impl.coreListener, &coreEvents, &impl);
    pw_stream_add_listener(impl.stream.get(), &impl.streamListener, &streamEvents, &impl);
    impl.listening = true;

    // One fixed offer: browsers ignore camera nodes whose formats are ranges.
    uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_video_info_raw info{};
    info.format = SPA_VIDEO_FORMAT_YUY2;
    info.size = SPA_RECTANGLE(uint32_t(kWidth), uint32_t(kHeight));
    info.framerate = SPA_FRACTION(uint32_t(std::max(1, target.frameRate)), 1);
    const spa_pod* params[1] = {spa_format_video_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    if (pw_stream_connect(impl.stream.get(), PW_DIRECTION_OUTPUT, PW_ID_ANY,
                          pw_stream_flags(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
                          params, 1) < 0)
        throw Failure("PipeWire stream");

    if (pw_thread_loop_start(impl.loop.get()) < 0)
        throw Failure("PipeWire loop");
    // Ready once the daemon has the node (paused until a consumer links to it).
    pw_thread_loop_lock(impl.loop.get());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (impl.state != PW_STREAM_STATE_PAUSED && impl.state != PW_STREAM_STATE_STREAMING &&
           impl.state != PW_STREAM_STATE_ERROR && !impl.lost &&
           std::chrono::steady_clock::now() < deadline)
        pw_thread_loop_timed_wait(impl.loop.get(), 1);
    bool ready = impl.state == PW_STREAM_STATE_PAUSED || impl.state == PW_STREAM_STATE_STREAMING;
    std::string error = impl.stateError;
    pw_thread_loop_unlock(impl.loop.get());
    if (!ready)
        throw Failure(error.empty() ? "PipeWire node unavailable"
                                    : "PipeWire node unavailable: " + error);
}

PipeWireDevice::~PipeWireDevice() = default;

bool PipeWireDevice::deliver(const uint8_t* rgba) {
    if (impl_->lost)
        throw Failure("PipeWire connection lost");
    rgbaToYuyv(rgba, impl_->staging);
    std::lock_guard guard(impl_->frameMutex);
    impl_->latest.swap(impl_->staging);
    return true;
}

void PipeWireDevice::stop() {
    impl_->close();
}

uint64_t PipeWireDevice::framesSent() const {
    return impl_->sent.load();
}

} // namespace pixelfeed
