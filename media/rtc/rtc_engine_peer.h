// One WebRTC peer connection carrying a single sendrecv video stream, on GStreamer webrtcbin and
// libnice: BGRA frames in (encoded H.264 or VP8), decoded BGRA frames out. Signalling is the
// owner's business: the peer hands out its SDP and ICE candidates and takes the remote ones.
// Used by the client's engine and by the stand-in's AI participant.
#pragma once

#include "foundation/owned.h"
#include "media/rtc/bandwidth_controller.h"
#include "media/rtc/stream_counters.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

typedef struct _GstElement GstElement;
typedef struct _GstPad GstPad;
typedef struct _GstSample GstSample;
typedef struct _GstWebRTCSessionDescription GstWebRTCSessionDescription;

namespace zarvo {

enum class RTCCodec { H264, VP8 };

// A shaped path (tests, benchmarks, the stand-in's "network" fault): random loss, delay with
// uniform jitter, a rate cap.
struct NetworkShape {
    double lossPercent = 0;
    int delayMs = 0;
    int jitterMs = 0; // the delay varies by up to this much either way
    int kbps = 0;     // 0: no cap
    bool operator==(const NetworkShape&) const = default;
};

struct WebRTCPeerConfig {
    RTCCodec codec = RTCCodec::H264;
    bool offerer = true;
    int width = 1280;
    int height = 720;
    int frameRate = 25;
    int bitrateKbps = 0; // 0: a default that suits 1280 × 720 on loopback
    // libnice gathers nothing on a machine whose only interface is loopback; then 127.0.0.1 is
    // added to the agent by hand.
    bool addLoopbackCandidate = false;
    // In webrtcbin's forms (see webrtcIceURIs); relayOnly uses nothing but the TURN servers.
    std::string stunServer;
    std::vector<std::string> turnServers;
    bool relayOnly = false;
    // How long the receive side waits for a late or retransmitted packet before it gives the
    // frame up. Zero is loopback only: no lost packet could ever be repaired.
    int jitterLatencyMs = 120;
    // Puts a shaper on the send path and one on the receive path, each with `shape`, whose
    // figures setNetworkShape changes while media flows.
    bool shapeable = false;
    NetworkShape shape;
};

// All callbacks run on GStreamer's threads; the owner marshals them to its own context.
struct WebRTCPeerCallbacks {
    // type is "offer" or "answer".
    std::function<void(const std::string& type, const std::string& sdp)> onLocalDescription;
    std::function<void(int mlineIndex, const std::string& candidate)> onLocalCandidate;
    // A decoded remote frame, BGRA; the data is valid during the call only.
    std::function<void(const uint8_t* data, int width, int height, int stride, int64_t ptsMs)>
        onRemoteFrame;
    // The connection failed for good (ICE failed or a pipeline error).
    std::function<void(const std::string& reason)> onFailure;
};

class WebRTCPeer {
public:
    // None when an element is missing or the pipeline cannot be built.
    static std::unique_ptr<WebRTCPeer> create(const WebRTCPeerConfig& config,
                                              WebRTCPeerCallbacks callbacks);
    ~WebRTCPeer(); // stops the pipeline and waits for its threads
    WebRTCPeer(const WebRTCPeer&) = delete;
    WebRTCPeer& operator=(const WebRTCPeer&) = delete;

    // Sets the pipeline playing; an offerer then produces its offer.
    bool start();
    void setRemoteDescription(const std::string& type, const std::string& sdp);
    void addRemoteCandidate(int mlineIndex, const std::string& candidate);
    // Thread-safe. Copies nothing when `keepAlive` owns the pixels (they stay untouched until the
    // encoder is done). False when the frame does not fit the configured size.
    bool pushFrame(const uint8_t* data, int width, int height, int stride,
                   std::shared_ptr<const void> keepAlive);
    void stop();
    // webrtcbin's statistics, keyed "kind.member" ("outbound-rtp.nack-count",
    // "remote-inbound-rtp.round-trip-time", ...). Counters (packets, bytes, requests) are summed
    // over every stream seen so far and never go back (see StreamCounters); figures of the present
    // (jitter, round trip) are the busiest stream's of their kind. Blocks until webrtcbin answers
    // (at most a few milliseconds); empty once stopped.
    std::map<std::string, double> linkStats();
    // Thread-safe: the encoder's bitrate from the next frame on.
    void setBitrate(int kbps);
    // The send direction's figures for a bandwidth controller, from linkStats' answer; none
    // before the media flows.
    std::optional<LinkFeedback> feedback(std::map<std::string, double>& stats);
    // Thread-safe: how long the receive side waits for late and retransmitted packets.
    void setJitterLatency(int ms);
    // Thread-safe; only for a peer built shapeable. Both directions take the same figures.
    void setNetworkShape(const NetworkShape& shape);
    // Thread-safe: ICE has found a working path, or media has arrived over one.
    bool connected() const { return connected_; }

    const WebRTCPeerConfig& config() const { return config_; }

    // H.264 when x264 is installed, else VP8; none when neither encoder exists.
    static bool codecAvailable(RTCCodec codec);
    // The codec an offer's SDP proposes (H.264 preferred when both are there).
    static RTCCodec codecOfOffer(const std::string& sdp);
    // True when the machine has no IPv4 interface but loopback.
    static bool onlyLoopbackInterfaces();

private:
    WebRTCPeer(const WebRTCPeerConfig& config, WebRTCPeerCallbacks callbacks);
    bool build();
    // What the retransmission senders resent so far.
    double packetsResent();
    // A netsim with the current shape whose rate `cap` holds, kept in `kept` for later changes.
    struct Cap;
    GstElement* makeShaper(Cap& cap, GRef<GstElement>& kept);
    void linkIncoming(GstPad* pad);
    void deliverSample(GstSample* sample);
    void fail(const std::string& reason);
    void watchReports();
    void publishLocal(GstWebRTCSessionDescription* description, const char* type);

    static void onNegotiationNeeded(GstElement* webrtc, void* self);
    static void onIceCandidate(GstElement* webrtc, unsigned mline, char* candidate, void* self);
    static void onPadAdded(GstElement* webrtc, GstPad* pad, void* self);
    static void onIceStateChanged(void* object, void* pspec, void* self);
    static GstElement* onRequestAuxSender(GstElement* webrtc, void* transport, void* self);
    static GstElement* onRequestRtpDecoder(GstElement* rtpbin, unsigned session, void* self);

    struct Hooks;
    friend struct Hooks;

    WebRTCPeerConfig config_;
    WebRTCPeerCallbacks callbacks_;
    GRef<GstElement> pipeline_;
    GRef<GstElement> webrtc_;
    GRef<GstElement> source_;
    std::mutex shapeMutex_;
    GRef<GstElement> sendShaper_;
    GRef<GstElement> receiveShaper_;
    GRef<GstElement> rtpbin_; // holds the receive shaper's signal
    std::unique_ptr<Cap> sendCap_;
    std::unique_ptr<Cap> receiveCap_;
    GRef<GObject> reportSession_;
    bool reportsWatched_ = false;
    std::atomic<int64_t> reportsReceived_{0};
    std::atomic<bool> connected_{false};
    std::mutex countersMutex_;
    StreamCounters counters_;
    // Read without the lock by the calls that only hand work to webrtcbin.
    std::atomic<bool> stopped_{false};
};

} // namespace zarvo
