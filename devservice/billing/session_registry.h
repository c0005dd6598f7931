// What the stand-in's RTC gateway and AI participant need from the billed sessions: check a join
// against a live session, fetch the session's editing mode and reference image, and tell the
// service when the edited video flows, when a switch failed, and learn when a session ends.
// Every operation is safe from any thread; events arrive on the service's loop thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace zarvo::devservice {

// The "rtc" credentials a "live/start" reply handed to the client.
struct RTCCredentials {
    std::string token;
    std::string channelID;
    std::string userID;
};

// What the AI participant edits with. Changes with every accepted "live/switch".
struct SessionMedia {
    std::string sessionID;
    std::string state;         // "RESERVED" … "RUNNING" while live
    std::string channelID;     // the channel the client joins
    std::string clientUserID;  // the client's "user_id" in that channel
    std::string renderUID;     // the participant's identity: the client shows this user's video
    std::string editingType;   // "subject_replacement", "virtual_tryon", ...
    std::string referenceJpeg; // JPEG bytes of the reference image
    int64_t switchSeq = 0; // 0 for the start's choice, else the "seq_id" of the switch that set it
};

enum class SessionEventKind {
    Switched, // a "live/switch" was accepted: `media` holds the new mode and image
    Ended,    // the session left the live states (stop, exhaustion, heartbeat loss, failure)
};

struct SessionEvent {
    SessionEventKind kind;
    SessionMedia media; // for Ended: the session as it was; `media.state` is its new state
};

class SessionRegistry {
public:
    using Listener = std::function<void(const SessionEvent&)>;
    virtual ~SessionRegistry() = default;

    // The session behind a client's join, when the credentials match one that is still live
    // (RESERVED, CREATING, CREATED or RUNNING): the token must match, channel and user must match
    // when given (empty ones are left out). None for unknown, mismatched or ended sessions.
    virtual std::optional<SessionMedia> validateJoin(const RTCCredentials& join) = 0;
    // The session's current media while it is live; none otherwise.
    virtual std::optional<SessionMedia> sessionMedia(const std::string& sessionID) = 0;
    // The AI participant takes charge of the session: from now on it turns RUNNING only when
    // videoFlowing() says so (and FAILED, with nothing charged, if that never happens).
    // False when the session is not live.
    virtual bool attachParticipant(const std::string& sessionID) = 0;
    // The participant's edited video reaches the channel: a CREATED session turns RUNNING.
    virtual void videoFlowing(const std::string& sessionID) = 0;
    // Applying switch `seqID` failed; "live/current" reports {"seq_id", "error_code"}.
    virtual void switchFailed(const std::string& sessionID, int64_t seqID,
                              const std::string& errorCode) = 0;
    // Switched and Ended events on the service's loop thread. Returns an id for removeListener.
    virtual int addListener(Listener listener) = 0;
    virtual void removeListener(int id) = 0;
};

} // namespace zarvo::devservice
