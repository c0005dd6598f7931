// The production RTC engine: WebRTC on GStreamer webrtcbin + libnice, with signalling over a
// WebSocket to the service's RTC gateway (the protocol is described in devservice/rtc/PROTOCOL.md).
// Each engine runs one thread ("zarvo.rtc") with its own GLib main context for signalling; the
// media runs on GStreamer's threads, where remote samples reach the delegate.
#pragma once

#include "media/rtc/rtc_engine.h"
#include "media/rtc/rtc_engine_peer.h"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

typedef struct _GTlsDatabase GTlsDatabase;

namespace zarvo {

// Engine error codes, returned by the operations or reported by the join result.
enum RTCErrorCode : int {
    kRTCOk = 0,
    kRTCErrInvalidArgument = 2,       // a malformed sample or an empty token
    kRTCErrNotReady = 3,              // the engine has been destroyed
    kRTCErrRefused = 5,               // already in a channel
    kRTCErrNotInChannel = 7,          // a push while no media connection exists
    kRTCErrGatewayUnreachable = 1001, // the WebSocket to the gateway could not be opened
    kRTCErrJoinTimeout = 1002,        // the gateway did not answer the join in time
    kRTCErrConnectionLost = 1003,     // the gateway closed the socket before the join was answered
    kRTCErrNoCodec = 1004,            // neither H.264 nor VP8 can be encoded here
    kRTCErrMediaFailed = 1005,        // ICE failed, the pipeline broke or the answer was refused
    kRTCErrRemoteLeft = 1006,         // the gateway said goodbye
    kRTCErrIceTimeout = 1007,         // no media path was found in time (no relay reachable)
};

// Where the gateway is and how to reach it.
struct RTCGatewayConfig {
    std::string url; // "wss://api.zarvo.test/rtc" (or "ws://" for tests)
    // The certificates to trust, built for the deployment's hosts; none: the system's trust.
    std::shared_ptr<GTlsDatabase> trust;
    // host → "127.0.0.1:PORT": where that host is really reached; the URL keeps the bare host.
    std::map<std::string, std::string> connect;
    // The video codec; by default H.264 when x264 is installed, else VP8.
    std::optional<RTCCodec> codec;
    // Media only through the TURN servers the join is given, for networks that allow nothing
    // else.
    bool relayOnly = false;
    // How long after the join a media path may take to connect before the channel fails.
    std::chrono::milliseconds iceConnectTimeout{20000};
};

class WebRTCEngine;

class WebRTCEngineFactory final : public RTCEngineFactory {
public:
    explicit WebRTCEngineFactory(RTCGatewayConfig config);
    ~WebRTCEngineFactory() override;

    std::shared_ptr<RTCEngine> sharedInstance(RTCEngineDelegate* delegate) override;
    // Leaves the channel, stops the pipeline, closes the socket and joins the engine's thread.
    void destroy() override;

private:
    RTCGatewayConfig config_;
    std::mutex mutex_;
    std::shared_ptr<WebRTCEngine> instance_;
};

} // namespace zarvo
