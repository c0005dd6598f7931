// A self-contained RTC gateway with its AI participant on 127.0.0.1 (plain WebSocket), on its own
// thread, with an in-memory session table in place of the billed sessions. For the engine's
// integration tests and the round-trip benchmark, which need a real peer but no billing.
#pragma once

#include "devservice/billing/session_registry.h"
#include "media/rtc/rtc_engine_peer.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace zarvo::devservice {

class LoopbackRTCService {
public:
    LoopbackRTCService();
    ~LoopbackRTCService();
    LoopbackRTCService(const LoopbackRTCService&) = delete;
    LoopbackRTCService& operator=(const LoopbackRTCService&) = delete;

    uint16_t port() const;
    // A live session that a join with `credentials` reaches.
    void addSession(const SessionMedia& media, const RTCCredentials& credentials);
    // As an accepted "live/switch": the participant takes the new mode and image.
    void switchSession(const std::string& sessionID, const std::string& editingType,
                       const std::string& referenceImage, int64_t seq);
    // As a stop: the participant says goodbye and leaves.
    void endSession(const std::string& sessionID);
    // Faults: the gateway sends the session's client an "error" with `code` and hangs up, hangs
    // up without a word, or answers every later offer with a description it must refuse.
    void failSession(const std::string& sessionID, int code);
    void dropSession(const std::string& sessionID);
    void refuseAnswers(bool refuse);
    // The fault "network" on what the participants send and receive (loss, delay, jitter, rate
    // cap).
    void setNetworkShape(const NetworkShape& shape);
    // Whether participants joining later adapt their sending bitrate (see RTCGateway).
    void setAdaptiveSending(bool adaptive);
    bool videoFlowing(const std::string& sessionID) const;
    // The session's participant-side link statistics (see WebRTCPeer::linkStats).
    std::map<std::string, double> linkStats(const std::string& sessionID) const;
    // Failed switches reported by the participant, as "seq:error_code" texts.
    std::vector<std::string> switchFailures() const;
    size_t connectionCount() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace zarvo::devservice
