// The sending bitrate of a video link, chosen from what the far end's receiver reports say about
// it (loss and round-trip time) and from how much this side resends on request. It backs off at
// once when the link drops a tenth of the packets or the round trip grows (a queue is building up
// somewhere on the path) or a large share of the packets has to be resent for a whole second (a
// capped uplink whose losses retransmission hides from the reports and whose queue the unshaped
// RTCP does not show), holds under light loss (Wi-Fi and mobile links lose packets without being
// full; retransmission repairs those) and probes upwards slowly while the link stays clean.
// Platform-neutral: the owner hands it a Loop, a way to read the link's figures and a way to set
// the encoder's bitrate.
#pragma once

#include "foundation/loop.h"

#include <functional>
#include <mutex>
#include <optional>

namespace zarvo {

// The link's figures as the statistics give them: counters since the link began.
struct LinkFeedback {
    double packetsSent = 0;   // RTP packets this side has sent
    double packetsLost = 0;   // lost on the way, as the far end's latest receiver report counts
    double reports = 0;       // receiver reports seen so far; a new one makes the figures fresh
    double roundTripMs = -1;  // from the latest receiver report; below 0 while unknown
    double packetsResent = 0; // packets resent because the far end asked for them again
};

struct BandwidthLimits {
    int floorKbps = 300;
    int ceilingKbps = 2500; // what 1280 × 720 at 25 fps needs to look right
    int startKbps = 2500;
};

class BandwidthController {
public:
    // Reads the link's figures; none while there is no link yet.
    using Sample = std::function<std::optional<LinkFeedback>()>;
    // Sets the encoder's bitrate; called on the loop's thread, only when the bitrate changes.
    using Apply = std::function<void(int kbps)>;

    static constexpr Duration kInterval = std::chrono::milliseconds(500);

    BandwidthController(Loop& loop, BandwidthLimits limits, Sample sample, Apply apply);
    BandwidthController(const BandwidthController&) = delete;
    BandwidthController& operator=(const BandwidthController&) = delete;

    // Reads the figures every kInterval from now on; stop() or destruction ends it.
    void start();
    void stop();
    // One reading, as the timer takes it (loop thread).
    void feed(const LinkFeedback& feedback);

    // Safe from any thread.
    int bitrateKbps() const;
    // What the last fresh report said, for the video report.
    struct Figures {
        int bitrateKbps = 0;
        double lossPercent = 0; // over the last report's interval
        double roundTripMs = -1;
        double resentPercent = 0; // of the packets sent over the last full second
        int backOffs = 0;         // times the bitrate was cut
    };
    Figures figures() const;

private:
    void set(double kbps);

    Loop& loop_;
    BandwidthLimits limits_;
    Sample sample_;
    Apply apply_;
    TimerHandle timer_;

    // Loop thread only.
    std::optional<LinkFeedback> last_; // the previous fresh report
    double rate_;                      // kbit/s, unrounded
    double lowestRoundTrip_ = -1;      // the path's own delay, without a queue
    Duration lastCut_{-std::chrono::hours(1)};
    Duration lastReport_{0};
    // The resent share is judged over a whole second: reports come faster while the far end
    // asks for many packets, and a half second of a few packets says little.
    std::optional<LinkFeedback> windowStart_;
    Duration windowStartedAt_{0};
    double resentShare_ = 0;    // over the last full window
    double resentBaseline_ = 0; // what the path makes resend whatever the rate
    double seriesRate_ = 0;     // the rate before a run of cuts for resending; 0: none running
    double seriesCapacity_ = 0; // the most the link carried during that run, as resending says
    double seriesPeak_ = 0;     // the largest share resent during that run

    mutable std::mutex mutex_;
    Figures figures_;
};

} // namespace zarvo
