// The stand-in's AI participant for one client connection: answers the client's offer, receives
// its video, edits every frame per the session's editing mode and reference image, and sends the
// edited video back on the same connection.
#pragma once

#include "devservice/rtc/ai_edit.h"
#include "foundation/json.h"
#include "foundation/loop.h"
#include "media/rtc/bandwidth_controller.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "media/rtc/rtc_engine.h"
#include "media/rtc/rtc_engine_peer.h"

namespace zarvo::devservice {

class AIParticipant {
public:
    // Both run on GStreamer's threads; the owner marshals them.
    struct Callbacks {
        std::function<void(const Json& message)> signal; // "answer" and "ice" for the client
        std::function<void()> videoFlowing;              // once: the first edited frame went out
    };

    // With a loop, the participant's sending bitrate follows the link as the client's does (the
    // controller reads the figures on that loop); without one it sends a fixed rate.
    explicit AIParticipant(Callbacks callbacks, Loop* loop = nullptr);
    ~AIParticipant(); // stops the media and waits for its threads; on the loop's thread
    AIParticipant(const AIParticipant&) = delete;
    AIParticipant& operator=(const AIParticipant&) = delete;

    // The editing mode and reference image; false (and nothing changed) when either is unusable.
    // Safe from any thread; the next frame uses them.
    bool setMedia(const std::string& editingType, const std::string& referenceImage);
    // Answers the client's offer with the codec it proposes.
    bool acceptOffer(const std::string& sdp);
    void addCandidate(int mlineIndex, const std::string& candidate);
    // The STUN and TURN servers of the connection, and whether only through the relays; before
    // acceptOffer.
    void useRelays(const std::vector<RTCIceServer>& servers, bool relayOnly);
    // The fault "network": shapes what the participant sends, now and on a later connection.
    void setNetworkShape(const NetworkShape& shape);

    // The link's statistics as the participant's side sees them (see WebRTCPeer::linkStats).
    std::map<std::string, double> linkStats();
    int64_t editedFrames() const { return edited_; }

private:
    void edit(const uint8_t* data, int width, int height, int stride);

    Callbacks callbacks_;
    std::mutex mediaMutex_;
    EditMode mode_ = EditMode::SubjectReplacement;
    std::string image_;
    std::shared_ptr<const EditReference> reference_; // fitted to the last frame size
    NetworkShape shape_;
    std::vector<RTCIceServer> iceServers_;
    bool relayOnly_ = false;
    std::unique_ptr<WebRTCPeer> peer_;
    Loop* loop_;
    std::unique_ptr<BandwidthController> controller_;
    std::atomic<int64_t> edited_{0};
    std::atomic<bool> flowing_{false};
};

} // namespace zarvo::devservice
