#include "media/rtc/rtc_engine_webrtc.h"

#include "foundation/glib_loop.h"
#include "foundation/json.h"
#include "foundation/owned.h"
#include "media/rtc/bandwidth_controller.h"
#include "media/rtc/ice_servers.h"
#include "media/rtc/rtc_engine_peer.h"

#include <gio/gio.h>
#include <libsoup/soup.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <thread>
#include <utility>

namespace zarvo {

namespace {

constexpr guint kJoinTimeoutMs = 10000;
constexpr int kCloseWaitMs = 500;
// The receive side's wait for late and retransmitted packets: at least this long, and long
// enough for a repair (a round trip) and the measured jitter; never so long the picture lags.
constexpr int kJitterBufferFloorMs = 60;
constexpr int kJitterBufferCeilingMs = 400;
constexpr int kJitterBufferStartMs = 120;

// Runs `task` on `context`; the task is freed with the source even when it never runs.
void invokeOn(GMainContext* context, std::function<void()> task) {
    auto* heap = new std::function<void()>(std::move(task));
    g_main_context_invoke_full(
        context, G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            (*static_cast<std::function<void()>*>(data))();
            return G_SOURCE_REMOVE;
        },
        heap, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

std::string httpURL(const std::string& url) {
    if (url.rfind("wss://", 0) == 0)
        return "https://" + url.substr(6);
    if (url.rfind("ws://", 0) == 0)
        return "http://" + url.substr(5);
    return url;
}

} // namespace

class WebRTCEngine final : public RTCEngine {
public:
    WebRTCEngine(RTCGatewayConfig config, RTCEngineDelegate* delegate)
        : config_(std::move(config)), delegate_(delegate) {
        context_ = adoptRef(g_main_context_new());
        loop_ = adoptRef(g_main_loop_new(context_.get(), FALSE));
        thread_ = std::thread([this] {
            pthread_setname_np(pthread_self(), "zarvo.rtc");
            g_main_context_push_thread_default(context_.get());
            threadLoop_ = std::make_unique<GLibLoop>(context_.get());
            {
                std::lock_guard lock(startMutex_);
                threadLoopReady_ = true;
            }
            startCv_.notify_all();
            g_main_loop_run(loop_.get());
            threadLoop_.reset();
            g_main_context_pop_thread_default(context_.get());
        });
        threadID_ = thread_.get_id();
        std::unique_lock lock(startMutex_);
        startCv_.wait(lock, [this] { return threadLoopReady_; });
    }

    ~WebRTCEngine() override { shutdown(); }

    void shutdown() {
        if (shutDown_.exchange(true))
            return;
        runSync([this] {
            teardownChannel(true);
            if (session_) {
                soup_session_abort(session_.get());
                session_.reset();
            }
        });
        g_main_loop_quit(loop_.get());
        thread_.join();
        // Whatever was still queued for the context is dropped with it.
        while (g_main_context_pending(context_.get()))
            g_main_context_iteration(context_.get(), FALSE);
        loop_.reset();
        context_.reset();
    }

    int publishLocalAudioStream(bool) override { return alive(); }
    int setDefaultSubscribeAllRemoteAudioStreams(bool) override { return alive(); }
    int setDefaultSubscribeAllRemoteVideoStreams(bool enabled) override {
        subscribeVideo_ = enabled;
        return alive();
    }
    int setVideoEncoderConfiguration(const RTCVideoEncoderConfiguration& c) override {
        if (c.width <= 0 || c.height <= 0 || c.width % 2 || c.height % 2 || c.frameRate <= 0 ||
            c.frameRate > 60 || c.bitrate < 0)
            return kRTCErrInvalidArgument;
        std::lock_guard lock(stateMutex_);
        encoder_ = c;
        return alive();
    }
    int setExternalVideoSource(bool enable, int, int) override {
        externalSource_ = enable;
        return alive();
    }
    int registerVideoSampleObserver() override {
        if (shutDown_)
            return kRTCErrNotReady;
        // Remote frames are always BGRA; the preference is asked for as the contract says.
        if (delegate_)
            delegate_->onGetVideoFormatPreference();
        std::lock_guard lock(delegateMutex_);
        observer_ = true;
        return kRTCOk;
    }
    int unregisterVideoSampleObserver() override {
        // Waits for a delivery in progress: after this returns the delegate is not called.
        std::lock_guard lock(delegateMutex_);
        observer_ = false;
        return kRTCOk;
    }
    int publishLocalVideoStream(bool enabled) override {
        publishVideo_ = enabled;
        return alive();
    }
    int setIceServers(const std::vector<RTCIceServer>& servers) override {
        std::lock_guard lock(stateMutex_);
        iceServers_ = servers;
        return alive();
    }

    int joinChannel(const std::string& token, const std::optional<std::string>& channelID,
                    const std::optional<std::string>& userID, const std::string& name,
                    RTCJoinResult done) override {
        if (shutDown_)
            return kRTCErrNotReady;
        if (token.empty())
            return kRTCErrInvalidArgument;
        codec_ = config_.codec                                ? *config_.codec
                 : WebRTCPeer::codecAvailable(RTCCodec::H264) ? RTCCodec::H264
                                                              : RTCCodec::VP8;
        if (!WebRTCPeer::codecAvailable(codec_))
            return kRTCErrNoCodec;
        if (inChannel_.exchange(true))
            return kRTCErrRefused;
        Json join = {{"type", "join"}, {"token", token}, {"name", name}};
        if (channelID)
            join["channel"] = *channelID;
        if (userID)
            join["user"] = *userID;
        invokeOn(context_.get(), [this, join = std::move(join), done = std::move(done)]() mutable {
            startJoin(std::move(join), std::move(done));
        });
        return kRTCOk;
    }

    int pushExternalVideoFrame(const RTCVideoDataSample& sample, int) override {
        if (shutDown_)
            return kRTCErrNotReady;
        if (!externalSource_ || !publishVideo_)
            return kRTCErrRefused;
        if (sample.format != 0 || sample.width <= 0 || sample.height <= 0)
            return kRTCErrInvalidArgument;
        const uint8_t* data = sample.pixelBuffer ? sample.pixelBuffer->data() : sample.data;
        const int stride = sample.pixelBuffer ? sample.pixelBuffer->stride : sample.stride;
        if (!data || stride < sample.width * 4 ||
            (sample.pixelBuffer &&
             sample.pixelBuffer->bytes.size() < static_cast<size_t>(stride) * sample.height))
            return kRTCErrInvalidArgument;
        std::lock_guard lock(peerMutex_);
        if (!peer_)
            return kRTCErrNotInChannel;
        if (sample.width != peer_->config().width || sample.height != peer_->config().height)
            return kRTCErrInvalidArgument;
        return peer_->pushFrame(data, sample.width, sample.height, stride, sample.pixelBuffer)
                   ? kRTCOk
                   : kRTCErrNotInChannel;
    }

    std::optional<RTCLinkReport> linkReport() override {
        std::lock_guard lock(reportMutex_);
        return report_;
    }

    int leaveChannel() override {
        if (shutDown_)
            return kRTCErrNotReady;
        runSync([this] { teardownChannel(true); });
        return kRTCOk;
    }

private:
    int alive() const { return shutDown_ ? kRTCErrNotReady : kRTCOk; }

    void runSync(const std::function<void()>& task) {
        if (std::this_thread::get_id() == threadID_) {
            task();
            return;
        }
        std::mutex mutex;
        std::condition_variable cv;
        bool finished = false;
        invokeOn(context_.get(), [&] {
            task();
            std::lock_guard lock(mutex);
            finished = true;
            cv.notify_one();
        });
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return finished; });
    }

    // --- engine thread only ---

    void startJoin(Json join, RTCJoinResult done) {
        const uint64_t generation = ++generation_;
        failureReported_ = false;
        pendingJoin_ = std::move(done);
        joinStarted_ = std::chrono::steady_clock::now();
        joinMessage_ = std::move(join);
        if (!session_ && !makeSession()) {
            finishJoin(kRTCErrGatewayUnreachable, "", "");
            return;
        }
        auto message = adoptRef(soup_message_new("GET", httpURL(config_.url).c_str()));
        if (!message) {
            finishJoin(kRTCErrGatewayUnreachable, "", "");
            return;
        }
        g_signal_connect(message.get(), "accept-certificate", G_CALLBACK(acceptCertificate), this);
        connecting_ = adoptRef(g_cancellable_new());
        auto* context = new ConnectContext{this, generation};
        soup_session_websocket_connect_async(session_.get(), message.get(), nullptr, nullptr,
                                             G_PRIORITY_DEFAULT, connecting_.get(), connected,
                                             context);
        joinTimeout_ = adoptRef(g_timeout_source_new(kJoinTimeoutMs));
        auto* timeoutContext = new ConnectContext{this, generation};
        g_source_set_callback(
            joinTimeout_.get(),
            [](gpointer data) -> gboolean {
                auto* c = static_cast<ConnectContext*>(data);
                if (c->engine->generation_ == c->generation && c->engine->pendingJoin_)
                    c->engine->finishJoin(kRTCErrJoinTimeout, "", "");
                return G_SOURCE_REMOVE;
            },
            timeoutContext, [](gpointer data) { delete static_cast<ConnectContext*>(data); });
        g_source_attach(joinTimeout_.get(), context_.get());
    }

    bool makeSession() {
        auto uri = adoptRef(g_uri_parse(httpURL(config_.url).c_str(), G_URI_FLAGS_NONE, nullptr));
        if (!uri)
            return false;
        host_ = g_uri_get_host(uri.get()) ? g_uri_get_host(uri.get()) : "";
        const int port = g_uri_get_port(uri.get());
        const bool tls = g_strcmp0(g_uri_get_scheme(uri.get()), "https") == 0;
        if (host_.empty())
            return false;
        gatewayPort_ = port > 0 ? port : (tls ? 443 : 80);
        // The URL keeps the bare host; the connection goes where the deployment says it is.
        GRef<GSocketConnectable> address;
        auto where = config_.connect.find(host_);
        if (where != config_.connect.end()) {
            address =
                adoptRef(g_network_address_parse(where->second.c_str(), gatewayPort_, nullptr));
            if (!address)
                return false;
        }
        session_ =
            adoptRef(soup_session_new_with_options("remote-connectable", address.get(), nullptr));
        if (config_.trust)
            soup_session_set_tls_database(session_.get(), config_.trust.get());
        return true;
    }

    // The connection is made to the mapped address, so the identity check runs here against the
    // bare host name and the trusted CA alone.
    static gboolean acceptCertificate(SoupMessage*, GTlsCertificate* certificate,
                                      GTlsCertificateFlags, gpointer self) {
        auto* engine = static_cast<WebRTCEngine*>(self);
        GTlsDatabase* trust = engine->config_.trust.get();
        if (!trust)
            return FALSE;
        auto identity = adoptRef(g_network_address_new(engine->host_.c_str(),
                                                       static_cast<guint16>(engine->gatewayPort_)));
        GTlsCertificateFlags flags = g_tls_database_verify_chain(
            trust, certificate, G_TLS_DATABASE_PURPOSE_AUTHENTICATE_SERVER, identity.get(), nullptr,
            G_TLS_DATABASE_VERIFY_NONE, nullptr, nullptr);
        return flags == 0;
    }

    struct ConnectContext {
        WebRTCEngine* engine;
        uint64_t generation;
    };

    static void connected(GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<ConnectContext> c(static_cast<ConnectContext*>(data));
        auto socket =
            adoptRef(soup_session_websocket_connect_finish(SOUP_SESSION(source), result, nullptr));
        WebRTCEngine* engine = c->engine;
        if (engine->generation_ != c->generation) {
            if (socket)
                soup_websocket_connection_close(socket.get(), SOUP_WEBSOCKET_CLOSE_NORMAL, nullptr);
            return;
        }
        engine->connecting_.reset();
        if (!socket) {
            engine->finishJoin(kRTCErrGatewayUnreachable, "", "");
            return;
        }
        g_signal_connect(socket.get(), "message", G_CALLBACK(onSocketMessage), engine);
        g_signal_connect(socket.get(), "closed", G_CALLBACK(onSocketClosed), engine);
        engine->socket_ = std::move(socket);
        engine->send(engine->joinMessage_);
    }

    void send(const Json& message) {
        if (!socket_ ||
            soup_websocket_connection_get_state(socket_.get()) != SOUP_WEBSOCKET_STATE_OPEN)
            return;
        const std::string text = message.dump(-1, ' ', false, Json::error_handler_t::replace);
        soup_websocket_connection_send_text(socket_.get(), text.c_str());
    }

    static void onSocketMessage(SoupWebsocketConnection*, gint type, GBytes* bytes, gpointer self) {
        if (type != SOUP_WEBSOCKET_DATA_TEXT)
            return;
        gsize size = 0;
        const char* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
        auto message = parseJsonObject(std::string_view(data, size));
        if (message)
            static_cast<WebRTCEngine*>(self)->handle(*message);
    }

    static void onSocketClosed(SoupWebsocketConnection*, gpointer self) {
        auto* engine = static_cast<WebRTCEngine*>(self);
        if (engine->pendingJoin_)
            engine->finishJoin(kRTCErrConnectionLost, "", "");
        else
            // The media connection cannot be renegotiated without signalling; it ends too.
            engine->failChannel(kRTCErrConnectionLost);
    }

    void handle(const Json& message) {
        const std::string type = jsonString(message, "type", "");
        if (type == "joined") {
            if (!pendingJoin_)
                return;
            channel_ = jsonString(message, "channel", "");
            user_ = jsonString(message, "user", "");
            if (!startPeer()) {
                finishJoin(kRTCErrNoCodec, channel_, user_);
                return;
            }
            watchConnection();
            finishJoin(kRTCOk, channel_, user_);
        } else if (type == "answer") {
            const std::string from = jsonString(message, "from", "");
            {
                std::lock_guard lock(delegateMutex_);
                remoteUID_ = from;
            }
            if (peer_)
                peer_->setRemoteDescription("answer", jsonString(message, "sdp", ""));
        } else if (type == "ice") {
            if (peer_)
                peer_->addRemoteCandidate(static_cast<int>(jsonInteger(message, "mline", 0)),
                                          jsonString(message, "candidate", ""));
        } else if (type == "error") {
            const int code = static_cast<int>(jsonInteger(message, "code", kRTCErrRefused));
            if (pendingJoin_)
                finishJoin(code != 0 ? code : kRTCErrRefused, "", "");
            else
                failChannel(code != 0 ? code : kRTCErrRefused);
        } else if (type == "bye") {
            failChannel(kRTCErrRemoteLeft);
        }
    }

    // After the join was answered: the media ends and the delegate hears of it once, at once,
    // rather than from a watchdog noticing that frames stopped.
    void failChannel(int code) {
        if (!inChannel_ || failureReported_)
            return;
        failureReported_ = true;
        dropPeer();
        std::lock_guard lock(delegateMutex_);
        if (observer_ && delegate_)
            delegate_->onConnectionFailure(code);
    }

    bool startPeer() {
        WebRTCPeerConfig config;
        {
            std::lock_guard lock(stateMutex_);
            config.width = encoder_.width;
            config.height = encoder_.height;
            config.frameRate = encoder_.frameRate;
            config.bitrateKbps = encoder_.bitrate;
            const WebRTCIceURIs uris = webrtcIceURIs(iceServers_);
            config.stunServer = uris.stunServer;
            config.turnServers = uris.turnServers;
        }
        config.relayOnly = config_.relayOnly;
        // A fixed bitrate asked for is kept; otherwise the link decides, up to what the picture
        // size needs.
        const bool adaptive = config.bitrateKbps == 0;
        BandwidthLimits limits;
        if (adaptive)
            config.bitrateKbps = limits.startKbps;
        config.jitterLatencyMs = kJitterBufferStartMs;
        config.codec = codec_;
        config.offerer = true;
        config.addLoopbackCandidate = WebRTCPeer::onlyLoopbackInterfaces();
        const uint64_t generation = generation_;
        WebRTCPeerCallbacks callbacks;
        callbacks.onLocalDescription = [this, generation](const std::string& type,
                                                          const std::string& sdp) {
            invokeOn(context_.get(), [this, generation, type, sdp] {
                if (generation == generation_)
                    send({{"type", type}, {"sdp", sdp}});
            });
        };
        callbacks.onLocalCandidate = [this, generation](int mline, const std::string& candidate) {
            invokeOn(context_.get(), [this, generation, mline, candidate] {
                if (generation == generation_)
                    send({{"type", "ice"}, {"mline", mline}, {"candidate", candidate}});
            });
        };
        callbacks.onFailure = [this, generation](const std::string&) {
            invokeOn(context_.get(), [this, generation] {
                if (generation == generation_)
                    failChannel(kRTCErrMediaFailed);
            });
        };
        callbacks.onRemoteFrame = [this](const uint8_t* data, int width, int height, int stride,
                                         int64_t ptsMs) {
            deliverRemote(data, width, height, stride, ptsMs);
        };
        auto peer = WebRTCPeer::create(config, std::move(callbacks));
        if (!peer)
            return false;
        {
            std::lock_guard lock(peerMutex_);
            peer_ = std::move(peer);
        }
        jitterBufferMs_ = kJitterBufferStartMs;
        {
            std::lock_guard lock(reportMutex_);
            report_ = RTCLinkReport{};
            report_->bitrateKbps = config.bitrateKbps;
            report_->jitterBufferMs = jitterBufferMs_;
        }
        if (adaptive) {
            WebRTCPeer* raw = peer_.get();
            controller_ = std::make_unique<BandwidthController>(
                *threadLoop_, limits,
                [this, raw]() -> std::optional<LinkFeedback> {
                    auto stats = raw->linkStats();
                    updateReport(raw, stats);
                    return raw->feedback(stats);
                },
                [raw](int kbps) { raw->setBitrate(kbps); });
            controller_->start();
        } else {
            WebRTCPeer* raw = peer_.get();
            statsTimer_ = threadLoop_->repeating(BandwidthController::kInterval, [this, raw] {
                auto stats = raw->linkStats();
                updateReport(raw, stats);
            });
        }
        return peer_->start();
    }

    // A relay that is down or a network that lets nothing through leaves ICE checking for
    // a long time without ever failing; the channel fails when no path is found in time.
    void watchConnection() {
        const uint64_t generation = generation_;
        iceTimer_ = threadLoop_->postDelayed(config_.iceConnectTimeout, [this, generation] {
            if (generation == generation_ && peer_ && !peer_->connected())
                failChannel(kRTCErrIceTimeout);
        });
    }

    // Engine thread: the figures for the video report, and the jitter buffer resized to what the
    // link shows.
    void updateReport(WebRTCPeer* peer, std::map<std::string, double>& stats) {
        if (stats.empty())
            return;
        const double jitterMs = stats["inbound-rtp.jitter"] * 1000;
        auto trip = stats.find("remote-inbound-rtp.round-trip-time");
        const double tripMs = trip != stats.end() ? trip->second * 1000 : -1;
        if (stats.count("inbound-rtp.jitter")) {
            const int wanted = std::clamp(
                static_cast<int>(std::lround(std::max(0.0, tripMs) * 1.5 + jitterMs * 4 + 20)),
                kJitterBufferFloorMs, kJitterBufferCeilingMs);
            // Grows at once, shrinks only when clearly too long: each resize makes the receive
            // side settle again, and the jitter figure is noisy.
            if (wanted * 4 > jitterBufferMs_ * 5 || wanted * 5 < jitterBufferMs_ * 3) {
                jitterBufferMs_ = wanted;
                peer->setJitterLatency(wanted);
            }
        }
        std::lock_guard lock(reportMutex_);
        if (!report_)
            return;
        report_->roundTripMs = tripMs;
        report_->retransmissionRequestsReceived =
            static_cast<int64_t>(stats["outbound-rtp.nack-count"]);
        report_->retransmissionRequestsSent = static_cast<int64_t>(stats["inbound-rtp.nack-count"]);
        report_->keyFrameRequestsReceived =
            static_cast<int64_t>(stats["outbound-rtp.pli-count"] + stats["outbound-rtp.fir-count"]);
        report_->keyFrameRequestsSent =
            static_cast<int64_t>(stats["inbound-rtp.pli-count"] + stats["inbound-rtp.fir-count"]);
        report_->jitterMs = jitterMs;
        report_->jitterBufferMs = jitterBufferMs_;
        if (controller_) {
            const auto figures = controller_->figures();
            report_->bitrateKbps = figures.bitrateKbps;
            report_->lossPercent = figures.lossPercent;
            report_->bitrateCuts = figures.backOffs;
        }
    }

    // GStreamer's streaming thread: the engine's callback thread for remote samples.
    void deliverRemote(const uint8_t* data, int width, int height, int stride, int64_t ptsMs) {
        if (!subscribeVideo_ || !delegate_)
            return;
        std::lock_guard lock(delegateMutex_);
        if (!observer_)
            return;
        RTCVideoDataSample sample;
        sample.type = 2;
        sample.format = 0;
        sample.width = width;
        sample.height = height;
        sample.stride = stride;
        sample.timeStampMs = ptsMs;
        sample.data = data;
        delegate_->onRemoteVideoSample(remoteUID_, 0, sample);
    }

    void cancelJoinTimeout() {
        if (joinTimeout_)
            g_source_destroy(joinTimeout_.get());
        joinTimeout_.reset();
    }

    void finishJoin(int result, const std::string& channel, const std::string& user) {
        cancelJoinTimeout();
        RTCJoinResult done = std::move(pendingJoin_);
        pendingJoin_ = nullptr;
        // A failed join leaves nothing behind, and the engine is free again before the caller
        // hears of it (it may join again from the callback).
        if (result != kRTCOk)
            teardownChannel(true);
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - joinStarted_)
                                 .count();
        if (done)
            done(result, channel, user, static_cast<int>(elapsed));
    }

    void dropPeer() {
        controller_.reset();
        statsTimer_.cancel();
        iceTimer_.cancel();
        {
            std::lock_guard lock(reportMutex_);
            report_.reset();
        }
        std::unique_ptr<WebRTCPeer> peer;
        {
            std::lock_guard lock(peerMutex_);
            peer = std::move(peer_);
        }
        if (peer)
            peer->stop(); // joins the streaming threads; the delegate is not called after this
        {
            std::lock_guard lock(delegateMutex_);
            remoteUID_.clear();
        }
    }

    // Ends the current channel: no pipeline, no socket and no pending callback remain.
    void teardownChannel(bool sayGoodbye) {
        ++generation_;
        if (connecting_) {
            g_cancellable_cancel(connecting_.get());
            connecting_.reset();
        }
        cancelJoinTimeout();
        pendingJoin_ = nullptr;
        dropPeer();
        // Taken out first: the wait below iterates the context, which may run another teardown.
        if (GRef<SoupWebsocketConnection> held = std::exchange(socket_, nullptr)) {
            SoupWebsocketConnection* socket = held.get();
            g_signal_handlers_disconnect_by_data(socket, this);
            if (soup_websocket_connection_get_state(socket) == SOUP_WEBSOCKET_STATE_OPEN) {
                if (sayGoodbye) {
                    const std::string text = Json{{"type", "leave"}}.dump();
                    soup_websocket_connection_send_text(socket, text.c_str());
                }
                soup_websocket_connection_close(socket, SOUP_WEBSOCKET_CLOSE_NORMAL, nullptr);
            }
            // Let the closing handshake finish so the socket is really gone afterwards.
            const gint64 deadline = g_get_monotonic_time() + kCloseWaitMs * 1000;
            while (soup_websocket_connection_get_state(socket) != SOUP_WEBSOCKET_STATE_CLOSED &&
                   g_get_monotonic_time() < deadline) {
                if (!g_main_context_iteration(context_.get(), FALSE))
                    g_usleep(1000);
            }
        }
        channel_.clear();
        user_.clear();
        inChannel_ = false;
    }

    RTCGatewayConfig config_;
    RTCEngineDelegate* delegate_;
    GRef<GMainContext> context_;
    GRef<GMainLoop> loop_;
    std::thread thread_;
    std::thread::id threadID_;
    std::atomic<bool> shutDown_{false};
    std::mutex startMutex_;
    std::condition_variable startCv_;
    bool threadLoopReady_ = false;
    std::unique_ptr<GLibLoop> threadLoop_; // the engine thread's timers

    std::atomic<bool> subscribeVideo_{true};
    std::atomic<bool> publishVideo_{false};
    std::atomic<bool> externalSource_{false};
    std::atomic<bool> inChannel_{false};
    std::atomic<RTCCodec> codec_{RTCCodec::H264};
    std::mutex stateMutex_;
    RTCVideoEncoderConfiguration encoder_;
    std::vector<RTCIceServer> iceServers_;

    std::mutex delegateMutex_; // held while the delegate is called
    bool observer_ = false;
    std::string remoteUID_;

    std::mutex peerMutex_; // guards the pointer for pushes from the camera queue
    std::unique_ptr<WebRTCPeer> peer_;

    std::mutex reportMutex_;
    std::optional<RTCLinkReport> report_;

    // Engine thread only.
    std::unique_ptr<BandwidthController> controller_;
    TimerHandle statsTimer_;
    TimerHandle iceTimer_;
    int jitterBufferMs_ = kJitterBufferStartMs;
    uint64_t generation_ = 0;
    bool failureReported_ = false;
    GRef<SoupSession> session_;
    std::string host_;
    int gatewayPort_ = 0;
    GRef<GCancellable> connecting_;
    GRef<SoupWebsocketConnection> socket_;
    GRef<GSource> joinTimeout_;
    RTCJoinResult pendingJoin_;
    Json joinMessage_;
    std::chrono::steady_clock::time_point joinStarted_;
    std::string channel_;
    std::string user_;
};

WebRTCEngineFactory::WebRTCEngineFactory(RTCGatewayConfig config) : config_(std::move(config)) {}

WebRTCEngineFactory::~WebRTCEngineFactory() {
    destroy();
}

std::shared_ptr<RTCEngine> WebRTCEngineFactory::sharedInstance(RTCEngineDelegate* delegate) {
    std::lock_guard lock(mutex_);
    if (!instance_)
        instance_ = std::make_shared<WebRTCEngine>(config_, delegate);
    return instance_;
}

void WebRTCEngineFactory::destroy() {
    std::shared_ptr<WebRTCEngine> instance;
    {
        std::lock_guard lock(mutex_);
        instance = std::move(instance_);
    }
    if (instance)
        instance->shutdown();
}

} // namespace zarvo
