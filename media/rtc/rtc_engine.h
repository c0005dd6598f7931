// The real-time video engine the RTC bridge drives: exactly the operations the bridge relies on.
// Results are 0 for success, another number for an engine error code. The production engine runs
// WebRTC (GStreamer webrtcbin) with signalling to the service; tests use fakes.
#pragma once

#include "media/pixel_buffer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zarvo {

// One video frame crossing the engine boundary. Format 0 is 32-bit BGRA.
struct RTCVideoDataSample {
    PixelBufferPtr pixelBuffer; // set for pushed frames
    int type = 2;
    int format = 0;
    int width = 0;
    int height = 0;
    int stride = 0;
    int64_t timeStampMs = 0;
    const uint8_t* data =
        nullptr; // for remote samples without a pixel buffer; valid during the call
};

struct RTCVideoEncoderConfiguration {
    int width = 1280;
    int height = 720;
    int frameRate = 25;
    int bitrate = 0; // 0: the engine chooses
};

// How the link is doing, for the video report. Counters run from the join.
struct RTCLinkReport {
    int bitrateKbps = 0;     // what the sending side settled on
    double lossPercent = 0;  // of the packets sent, as the far end's latest report says
    double roundTripMs = -1; // below 0 while unknown
    int bitrateCuts = 0;     // times the link made the sender back off
    int64_t retransmissionRequestsReceived = 0; // NACKs: the far end asked for packets again
    int64_t retransmissionRequestsSent = 0;
    int64_t keyFrameRequestsReceived = 0; // PLI and FIR
    int64_t keyFrameRequestsSent = 0;
    double jitterMs = 0;    // of the received video
    int jitterBufferMs = 0; // how long the receive side waits for a late packet
};

// Implemented by the bridge. Called on the engine's own threads.
class RTCEngineDelegate {
public:
    virtual ~RTCEngineDelegate() = default;
    // A decoded remote frame from user `uid`. Answer false: the sample is not modified.
    virtual bool onRemoteVideoSample(const std::string& uid, int videoSource,
                                     const RTCVideoDataSample& sample) = 0;
    virtual bool onCaptureVideoSample(int videoSource, const RTCVideoDataSample& sample) = 0;
    virtual int onGetVideoFormatPreference() = 0;
    // The channel's connection failed after the join was answered (ICE or media failure, a
    // rejected answer, the signalling socket closing, the gateway saying "bye" or "error"). At
    // most once per channel; the engine has already dropped the media by then.
    virtual void onConnectionFailure(int code) { (void)code; }
};

// A STUN or TURN server, as browsers take them: "stun:host:port", "turn:host:port" (UDP, or TCP
// with "?transport=tcp") and "turns:host:port" (TLS); TURN servers need the user name and
// credential.
struct RTCIceServer {
    std::vector<std::string> urls;
    std::string username;
    std::string credential;
    bool operator==(const RTCIceServer&) const = default;
};

// (result, channel, userID, elapsed milliseconds); may be called on any thread.
using RTCJoinResult = std::function<void(int result, const std::string& channel,
                                         const std::string& userID, int elapsedMs)>;

class RTCEngine {
public:
    virtual ~RTCEngine() = default;
    virtual int publishLocalAudioStream(bool enabled) = 0;
    virtual int setDefaultSubscribeAllRemoteAudioStreams(bool enabled) = 0;
    virtual int setDefaultSubscribeAllRemoteVideoStreams(bool enabled) = 0;
    virtual int setVideoEncoderConfiguration(const RTCVideoEncoderConfiguration& configuration) = 0;
    virtual int setExternalVideoSource(bool enable, int sourceType, int renderMode) = 0;
    virtual int registerVideoSampleObserver() = 0;
    virtual int unregisterVideoSampleObserver() = 0;
    virtual int publishLocalVideoStream(bool enabled) = 0;
    // The relays and address discovery servers for the next join; none: direct connections only.
    virtual int setIceServers(const std::vector<RTCIceServer>& servers) = 0;
    // 0 when the request was accepted; `done` reports the outcome later.
    virtual int joinChannel(const std::string& token, const std::optional<std::string>& channelID,
                            const std::optional<std::string>& userID, const std::string& name,
                            RTCJoinResult done) = 0;
    virtual int pushExternalVideoFrame(const RTCVideoDataSample& sample, int sourceType) = 0;
    virtual int leaveChannel() = 0;
    // The current link's figures; none outside a channel or from an engine that keeps none.
    // Safe from any thread and does not block.
    virtual std::optional<RTCLinkReport> linkReport() { return std::nullopt; }
};

// The class operations of the engine: the shared instance and its (possibly blocking) release.
class RTCEngineFactory {
public:
    virtual ~RTCEngineFactory() = default;
    // None when no engine can be made; the bridge then stays without one.
    virtual std::shared_ptr<RTCEngine> sharedInstance(RTCEngineDelegate* delegate) = 0;
    // Releases the shared instance and everything it holds; may block.
    virtual void destroy() = 0;
};

} // namespace zarvo
