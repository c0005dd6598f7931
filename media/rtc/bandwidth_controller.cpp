#include "media/rtc/bandwidth_controller.h"

#include "foundation/thread_check.h"

#include <algorithm>
#include <cmath>

namespace zarvo {

namespace {

using namespace std::chrono_literals;

// Above this share of lost packets the link is full, not merely lossy.
constexpr double kCongestedLoss = 0.10;
// Below it the link is taken as clean enough to probe.
constexpr double kCleanLoss = 0.02;
// A queue this much longer than the path's own round trip is a link filling up.
constexpr double kQueueMs = 100;
// Growth per second while probing: from the floor to the ceiling takes about half a minute.
constexpr double kProbeGrowth = 0.08;
// After a cut the encoder needs a moment before the reports show its new rate.
constexpr Duration kSettleAfterCut = 2s;
constexpr Duration kBetweenDelayCuts = 1s;
// Random loss of a few percent makes the far end ask for about as many packets again; a link over
// its capacity drops (and so has resent) a share that grows with the excess.
constexpr double kFullLinkResent = 0.15;
constexpr Duration kResentWindow = 1s;
constexpr double kBaselineFade = 0.02; // per window

} // namespace

BandwidthController::BandwidthController(Loop& loop, BandwidthLimits limits, Sample sample,
                                         Apply apply)
    : loop_(loop), limits_(limits), sample_(std::move(sample)), apply_(std::move(apply)),
      rate_(std::clamp(limits.startKbps, limits.floorKbps, limits.ceilingKbps)) {
    figures_.bitrateKbps = static_cast<int>(std::lround(rate_));
}

void BandwidthController::start() {
    timer_ = loop_.repeating(kInterval, [this] {
        if (auto feedback = sample_())
            feed(*feedback);
    });
}

void BandwidthController::stop() {
    timer_.cancel();
}

int BandwidthController::bitrateKbps() const {
    std::lock_guard lock(mutex_);
    return figures_.bitrateKbps;
}

BandwidthController::Figures BandwidthController::figures() const {
    std::lock_guard lock(mutex_);
    return figures_;
}

void BandwidthController::feed(const LinkFeedback& feedback) {
    ZARVO_DCHECK_ON(loop_);
    const Duration now = loop_.uptime();
    if (!last_) {
        last_ = feedback;
        lastReport_ = now;
        windowStart_ = feedback;
        windowStartedAt_ = now;
        return;
    }
    // Only a new receiver report says anything new about the link.
    if (feedback.reports <= last_->reports)
        return;
    const double sent = feedback.packetsSent - last_->packetsSent;
    const double lost = std::max(0.0, feedback.packetsLost - last_->packetsLost);
    const double loss = sent > 0 ? std::min(1.0, lost / sent) : 0.0;
    const double previousTrip = last_->roundTripMs;
    last_ = feedback;

    const double trip = feedback.roundTripMs;
    if (trip >= 0 && (lowestRoundTrip_ < 0 || trip < lowestRoundTrip_))
        lowestRoundTrip_ = trip;
    const double queue = trip >= 0 ? trip - lowestRoundTrip_ : 0;
    const bool queueGrowing =
        trip >= 0 && queue > kQueueMs && previousTrip >= 0 && trip > previousTrip;

    // The resent share over the last second, once a second has passed since the window began.
    std::optional<double> resent;
    if (now - windowStartedAt_ >= kResentWindow) {
        const double windowSent = feedback.packetsSent - windowStart_->packetsSent;
        const double windowResent =
            std::max(0.0, feedback.packetsResent - windowStart_->packetsResent);
        resent = windowSent > 0 ? std::min(1.0, windowResent / windowSent) : 0.0;
        windowStart_ = feedback;
        windowStartedAt_ = now;
    }
    if (resent) {
        resentShare_ = *resent;
        // Cuts that left the share as it was, neither lower nor (as when a cap began within the
        // first window) higher: the resending comes from the path
        // (reordering asks for packets that were only late), not from the rate. That share is
        // the path's own from now on, and the rate the cuts took away comes back.
        if (seriesRate_ > 0 && rate_ <= seriesRate_ * 0.6) {
            const double excess = *resent - resentBaseline_;
            const double expected = std::max(0.0, 1 - seriesCapacity_ / rate_);
            if (excess > expected + kFullLinkResent && excess >= 0.8 * seriesPeak_ &&
                excess <= 1.25 * seriesPeak_) {
                resentBaseline_ = *resent;
                set(seriesRate_);
            }
            seriesRate_ = 0;
        }
        // It fades, so that a link that fills up later is still seen.
        resentBaseline_ = std::max(0.0, std::min(resentBaseline_, *resent) - kBaselineFade);
    }
    const double resentExcess = resent ? *resent - resentBaseline_ : 0;
    if (resent && resentExcess <= kFullLinkResent)
        seriesRate_ = 0; // the run of cuts is over

    int cuts = 0;
    if (loss > kCongestedLoss) {
        // As much as the loss says the link is over its capacity, at once.
        set(rate_ * (1 - 0.5 * loss));
        lastCut_ = now;
        cuts = 1;
    } else if (resentExcess > kFullLinkResent) {
        // What was resent is about what the link could not carry: down by that share, but by
        // no more than half at a time, since the share also holds repeats of lost repeats.
        if (seriesRate_ <= 0) {
            seriesRate_ = rate_;
            seriesCapacity_ = 0;
            seriesPeak_ = 0;
        }
        seriesCapacity_ = std::max(seriesCapacity_, rate_ * (1 - resentExcess));
        seriesPeak_ = std::max(seriesPeak_, resentExcess);
        set(rate_ * std::clamp(1 - resentExcess, 0.5, 0.85));
        lastCut_ = now;
        cuts = 1;
    } else if (queueGrowing && now - lastCut_ >= kBetweenDelayCuts) {
        set(rate_ * 0.85);
        lastCut_ = now;
        cuts = 1;
    } else if (loss < kCleanLoss && resentShare_ - resentBaseline_ < kCleanLoss &&
               queue <= kQueueMs / 2 && now - lastCut_ >= kSettleAfterCut) {
        // Growth by the time the report covers (up to a second), so a burst of reports does
        // not speed the probe up.
        const double seconds =
            std::min(1.0, std::chrono::duration<double>(now - lastReport_).count());
        set(rate_ * (1 + kProbeGrowth * seconds));
    }
    lastReport_ = now;

    std::lock_guard lock(mutex_);
    figures_.lossPercent = loss * 100;
    figures_.roundTripMs = trip;
    figures_.resentPercent = resentShare_ * 100;
    figures_.backOffs += cuts;
}

void BandwidthController::set(double kbps) {
    rate_ = std::clamp(kbps, double(limits_.floorKbps), double(limits_.ceilingKbps));
    const int rounded = static_cast<int>(std::lround(rate_));
    bool changed = false;
    {
        std::lock_guard lock(mutex_);
        changed = rounded != figures_.bitrateKbps;
        figures_.bitrateKbps = rounded;
    }
    if (changed && apply_)
        apply_(rounded);
}

} // namespace zarvo
