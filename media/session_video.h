// The video capabilities the session logic drives, defined here beside their implementations (the
// RTC bridge and the virtual-camera output) so that media/ needs nothing from app/: join with the
// service's credentials, stop, and the remote frame statistics the session's watchdogs read.
#pragma once

#include "foundation/json.h"
#include "foundation/result.h"
#include "foundation/time.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace zarvo {

struct RemoteFrameStats {
    int64_t count = 0;             // remote frames accepted since the join
    std::optional<WallTime> first; // arrival of the first one
    std::optional<WallTime> last;  // arrival of the latest one
    // The same arrivals on the loop's monotonic clock: the watchdog measures with these, so a
    // change of the system date neither delays nor fires a stop.
    std::optional<Duration> firstUptime;
    std::optional<Duration> lastUptime;
};

class SessionVideo {
public:
    virtual ~SessionVideo() = default;
    // Main thread. Errors carry the user-facing message and the code.
    virtual Status<> join(const Json& credentials, const std::string& renderUID) = 0;
    // Ends the session's video and forgets its frame statistics.
    virtual void stop() = 0;
    virtual bool resetting() const = 0;
    virtual bool hasEngine() const = 0;
    // The last release of the video link did not finish in time; only a restart clears it.
    virtual bool resetTimedOut() const { return false; }
    virtual void setCameraID(const std::string& cameraID) = 0;
    virtual std::string cameraID() const = 0;
    // Read under the bridge's frame lock.
    virtual RemoteFrameStats frameStats() const = 0;
};

// What the session logic needs of the virtual-camera output.
class SessionOutput {
public:
    virtual ~SessionOutput() = default;
    // Drops the newest picture so the output turns black.
    virtual void clear() = 0;
    // Writes a last black frame and ends the output (application exit).
    virtual void shutdown() {}
};

} // namespace zarvo
