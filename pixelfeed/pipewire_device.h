// The virtual camera as a PipeWire node: a plain user process publishes a "Video/Source" camera
// that browsers (through the camera portal) and call applications list, with no kernel module and
// no root. The node drives its own graph and hands out the newest frame at the target's frame rate,
// so consumers may come and go at any time.
#pragma once

#include "pixelfeed/pixelfeed.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace pixelfeed {

// The node's stable name (what other programs look it up by) and the name users see in camera
// lists.
inline constexpr const char* kPipeWireNodeName = "zarvo-virtual-camera";
inline constexpr const char* kPipeWireNodeDescription = "Zarvo虚拟摄像头";

struct PipeWireProbe {
    bool answers = false;                       // a daemon answered a round trip in time
    std::optional<std::string> nodeDescription; // set when a node with the asked name exists
};

// Connects to the user's PipeWire daemon (the runtime socket, or PIPEWIRE_REMOTE), and when
// `nodeName` is given, looks for a "Video/Source" node of that name. Any thread; never waits longer
// than `limit`.
PipeWireProbe probePipeWire(std::chrono::milliseconds limit,
                            const std::optional<std::string>& nodeName = std::nullopt);

// Whether something accepts a connection on the daemon's socket, found the way libpipewire finds
// it: PIPEWIRE_REMOTE (an absolute path, or a name) in PIPEWIRE_RUNTIME_DIR or XDG_RUNTIME_DIR,
// default "pipewire-0". Quick: used to choose the output before anything is set up.
bool pipeWireSocketAnswers();

class PipeWireDevice final : public FrameDevice {
public:
    // Connects and publishes the node (one fixed 1280 × 720 YUY2 format at target.frameRate);
    // throws Failure when no daemon answers or the node cannot be created.
    explicit PipeWireDevice(const SenderTarget& target,
                            const std::string& nodeName = kPipeWireNodeName,
                            const std::string& description = kPipeWireNodeDescription);
    ~PipeWireDevice() override;
    PipeWireDevice(const PipeWireDevice&) = delete;
    PipeWireDevice& operator=(const PipeWireDevice&) = delete;

    // The node takes frames at its own pace; a newer frame replaces one not yet sent.
    bool busy() override { return false; }
    // Throws Failure once the daemon has gone away, so the sender ends and is started again.
    bool deliver(const uint8_t* rgba) override;
    void stop() override;

    // Frames handed to consumers so far.
    uint64_t framesSent() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace pixelfeed
