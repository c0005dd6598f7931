#include "devservice/rtc/ai_participant.h"

#include "media/rtc/ice_servers.h"
#include "media/rtc/rtc_engine_peer.h"

namespace zarvo::devservice {

namespace {
// Frames the participant holds at most while the encoder works on them.
struct EditedFrame {
    std::vector<uint8_t> pixels;
};
} // namespace

AIParticipant::AIParticipant(Callbacks callbacks, Loop* loop)
    : callbacks_(std::move(callbacks)), loop_(loop) {}

AIParticipant::~AIParticipant() {
    controller_.reset();
    if (peer_)
        peer_->stop();
}

bool AIParticipant::setMedia(const std::string& editingType, const std::string& referenceImage) {
    auto mode = editModeFromType(editingType);
    if (!mode)
        return false;
    // Decoded once here, so a bad image is refused before it replaces the working one.
    auto probe = makeEditReference(referenceImage, 1280, 720);
    if (!probe)
        return false;
    std::lock_guard lock(mediaMutex_);
    mode_ = *mode;
    image_ = referenceImage;
    reference_ = std::move(probe);
    return true;
}

bool AIParticipant::acceptOffer(const std::string& sdp) {
    if (peer_)
        return false;
    WebRTCPeerConfig config;
    config.codec = WebRTCPeer::codecOfOffer(sdp);
    config.offerer = false;
    config.addLoopbackCandidate = WebRTCPeer::onlyLoopbackInterfaces();
    config.shapeable = true;
    config.shape = shape_;
    const WebRTCIceURIs uris = webrtcIceURIs(iceServers_);
    config.stunServer = uris.stunServer;
    config.turnServers = uris.turnServers;
    config.relayOnly = relayOnly_;
    if (!WebRTCPeer::codecAvailable(config.codec))
        return false;
    WebRTCPeerCallbacks callbacks;
    callbacks.onLocalDescription = [this](const std::string& type, const std::string& text) {
        if (callbacks_.signal)
            callbacks_.signal({{"type", type}, {"sdp", text}});
    };
    callbacks.onLocalCandidate = [this](int mline, const std::string& candidate) {
        if (callbacks_.signal)
            callbacks_.signal({{"type", "ice"}, {"mline", mline}, {"candidate", candidate}});
    };
    callbacks.onRemoteFrame = [this](const uint8_t* data, int width, int height, int stride,
                                     int64_t) { edit(data, width, height, stride); };
    BandwidthLimits limits;
    config.bitrateKbps = limits.startKbps;
    peer_ = WebRTCPeer::create(config, std::move(callbacks));
    if (!peer_ || !peer_->start())
        return false;
    if (loop_) {
        WebRTCPeer* peer = peer_.get();
        controller_ = std::make_unique<BandwidthController>(
            *loop_, limits,
            [peer] {
                auto stats = peer->linkStats();
                return peer->feedback(stats);
            },
            [peer](int kbps) { peer->setBitrate(kbps); });
        controller_->start();
    }
    peer_->setRemoteDescription("offer", sdp);
    return true;
}

void AIParticipant::useRelays(const std::vector<RTCIceServer>& servers, bool relayOnly) {
    iceServers_ = servers;
    relayOnly_ = relayOnly;
}

void AIParticipant::setNetworkShape(const NetworkShape& shape) {
    shape_ = shape;
    if (peer_)
        peer_->setNetworkShape(shape);
}

std::map<std::string, double> AIParticipant::linkStats() {
    auto stats = peer_ ? peer_->linkStats() : std::map<std::string, double>{};
    if (controller_ && !stats.empty())
        stats["controller.bitrate-kbps"] = controller_->bitrateKbps();
    return stats;
}

void AIParticipant::addCandidate(int mlineIndex, const std::string& candidate) {
    if (peer_)
        peer_->addRemoteCandidate(mlineIndex, candidate);
}

// On the peer's streaming thread, once per decoded client frame.
void AIParticipant::edit(const uint8_t* data, int width, int height, int stride) {
    std::shared_ptr<const EditReference> reference;
    EditMode mode;
    {
        std::lock_guard lock(mediaMutex_);
        if (!reference_)
            return;
        if (reference_->width != width || reference_->height != height)
            reference_ = makeEditReference(image_, width, height);
        reference = reference_;
        mode = mode_;
    }
    if (!reference)
        return;
    auto frame = std::make_shared<EditedFrame>();
    frame->pixels.resize(static_cast<size_t>(width) * 4 * height);
    applyEdit(mode, *reference, data, stride, frame->pixels.data());
    const uint8_t* pixels = frame->pixels.data();
    if (!peer_->pushFrame(pixels, width, height, width * 4, std::move(frame)))
        return;
    ++edited_;
    if (!flowing_.exchange(true) && callbacks_.videoFlowing)
        callbacks_.videoFlowing();
}

} // namespace zarvo::devservice
