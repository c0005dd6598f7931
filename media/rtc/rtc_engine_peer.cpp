#include "media/rtc/rtc_engine_peer.h"

#include "foundation/gst_owned.h"

#define GST_USE_UNSTABLE_API
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/sdp/sdp.h>
#include <gst/video/video.h>
#include <gst/webrtc/webrtc.h>

#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <tuple>
#include <vector>

namespace zarvo {

namespace {

std::once_flag gstInitOnce;

void ensureGstInitialised() {
    std::call_once(gstInitOnce, [] { gst_init(nullptr, nullptr); });
}

bool elementExists(const char* name) {
    ensureGstInitialised();
    return bool(adoptRef(gst_element_factory_find(name)));
}

std::string encoderBranch(const WebRTCPeerConfig& config) {
    const int kbps = config.bitrateKbps > 0 ? config.bitrateKbps : 2500;
    if (config.codec == RTCCodec::H264)
        return "videoconvert n-threads=1 ! video/x-raw,format=I420 ! "
               "x264enc name=encoder tune=zerolatency speed-preset=ultrafast key-int-max=50 "
               "bitrate=" +
               std::to_string(kbps) +
               " ! video/x-h264,profile=constrained-baseline ! "
               "rtph264pay config-interval=-1 aggregate-mode=zero-latency mtu=1200 ! "
               "application/x-rtp,media=video,encoding-name=H264,payload=96,clock-rate=90000";
    // More than one VP8 encoder thread stalls on a two-core machine.
    return "videoconvert n-threads=1 ! video/x-raw,format=I420 ! "
           "vp8enc name=encoder deadline=1 threads=1 cpu-used=8 end-usage=cbr "
           "error-resilient=partitions "
           "keyframe-max-dist=50 lag-in-frames=0 target-bitrate=" +
           std::to_string(kbps * 1000) +
           " ! rtpvp8pay mtu=1200 ! "
           "application/x-rtp,media=video,encoding-name=VP8,payload=96,clock-rate=90000";
}

// Session descriptions are boxed, not counted: owned outright.
struct DescriptionDeleter {
    void operator()(GstWebRTCSessionDescription* description) const {
        gst_webrtc_session_description_free(description);
    }
};
using OwnedDescription = std::unique_ptr<GstWebRTCSessionDescription, DescriptionDeleter>;

void applyShape(GstElement* netsim, const NetworkShape& shape) {
    const int low = std::max(0, shape.delayMs - shape.jitterMs);
    const int high = std::max(low, shape.delayMs + shape.jitterMs);
    g_object_set(netsim, "drop-probability", static_cast<gfloat>(shape.lossPercent / 100.0),
                 "min-delay", low, "max-delay", high, "delay-probability",
                 static_cast<gfloat>(high > 0 ? 1.0 : 0.0), nullptr);
}

// What a narrow link lets through: its rate, a short burst, and a queue of this much sending time
// in front of it; a packet that would wait longer is dropped, as a router's full queue does. The
// queue's wait itself is not played out.
constexpr double kCapBurstSeconds = 0.02;
constexpr double kCapQueueSeconds = 0.25;

} // namespace

// The capacity limit on a shaped path. netsim's own rate limit does not hold back what
// webrtcbin's auxiliary sender passes it, so each direction keeps a token bucket of its own.
struct WebRTCPeer::Cap {
    std::atomic<int> kbps{0}; // 0: no limit
    std::mutex mutex;
    double tokens = 0; // bytes; below zero: the queue in front of the link
    std::chrono::steady_clock::time_point refilled = std::chrono::steady_clock::now();

    // How long the packet waits, or none when it is dropped.
    std::optional<double> admit(int rateKbps, size_t bytes) {
        std::lock_guard lock(mutex);
        const auto now = std::chrono::steady_clock::now();
        const double rate = rateKbps * 1000.0 / 8; // bytes a second
        tokens = std::min(rate * kCapBurstSeconds,
                          tokens + rate * std::chrono::duration<double>(now - refilled).count());
        refilled = now;
        if (tokens - double(bytes) < -rate * kCapQueueSeconds)
            return std::nullopt;
        tokens -= double(bytes);
        return tokens < 0 ? -tokens / rate : 0.0;
    }

    static GstPadProbeReturn probe(GstPad*, GstPadProbeInfo* info, gpointer data) {
        auto* cap = static_cast<Cap*>(data);
        const int rateKbps = cap->kbps.load();
        if (rateKbps <= 0)
            return GST_PAD_PROBE_OK;
        size_t bytes = 0;
        if (GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
            buffer && (info->type & GST_PAD_PROBE_TYPE_BUFFER))
            bytes = gst_buffer_get_size(buffer);
        else if (GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info))
            bytes = gst_buffer_list_calculate_size(list);
        // Admitted packets go on at once: holding the sending thread would slow the encoder
        // down instead of losing packets on the way, which no receiver would ever report.
        return cap->admit(rateKbps, bytes) ? GST_PAD_PROBE_OK : GST_PAD_PROBE_DROP;
    }

    void watch(GstElement* netsim) {
        if (auto pad = adoptRef(gst_element_get_static_pad(netsim, "sink")))
            gst_pad_add_probe(pad.get(),
                              static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
                                                           GST_PAD_PROBE_TYPE_BUFFER_LIST),
                              probe, this, nullptr);
    }
};

struct WebRTCPeer::Hooks {
    static void offerCreated(GstPromise* promise, gpointer data) {
        auto* peer = static_cast<WebRTCPeer*>(data);
        auto owned = adoptRef(promise); // the reference its creator handed over
        const GstStructure* reply = gst_promise_get_reply(promise);
        GstWebRTCSessionDescription* offer = nullptr;
        if (reply)
            gst_structure_get(reply, "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer, nullptr);
        owned.reset();
        if (!offer) {
            peer->fail("offer");
            return;
        }
        peer->publishLocal(offer, "offer");
    }
    static void answerCreated(GstPromise* promise, gpointer data) {
        auto* peer = static_cast<WebRTCPeer*>(data);
        auto owned = adoptRef(promise); // the reference its creator handed over
        const GstStructure* reply = gst_promise_get_reply(promise);
        GstWebRTCSessionDescription* answer = nullptr;
        if (reply)
            gst_structure_get(reply, "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &answer,
                              nullptr);
        owned.reset();
        if (!answer) {
            peer->fail("answer");
            return;
        }
        peer->publishLocal(answer, "answer");
    }
    static GstFlowReturn newSample(GstAppSink* sink, gpointer self) {
        auto sample = adoptRef(gst_app_sink_pull_sample(sink));
        if (!sample)
            return GST_FLOW_OK;
        static_cast<WebRTCPeer*>(self)->deliverSample(sample.get());
        return GST_FLOW_OK;
    }
    static void remoteSet(GstPromise* promise, gpointer data) {
        auto* peer = static_cast<WebRTCPeer*>(data);
        auto owned = adoptRef(promise); // the reference its creator handed over
        // webrtcbin answers a refused description with an "error" in the reply.
        const GstStructure* reply = gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED
                                        ? gst_promise_get_reply(promise)
                                        : nullptr;
        const bool refused = reply && gst_structure_has_field(reply, "error");
        owned.reset();
        if (refused) {
            peer->fail("remote description refused");
            return;
        }
        if (peer->config_.offerer)
            return;
        GstPromise* next = gst_promise_new_with_change_func(answerCreated, peer, nullptr);
        g_signal_emit_by_name(peer->webrtc_.get(), "create-answer", nullptr, next);
    }
};

void WebRTCPeer::publishLocal(GstWebRTCSessionDescription* taken, const char* type) {
    OwnedDescription description(taken);
    auto promise = adoptRef(gst_promise_new());
    g_signal_emit_by_name(webrtc_.get(), "set-local-description", description.get(), promise.get());
    gst_promise_interrupt(promise.get());
    promise.reset();
    GOwned<gchar> text(gst_sdp_message_as_text(description->sdp));
    std::string sdp = text ? text.get() : "";
    description.reset();
    if (callbacks_.onLocalDescription)
        callbacks_.onLocalDescription(type, sdp);
}

std::unique_ptr<WebRTCPeer> WebRTCPeer::create(const WebRTCPeerConfig& config,
                                               WebRTCPeerCallbacks callbacks) {
    ensureGstInitialised();
    std::unique_ptr<WebRTCPeer> peer(new WebRTCPeer(config, std::move(callbacks)));
    if (!peer->build())
        return nullptr;
    return peer;
}

WebRTCPeer::WebRTCPeer(const WebRTCPeerConfig& config, WebRTCPeerCallbacks callbacks)
    : config_(config), callbacks_(std::move(callbacks)), sendCap_(std::make_unique<Cap>()),
      receiveCap_(std::make_unique<Cap>()) {
    sendCap_->kbps = config.shape.kbps;
    receiveCap_->kbps = config.shape.kbps;
}

WebRTCPeer::~WebRTCPeer() {
    stop();
}

bool WebRTCPeer::codecAvailable(RTCCodec codec) {
    if (!elementExists("webrtcbin") || !elementExists("nicesrc"))
        return false;
    if (codec == RTCCodec::H264)
        return elementExists("x264enc") && elementExists("avdec_h264") &&
               elementExists("rtph264pay");
    return elementExists("vp8enc") && elementExists("vp8dec") && elementExists("rtpvp8pay");
}

RTCCodec WebRTCPeer::codecOfOffer(const std::string& sdp) {
    if (sdp.find("H264/90000") != std::string::npos)
        return RTCCodec::H264;
    return RTCCodec::VP8;
}

bool WebRTCPeer::onlyLoopbackInterfaces() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return true;
    bool other = false;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        auto* address = reinterpret_cast<sockaddr_in*>(entry->ifa_addr);
        if ((ntohl(address->sin_addr.s_addr) >> 24) != 127)
            other = true;
    }
    freeifaddrs(list);
    return !other;
}

bool WebRTCPeer::build() {
    // The input queue is bounded and leaky: webrtcbin holds the send path until DTLS is up, and
    // an unbounded queue would grow by the whole frame rate meanwhile.
    const std::string caps = "video/x-raw,format=BGRA,width=" + std::to_string(config_.width) +
                             ",height=" + std::to_string(config_.height) +
                             ",framerate=" + std::to_string(config_.frameRate) + "/1";
    const std::string description =
        "webrtcbin name=webrtc bundle-policy=max-bundle latency=" +
        std::to_string(std::max(0, config_.jitterLatencyMs)) +
        " "
        "appsrc name=source is-live=true format=time do-timestamp=true max-buffers=2 "
        "leaky-type=downstream caps=" +
        caps + " ! queue leaky=downstream max-size-buffers=2 max-size-bytes=0 max-size-time=0 ! " +
        encoderBranch(config_) + " ! webrtc.";
    GErrorHolder error;
    pipeline_ = sinkElement(gst_parse_launch(description.c_str(), error.out()));
    if (error) {
        pipeline_.reset();
        return false;
    }
    webrtc_ = adoptRef(gst_bin_get_by_name(GST_BIN(pipeline_.get()), "webrtc"));
    source_ = adoptRef(gst_bin_get_by_name(GST_BIN(pipeline_.get()), "source"));
    if (!webrtc_ || !source_)
        return false;

    GstWebRTCRTPTransceiver* transceiver = nullptr;
    g_signal_emit_by_name(webrtc_.get(), "get-transceiver", 0, &transceiver);
    // NACK with RTX: a lost packet is asked for again and resent on its own stream, so one loss
    // costs a round trip instead of a broken picture until the next key frame.
    if (auto held = adoptRef(transceiver))
        g_object_set(held.get(), "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDRECV,
                     "do-nack", TRUE, nullptr);
    if (config_.shapeable) {
        g_signal_connect(webrtc_.get(), "request-aux-sender", G_CALLBACK(onRequestAuxSender), this);
        // webrtcbin has no receiving counterpart of its auxiliary sender; its RTP bin asks for
        // a "decoder" in front of each session, after the transport has decrypted the packets.
        // There a shaper loses and delays what the RTP session, the retransmission requests and
        // the jitter buffer see, as the wire would (RTCP passes untouched, as it does on the
        // send side).
        rtpbin_ = adoptRef(gst_bin_get_by_name(GST_BIN(webrtc_.get()), "rtpbin"));
        if (!rtpbin_)
            return false;
        g_signal_connect(rtpbin_.get(), "request-rtp-decoder", G_CALLBACK(onRequestRtpDecoder),
                         this);
    }
    if (!config_.stunServer.empty())
        g_object_set(webrtc_.get(), "stun-server", config_.stunServer.c_str(), nullptr);
    for (const auto& turn : config_.turnServers) {
        gboolean added = FALSE;
        g_signal_emit_by_name(webrtc_.get(), "add-turn-server", turn.c_str(), &added);
    }
    if (config_.relayOnly)
        g_object_set(webrtc_.get(), "ice-transport-policy", GST_WEBRTC_ICE_TRANSPORT_POLICY_RELAY,
                     nullptr);
    if (config_.addLoopbackCandidate) {
        GstWebRTCICE* ice = nullptr;
        g_object_get(webrtc_.get(), "ice-agent", &ice, nullptr);
        if (auto held = adoptRef(ice)) {
            gboolean added = FALSE;
            g_signal_emit_by_name(held.get(), "add-local-ip-address", "127.0.0.1", &added);
        }
    }

    if (config_.offerer)
        g_signal_connect(webrtc_.get(), "on-negotiation-needed", G_CALLBACK(onNegotiationNeeded),
                         this);
    g_signal_connect(webrtc_.get(), "on-ice-candidate", G_CALLBACK(onIceCandidate), this);
    g_signal_connect(webrtc_.get(), "pad-added", G_CALLBACK(onPadAdded), this);
    g_signal_connect(webrtc_.get(), "notify::ice-connection-state", G_CALLBACK(onIceStateChanged),
                     this);

    // Errors are caught where they are posted, so the peer needs no main context of its own.
    auto bus = adoptRef(gst_pipeline_get_bus(GST_PIPELINE(pipeline_.get())));
    gst_bus_set_sync_handler(
        bus.get(),
        [](GstBus*, GstMessage* message, gpointer self) -> GstBusSyncReply {
            // A dropped message belongs to the handler.
            auto owned = adoptRef(message);
            if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
                GErrorHolder err;
                gst_message_parse_error(message, err.out(), nullptr);
                static_cast<WebRTCPeer*>(self)->fail(err.message("pipeline error"));
            }
            return GST_BUS_DROP;
        },
        this, nullptr);
    return true;
}

bool WebRTCPeer::start() {
    if (!pipeline_ || stopped_)
        return false;
    return gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
}

void WebRTCPeer::stop() {
    // Other threads read the flag (statistics, bitrate changes) while the owner stops.
    if (stopped_.exchange(true))
        return;
    if (pipeline_) {
        // Setting NULL joins every streaming thread and the ICE agent's thread; no callback
        // runs after it.
        gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
        auto bus = adoptRef(gst_pipeline_get_bus(GST_PIPELINE(pipeline_.get())));
        gst_bus_set_sync_handler(bus.get(), nullptr, nullptr, nullptr);
        if (webrtc_)
            g_signal_handlers_disconnect_by_data(webrtc_.get(), this);
        if (rtpbin_)
            g_signal_handlers_disconnect_by_data(rtpbin_.get(), this);
    }
    {
        std::lock_guard lock(shapeMutex_);
        if (reportSession_)
            g_signal_handlers_disconnect_by_data(reportSession_.get(), this);
        reportSession_.reset();
    }
    source_.reset();
    std::lock_guard lock(shapeMutex_);
    webrtc_.reset();
    rtpbin_.reset();
    pipeline_.reset();
    sendShaper_.reset();
    receiveShaper_.reset();
}

std::map<std::string, double> WebRTCPeer::linkStats() {
    std::map<std::string, double> out;
    GRef<GstElement> webrtc;
    {
        std::lock_guard lock(shapeMutex_);
        if (stopped_ || !webrtc_)
            return out;
        webrtc = webrtc_;
    }
    auto promise = adoptRef(gst_promise_new());
    g_signal_emit_by_name(webrtc.get(), "get-stats", nullptr, promise.get());
    if (gst_promise_wait(promise.get()) != GST_PROMISE_RESULT_REPLIED)
        return out;
    const GstStructure* reply = gst_promise_get_reply(promise.get());
    if (!reply)
        return out;
    // Members that describe the present (jitter, round trip, loss fraction) are read from the
    // busiest stream of their kind: the video itself, not its sparse retransmission stream nor
    // one that went quiet, whose figures would otherwise add to the video's.
    struct Entry {
        std::string kind;
        std::string ssrc;   // the id's last part
        double packets = 0; // sent or received
        std::map<std::string, double> present;
    };
    struct Reading {
        std::vector<Entry> entries;
        std::vector<std::tuple<std::string, std::string, double>> counts; // stream, key, value
    } reading;
    gst_structure_foreach(
        reply,
        [](GQuark id, const GValue* value, gpointer data) -> gboolean {
            if (!GST_VALUE_HOLDS_STRUCTURE(value))
                return TRUE;
            const GstStructure* entry = gst_value_get_structure(value);
            GstWebRTCStatsType type{};
            if (!gst_structure_get_enum(entry, "type", GST_TYPE_WEBRTC_STATS_TYPE,
                                        reinterpret_cast<gint*>(&type)))
                return TRUE;
            GEnumClass* types = G_ENUM_CLASS(g_type_class_ref(GST_TYPE_WEBRTC_STATS_TYPE));
            const GEnumValue* named = g_enum_get_value(types, type);
            const std::string kind = named ? named->value_nick : "unknown";
            g_type_class_unref(types);
            auto* reading = static_cast<Reading*>(data);
            const std::string name = g_quark_to_string(id);
            Entry read{kind, name.substr(name.rfind('_') + 1), 0, {}};
            struct Context {
                Reading* reading;
                Entry* entry;
                const char* stream; // the entry's id, which names its SSRC
            } context{reading, &read, name.c_str()};
            gst_structure_foreach(
                entry,
                [](GQuark field, const GValue* v, gpointer c) -> gboolean {
                    auto* ctx = static_cast<Context*>(c);
                    double number = 0;
                    if (G_VALUE_HOLDS_UINT(v))
                        number = g_value_get_uint(v);
                    else if (G_VALUE_HOLDS_INT(v))
                        number = g_value_get_int(v);
                    else if (G_VALUE_HOLDS_UINT64(v))
                        number = static_cast<double>(g_value_get_uint64(v));
                    else if (G_VALUE_HOLDS_INT64(v))
                        number = static_cast<double>(g_value_get_int64(v));
                    else if (G_VALUE_HOLDS_DOUBLE(v))
                        number = g_value_get_double(v);
                    else
                        return TRUE;
                    const char* member = g_quark_to_string(field);
                    std::string key = ctx->entry->kind + "." + member;
                    if (g_str_equal(member, "packets-sent") ||
                        g_str_equal(member, "packets-received"))
                        ctx->entry->packets = std::max(ctx->entry->packets, number);
                    if (StreamCounters::isCounter(member))
                        ctx->reading->counts.emplace_back(ctx->stream, std::move(key), number);
                    else
                        ctx->entry->present[key] = number;
                    return TRUE;
                },
                &context);
            reading->entries.push_back(std::move(read));
            return TRUE;
        },
        &reading);
    // A report about a stream (the far end's view of ours) counts no packets itself; it weighs as
    // much as the stream it is about.
    std::map<std::string, double> packetsOf; // by SSRC
    for (const auto& entry : reading.entries)
        packetsOf[entry.ssrc] = std::max(packetsOf[entry.ssrc], entry.packets);
    for (auto& entry : reading.entries)
        entry.packets = packetsOf[entry.ssrc];
    std::map<std::string, const Entry*> busiest; // by kind
    for (const auto& entry : reading.entries) {
        const Entry*& chosen = busiest[entry.kind];
        if (!chosen || entry.packets > chosen->packets)
            chosen = &entry;
    }
    for (const auto& [kind, entry] : busiest)
        out.insert(entry->present.begin(), entry->present.end());
    std::lock_guard lock(countersMutex_);
    for (const auto& [stream, key, number] : reading.counts)
        counters_.set(stream, key, number);
    for (const auto& [key, total] : counters_.totals())
        out[key] = total;
    return out;
}

void WebRTCPeer::setBitrate(int kbps) {
    GRef<GstElement> encoder;
    {
        std::lock_guard lock(shapeMutex_);
        if (stopped_ || !pipeline_ || kbps <= 0)
            return;
        encoder = adoptRef(gst_bin_get_by_name(GST_BIN(pipeline_.get()), "encoder"));
    }
    if (!encoder)
        return;
    // Both encoders take a new rate while playing, from the next frame on.
    if (config_.codec == RTCCodec::H264)
        g_object_set(encoder.get(), "bitrate", static_cast<guint>(kbps), nullptr);
    else
        g_object_set(encoder.get(), "target-bitrate", kbps * 1000, nullptr);
}

std::optional<LinkFeedback> WebRTCPeer::feedback(std::map<std::string, double>& stats) {
    watchReports();
    if (stats.empty() || !stats.count("outbound-rtp.packets-sent"))
        return std::nullopt;
    LinkFeedback feedback;
    feedback.packetsSent = stats["outbound-rtp.packets-sent"];
    feedback.packetsLost = stats["remote-inbound-rtp.packets-lost"];
    feedback.reports = static_cast<double>(reportsReceived_.load());
    auto trip = stats.find("remote-inbound-rtp.round-trip-time");
    feedback.roundTripMs = trip != stats.end() ? trip->second * 1000 : -1;
    feedback.packetsResent = packetsResent();
    return feedback;
}

// The retransmission senders webrtcbin puts in front of each session count what they resent;
// the statistics only count the requests, and one request may name many packets.
double WebRTCPeer::packetsResent() {
    GRef<GstElement> webrtc;
    {
        std::lock_guard lock(shapeMutex_);
        if (stopped_ || !webrtc_)
            return 0;
        webrtc = webrtc_;
    }
    double resent = 0;
    GstIterator* it = gst_bin_iterate_recurse(GST_BIN(webrtc.get()));
    GValue item = G_VALUE_INIT;
    bool done = false;
    while (!done) {
        switch (gst_iterator_next(it, &item)) {
        case GST_ITERATOR_OK: {
            auto* element = GST_ELEMENT(g_value_get_object(&item));
            GstElementFactory* factory = gst_element_get_factory(element);
            if (factory && g_str_equal(GST_OBJECT_NAME(factory), "rtprtxsend")) {
                guint packets = 0;
                g_object_get(element, "num-rtx-packets", &packets, nullptr);
                resent += packets;
            }
            g_value_reset(&item);
            break;
        }
        case GST_ITERATOR_RESYNC:
            gst_iterator_resync(it);
            resent = 0;
            break;
        default:
            done = true;
            break;
        }
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    return resent;
}

// The RTP session under webrtcbin: receiver reports every half second rather than every five, so
// the sender hears of loss and delay while they matter, and a count of the reports that came in.
void WebRTCPeer::watchReports() {
    GRef<GstElement> webrtc;
    {
        std::lock_guard lock(shapeMutex_);
        if (stopped_ || !webrtc_ || reportsWatched_)
            return;
        webrtc = webrtc_;
    }
    auto rtpbin = adoptRef(gst_bin_get_by_name(GST_BIN(webrtc.get()), "rtpbin"));
    if (!rtpbin)
        return;
    GObject* session = nullptr;
    g_signal_emit_by_name(rtpbin.get(), "get-internal-session", 0u, &session);
    if (!session)
        return;
    auto held = adoptRef(session);
    g_object_set(session, "rtcp-min-interval", static_cast<guint64>(500 * GST_MSECOND), nullptr);
    g_signal_connect(session, "on-receiving-rtcp",
                     G_CALLBACK(+[](GObject*, GstBuffer*, gpointer self) {
                         ++static_cast<WebRTCPeer*>(self)->reportsReceived_;
                     }),
                     this);
    std::lock_guard lock(shapeMutex_);
    reportsWatched_ = true;
    reportSession_ = std::move(held);
}

void WebRTCPeer::setJitterLatency(int ms) {
    GRef<GstElement> webrtc;
    {
        std::lock_guard lock(shapeMutex_);
        if (stopped_ || !webrtc_)
            return;
        webrtc = webrtc_;
    }
    // webrtcbin hands the figure on to the jitter buffers of the running streams.
    g_object_set(webrtc.get(), "latency", static_cast<guint>(std::max(0, ms)), nullptr);
}

void WebRTCPeer::setNetworkShape(const NetworkShape& shape) {
    std::lock_guard lock(shapeMutex_);
    config_.shape = shape;
    sendCap_->kbps = shape.kbps;
    receiveCap_->kbps = shape.kbps;
    for (const auto& shaper : {sendShaper_, receiveShaper_})
        if (shaper)
            applyShape(shaper.get(), shape);
}

GstElement* WebRTCPeer::onRequestAuxSender(GstElement*, void*, void* self) {
    auto* peer = static_cast<WebRTCPeer*>(self);
    return peer->makeShaper(*peer->sendCap_, peer->sendShaper_); // floating: webrtcbin sinks it
}

GstElement* WebRTCPeer::makeShaper(Cap& cap, GRef<GstElement>& kept) {
    GstElement* netsim = gst_element_factory_make("netsim", nullptr);
    if (!netsim)
        return nullptr;
    cap.watch(netsim);
    std::lock_guard lock(shapeMutex_);
    applyShape(netsim, config_.shape);
    kept = adoptRef(GST_ELEMENT(gst_object_ref(netsim)));
    return netsim;
}

GstElement* WebRTCPeer::onRequestRtpDecoder(GstElement*, unsigned, void* self) {
    auto* peer = static_cast<WebRTCPeer*>(self);
    GstElement* netsim = peer->makeShaper(*peer->receiveCap_, peer->receiveShaper_);
    if (!netsim)
        return nullptr;
    // A delayed packet arrives when it leaves the shaper: the jitter buffer and the RTP session
    // take a packet's arrival from its DTS when the transport stamped one.
    if (auto src = adoptRef(gst_element_get_static_pad(netsim, "src")))
        gst_pad_add_probe(
            src.get(), GST_PAD_PROBE_TYPE_BUFFER,
            [](GstPad* pad, GstPadProbeInfo* info, gpointer) -> GstPadProbeReturn {
                GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
                if (!buffer || !GST_BUFFER_DTS_IS_VALID(buffer))
                    return GST_PAD_PROBE_OK;
                auto element = adoptRef(gst_pad_get_parent_element(pad));
                if (!element)
                    return GST_PAD_PROBE_OK;
                auto clock = adoptRef(gst_element_get_clock(element.get()));
                if (!clock)
                    return GST_PAD_PROBE_OK;
                const GstClockTime now = gst_clock_get_time(clock.get());
                const GstClockTime base = gst_element_get_base_time(element.get());
                if (now < base)
                    return GST_PAD_PROBE_OK;
                buffer = gst_buffer_make_writable(buffer);
                GST_BUFFER_DTS(buffer) = now - base;
                GST_PAD_PROBE_INFO_DATA(info) = buffer;
                return GST_PAD_PROBE_OK;
            },
            nullptr, nullptr);
    // The RTP bin looks for a decoder's "rtp_sink" and "rtp_src".
    GstElement* bin = gst_bin_new(nullptr);
    gst_bin_add(GST_BIN(bin), netsim);
    auto sink = adoptRef(gst_element_get_static_pad(netsim, "sink"));
    auto src = adoptRef(gst_element_get_static_pad(netsim, "src"));
    gst_element_add_pad(bin, gst_ghost_pad_new("rtp_sink", sink.get()));
    gst_element_add_pad(bin, gst_ghost_pad_new("rtp_src", src.get()));
    return bin; // floating: the RTP bin sinks it
}

void WebRTCPeer::setRemoteDescription(const std::string& type, const std::string& sdp) {
    if (!webrtc_ || stopped_)
        return;
    GstSDPMessage* message = nullptr;
    if (gst_sdp_message_new_from_text(sdp.c_str(), &message) != GST_SDP_OK) {
        if (message)
            gst_sdp_message_free(message);
        fail("bad remote description");
        return;
    }
    // The description takes the message over.
    OwnedDescription description(gst_webrtc_session_description_new(
        type == "offer" ? GST_WEBRTC_SDP_TYPE_OFFER : GST_WEBRTC_SDP_TYPE_ANSWER, message));
    GstPromise* promise = gst_promise_new_with_change_func(Hooks::remoteSet, this, nullptr);
    g_signal_emit_by_name(webrtc_.get(), "set-remote-description", description.get(), promise);
}

void WebRTCPeer::addRemoteCandidate(int mlineIndex, const std::string& candidate) {
    if (!webrtc_ || stopped_ || candidate.empty())
        return;
    g_signal_emit_by_name(webrtc_.get(), "add-ice-candidate", static_cast<guint>(mlineIndex),
                          candidate.c_str());
}

bool WebRTCPeer::pushFrame(const uint8_t* data, int width, int height, int stride,
                           std::shared_ptr<const void> keepAlive) {
    if (!source_ || !data || width != config_.width || height != config_.height ||
        stride < width * 4)
        return false;
    GstBuffer* buffer = nullptr;
    const gsize size = static_cast<gsize>(stride) * static_cast<gsize>(height);
    if (keepAlive && stride == width * 4) {
        auto* holder = new std::shared_ptr<const void>(std::move(keepAlive));
        buffer = gst_buffer_new_wrapped_full(
            GST_MEMORY_FLAG_READONLY, const_cast<uint8_t*>(data), size, 0, size, holder,
            [](gpointer p) { delete static_cast<std::shared_ptr<const void>*>(p); });
    } else {
        const gsize row = static_cast<gsize>(width) * 4;
        buffer = gst_buffer_new_allocate(nullptr, row * height, nullptr);
        GstMapInfo map;
        gst_buffer_map(buffer, &map, GST_MAP_WRITE);
        for (int y = 0; y < height; ++y)
            std::memcpy(map.data + row * y, data + static_cast<gsize>(stride) * y, row);
        gst_buffer_unmap(buffer, &map);
    }
    return gst_app_src_push_buffer(GST_APP_SRC(source_.get()), buffer) == GST_FLOW_OK;
}

void WebRTCPeer::fail(const std::string& reason) {
    if (callbacks_.onFailure)
        callbacks_.onFailure(reason);
}

void WebRTCPeer::onNegotiationNeeded(GstElement* webrtc, void* self) {
    GstPromise* promise = gst_promise_new_with_change_func(Hooks::offerCreated, self, nullptr);
    g_signal_emit_by_name(webrtc, "create-offer", nullptr, promise);
}

void WebRTCPeer::onIceCandidate(GstElement*, unsigned mline, char* candidate, void* self) {
    auto* peer = static_cast<WebRTCPeer*>(self);
    if (peer->callbacks_.onLocalCandidate && candidate)
        peer->callbacks_.onLocalCandidate(static_cast<int>(mline), candidate);
}

void WebRTCPeer::onIceStateChanged(void* object, void*, void* self) {
    GstWebRTCICEConnectionState state = GST_WEBRTC_ICE_CONNECTION_STATE_NEW;
    g_object_get(object, "ice-connection-state", &state, nullptr);
    if (state == GST_WEBRTC_ICE_CONNECTION_STATE_CONNECTED ||
        state == GST_WEBRTC_ICE_CONNECTION_STATE_COMPLETED)
        static_cast<WebRTCPeer*>(self)->connected_ = true;
    if (state == GST_WEBRTC_ICE_CONNECTION_STATE_FAILED)
        static_cast<WebRTCPeer*>(self)->fail("ice failed");
}

void WebRTCPeer::onPadAdded(GstElement*, GstPad* pad, void* self) {
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC)
        return;
    static_cast<WebRTCPeer*>(self)->linkIncoming(pad);
}

void WebRTCPeer::linkIncoming(GstPad* pad) {
    auto caps = adoptRef(gst_pad_get_current_caps(pad));
    if (!caps)
        caps = adoptRef(gst_pad_query_caps(pad, nullptr));
    std::string encoding;
    if (caps && gst_caps_get_size(caps.get()) > 0) {
        const gchar* name =
            gst_structure_get_string(gst_caps_get_structure(caps.get(), 0), "encoding-name");
        encoding = name ? name : "";
    }
    // Frame threading in the decoder would add whole frames of latency.
    std::string decoder;
    if (encoding == "H264")
        decoder = "rtph264depay request-keyframe=true ! h264parse ! "
                  "avdec_h264 max-threads=1";
    else if (encoding == "VP8")
        decoder = "rtpvp8depay request-keyframe=true ! vp8dec threads=1";
    else
        return;
    const std::string description =
        "queue max-size-buffers=0 max-size-bytes=0 max-size-time=200000000 ! " + decoder +
        " ! videoconvert n-threads=1 ! video/x-raw,format=BGRA ! "
        "appsink name=sink sync=false max-buffers=2 drop=true emit-signals=false";
    GErrorHolder error;
    auto bin = sinkElement(gst_parse_bin_from_description(description.c_str(), TRUE, error.out()));
    if (error) {
        fail("decoder");
        return;
    }
    auto sink = adoptRef(gst_bin_get_by_name(GST_BIN(bin.get()), "sink"));
    GstAppSinkCallbacks sinkCallbacks{};
    sinkCallbacks.new_sample = Hooks::newSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink.get()), &sinkCallbacks, this, nullptr);
    gst_bin_add(GST_BIN(pipeline_.get()), bin.get());
    gst_element_sync_state_with_parent(bin.get());
    auto sinkPad = adoptRef(gst_element_get_static_pad(bin.get(), "sink"));
    const bool linked = sinkPad && gst_pad_link(pad, sinkPad.get()) == GST_PAD_LINK_OK;
    if (!linked)
        fail("link");
}

void WebRTCPeer::deliverSample(GstSample* sample) {
    connected_ = true;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstCaps* caps = gst_sample_get_caps(sample);
    GstVideoInfo info;
    if (!buffer || !caps || !gst_video_info_from_caps(&info, caps))
        return;
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ))
        return;
    const int64_t ptsMs = GST_BUFFER_PTS_IS_VALID(buffer)
                              ? static_cast<int64_t>(GST_BUFFER_PTS(buffer) / GST_MSECOND)
                              : 0;
    if (callbacks_.onRemoteFrame)
        callbacks_.onRemoteFrame(static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)),
                                 GST_VIDEO_FRAME_WIDTH(&frame), GST_VIDEO_FRAME_HEIGHT(&frame),
                                 GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0), ptsMs);
    gst_video_frame_unmap(&frame);
}

} // namespace zarvo
