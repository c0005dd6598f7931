// The stand-in's RTC gateway: a WebSocket endpoint (at "/rtc" on the API hosts) that checks a
// client's join against the billed session and seats the session's AI participant opposite it.
// The messages are described in PROTOCOL.md. Everything here runs on the server's loop thread.
#pragma once

#include "devservice/billing/session_registry.h"
#include "foundation/json.h"
#include "foundation/loop.h"
#include "foundation/weak_owner.h"
#include "media/rtc/rtc_engine.h"
#include "media/rtc/rtc_engine_peer.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

typedef struct _SoupServer SoupServer;
typedef struct _SoupWebsocketConnection SoupWebsocketConnection;

namespace zarvo::devservice {

// Codes of the gateway's "error" message (the client's engine reports them as join results).
enum RTCGatewayError : int {
    kRTCGatewayBadRequest = 400,   // not a join, or a malformed one
    kRTCGatewayInvalidToken = 110, // no live session matches the credentials
    kRTCGatewayRejected = 17,      // the session cannot take the participant, or the media failed
};

class RTCGateway {
public:
    // `loop` runs on the server's thread; `registry` outlives the gateway.
    RTCGateway(Loop& loop, SessionRegistry& registry);
    ~RTCGateway(); // closes every connection and stops every participant
    RTCGateway(const RTCGateway&) = delete;
    RTCGateway& operator=(const RTCGateway&) = delete;

    // Serves the WebSocket at `path` on `server`.
    void attach(SoupServer* server, const std::string& path = "/rtc");
    // The handler libsoup calls for an accepted WebSocket (for a front that dispatches itself).
    void accept(SoupWebsocketConnection* connection);

    size_t connectionCount() const { return connections_.size(); }

    // Faults for the client's failure paths. Each joined connection of the session gets an
    // "error" with `code` and is closed, or is closed without a word.
    void failSession(const std::string& sessionID, int code);
    void dropSession(const std::string& sessionID);
    // From now on, answers to offers are replaced by a description no offer can accept.
    void refuseAnswers(bool refuse) { refuseAnswers_ = refuse; }
    // The fault "network": what every participant sends and receives, now and later, is shaped
    // so.
    void setNetworkShape(const NetworkShape& shape);
    // The STUN and TURN servers later participants use, and whether only through the relays
    // (the service hands the same servers to the client).
    void setRelays(std::vector<RTCIceServer> servers, bool relayOnly) {
        iceServers_ = std::move(servers);
        relayOnly_ = relayOnly;
    }
    // Whether later participants adapt their sending bitrate to the link (the default) or send
    // a fixed rate, as the engine once did (benchmarks compare the two).
    void setAdaptiveSending(bool adaptive) { adaptiveSending_ = adaptive; }
    // The participants' link statistics of the session, summed (tests and benchmarks).
    std::map<std::string, double> linkStats(const std::string& sessionID) const;
    // Edited frames sent so far on every connection of the session (tests and diagnostics).
    int64_t editedFrames(const std::string& sessionID) const;

private:
    struct Connection;
    void handle(uint64_t id, const Json& message);
    void join(Connection& connection, const Json& message);
    void send(Connection& connection, const Json& message);
    void fail(Connection& connection, int code, const std::string& text);
    void close(uint64_t id);
    void onSessionEvent(const SessionEvent& event);

    Loop& loop_;
    SessionRegistry& registry_;
    int listener_ = 0;
    uint64_t nextID_ = 1;
    std::map<uint64_t, std::unique_ptr<Connection>> connections_;
    bool refuseAnswers_ = false;
    bool adaptiveSending_ = true;
    NetworkShape shape_;
    std::vector<RTCIceServer> iceServers_;
    bool relayOnly_ = false;
    WeakOwner life_;
};

} // namespace zarvo::devservice
