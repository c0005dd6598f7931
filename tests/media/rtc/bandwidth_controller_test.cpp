// The bandwidth controller in virtual time: link figures in, encoder bitrate out.
#include "media/rtc/bandwidth_controller.h"
#include "media/rtc/stream_counters.h"

#include "foundation/virtual_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

namespace zarvo {
namespace {

using namespace std::chrono_literals;

// A link as the receiver reports describe it: the far end reports every interval, with the
// loss and round trip the test sets. Packets are 1200 bytes, as the payloaders make them.
struct ScriptedLink {
    double lossShare = 0; // of the packets sent since the last report
    double roundTripMs = 20;
    bool reporting = true; // false: no receiver report comes in
    int kbps = 0;          // what the encoder was last told
    std::vector<int> applied;

    LinkFeedback figures; // cumulative

    std::optional<LinkFeedback> sample(int currentKbps) {
        const double packets =
            currentKbps * 1000.0 / 8 / 1200 *
            std::chrono::duration<double>(BandwidthController::kInterval).count();
        figures.packetsSent += packets;
        if (reporting) {
            figures.packetsLost += packets * lossShare;
            figures.reports += 1;
            figures.roundTripMs = roundTripMs;
        }
        return figures;
    }
};

struct Harness {
    explicit Harness(BandwidthLimits limits = {})
        : controller(
              loop, limits, [this] { return link.sample(controller.bitrateKbps()); },
              [this](int kbps) {
                  link.kbps = kbps;
                  link.applied.push_back(kbps);
              }) {
        controller.start();
    }
    void run(Duration d) { loop.advance(d); }

    VirtualLoop loop;
    ScriptedLink link;
    BandwidthController controller;
};

// A sender on a link the test models: each interval it sends 1200-byte packets at the rate the
// controller set, and `carry` writes what the far end's next report says of them.
struct ModelledLink {
    using Carry =
        std::function<void(LinkFeedback& figures, int rate, double packets, double seconds)>;
    explicit ModelledLink(Carry link)
        : carry(std::move(link)),
          controller(
              loop, {},
              [this]() -> std::optional<LinkFeedback> {
                  const double seconds =
                      std::chrono::duration<double>(BandwidthController::kInterval).count();
                  const double packets = rate * seconds / 8 / 1.2;
                  figures.packetsSent += packets;
                  figures.reports += 1;
                  carry(figures, rate, packets, seconds);
                  return figures;
              },
              [this](int kbps) { rate = kbps; }) {
        controller.start();
    }

    VirtualLoop loop;
    int rate = 2500;
    LinkFeedback figures;
    Carry carry;
    BandwidthController controller;
};

// Loss that says the link is full cuts the rate within one report and keeps cutting down to the
// floor, never under it; random light loss of a lossy but roomy link leaves the rate alone.
TEST(BandwidthControllerTest, HeavyLossBacksOffAtOnceToTheFloorLightLossIsHeld) {
    Harness h;
    h.run(5s);
    EXPECT_EQ(h.controller.bitrateKbps(), 2500);
    h.link.lossShare = 0.05;
    h.run(30s);
    EXPECT_EQ(h.controller.bitrateKbps(), 2500) << "5 % random loss is repaired, not run from";
    EXPECT_EQ(h.controller.figures().backOffs, 0);
    EXPECT_NEAR(h.controller.figures().lossPercent, 5, 0.5);

    h.link.lossShare = 0.30;
    h.run(BandwidthController::kInterval);
    EXPECT_LE(h.controller.bitrateKbps(), 2500 * 0.9);
    EXPECT_EQ(h.link.kbps, h.controller.bitrateKbps()) << "the encoder follows";
    h.run(20s);
    EXPECT_EQ(h.controller.bitrateKbps(), 300);
    EXPECT_GE(*std::min_element(h.link.applied.begin(), h.link.applied.end()), 300);
}

// A round trip that keeps growing is a queue filling up: the rate is cut before any packet is
// lost. A long but steady round trip (a far server) is no reason to cut.
TEST(BandwidthControllerTest, GrowingDelayBacksOffSteadyDelayDoesNot) {
    Harness h;
    h.link.roundTripMs = 150;
    h.run(10s);
    EXPECT_EQ(h.controller.bitrateKbps(), 2500);
    EXPECT_EQ(h.controller.figures().backOffs, 0);

    for (int step = 1; step <= 6; ++step) {
        h.link.roundTripMs = 150 + step * 60;
        h.run(BandwidthController::kInterval);
    }
    EXPECT_LT(h.controller.bitrateKbps(), 2500 * 0.75);
    EXPECT_GE(h.controller.figures().backOffs, 2);
    const int cut = h.controller.bitrateKbps();
    // The queue drains: the rate holds, then probes up again.
    h.link.roundTripMs = 150;
    h.run(2s);
    EXPECT_LE(h.controller.bitrateKbps(), cut * 1.1);
    h.run(10s);
    EXPECT_GT(h.controller.bitrateKbps(), cut);
}

// Up again slowly once the link is clean: no jump, the ceiling in well under a minute, never
// over it. Without new receiver reports nothing moves.
TEST(BandwidthControllerTest, ProbesUpSlowlyToTheCeilingAndOnlyOnFreshReports) {
    Harness h({300, 2500, 300});
    h.run(3s);
    EXPECT_GT(h.controller.bitrateKbps(), 300);
    EXPECT_LT(h.controller.bitrateKbps(), 300 * 1.4) << "a probe, not a jump";
    h.link.reporting = false;
    const int before = h.controller.bitrateKbps();
    h.run(10s);
    EXPECT_EQ(h.controller.bitrateKbps(), before);
    h.link.reporting = true;
    h.run(40s);
    EXPECT_EQ(h.controller.bitrateKbps(), 2500);
    h.run(60s);
    EXPECT_EQ(*std::max_element(h.link.applied.begin(), h.link.applied.end()), 2500);
}

// A link of 800 kbit/s with a queue in front of it: over capacity the queue grows and then
// overflows. Started at the ceiling, the rate comes down and then stays near what the link
// carries instead of swinging to the floor or back over the capacity for long.
TEST(BandwidthControllerTest, SettlesNearTheCapacityOfANarrowLink) {
    const double capacity = 800;
    double queueKbit = 0; // what waits in front of the narrow link
    ModelledLink sender([&](LinkFeedback& figures, int rate, double packets, double seconds) {
        const double offered = rate * seconds;
        queueKbit = std::max(0.0, queueKbit + offered - capacity * seconds);
        const double queueLimit = capacity * 0.3; // 300 ms of buffering
        double lostShare = 0;
        if (queueKbit > queueLimit) {
            lostShare = std::min(1.0, (queueKbit - queueLimit) / offered);
            queueKbit = queueLimit;
        }
        figures.packetsLost += packets * lostShare;
        figures.roundTripMs = 20 + queueKbit / capacity * 1000;
    });
    VirtualLoop& loop = sender.loop;
    const int& rate = sender.rate;
    loop.advance(20s);
    std::vector<int> rates;
    for (int i = 0; i < 120; ++i) {
        loop.advance(BandwidthController::kInterval);
        rates.push_back(rate);
    }
    std::sort(rates.begin(), rates.end());
    const int median = rates[rates.size() / 2];
    EXPECT_GT(median, capacity * 0.5);
    EXPECT_LT(median, capacity * 1.1);
    EXPECT_GE(rates.front(), 300);
    // Over the capacity only briefly, while probing.
    const auto over =
        std::count_if(rates.begin(), rates.end(), [&](int r) { return r > capacity * 1.15; });
    EXPECT_LT(over, 12);
}

// A capped uplink as retransmission hides it: the receiver reports show no loss and the round
// trip stays short (RTCP passes the cap), but what the cap drops is asked for and resent. A
// persistent large resent share brings the rate down to near the cap within a few seconds; the
// few percent resent on a randomly lossy but roomy link, or a share that cutting does not lower,
// leave it alone.
TEST(BandwidthControllerTest, PersistentResendingBacksOffToTheCapLightResendingHolds) {
    double capacity = 100000; // kbit/s; roomy until the cap is set
    double randomLoss = 0;
    ModelledLink sender([&](LinkFeedback& figures, int rate, double packets, double) {
        figures.packetsResent += packets * std::max(randomLoss, 1 - capacity / rate);
        figures.roundTripMs = 20;
    });
    VirtualLoop& loop = sender.loop;
    const int& rate = sender.rate;
    const BandwidthController& controller = sender.controller;
    randomLoss = 0.05;
    loop.advance(30s);
    EXPECT_EQ(rate, 2500) << "5 % resent is repaired loss, not a full link";
    EXPECT_EQ(controller.figures().backOffs, 0);
    EXPECT_NEAR(controller.figures().resentPercent, 5, 0.5);
    // Reordering makes the far end ask for a third of the packets whatever the rate: a cut or
    // two find that out, and the rate comes back.
    randomLoss = 0.3;
    loop.advance(20s);
    EXPECT_GE(rate, 2500 * 0.7) << "resending that does not follow the rate is the path's own";

    randomLoss = 0;
    loop.advance(20s);
    EXPECT_EQ(rate, 2500);
    capacity = 500;
    loop.advance(4s);
    EXPECT_LT(rate, capacity * 1.15) << "near the cap within seconds";
    std::vector<int> rates;
    for (int i = 0; i < 60; ++i) {
        loop.advance(BandwidthController::kInterval);
        rates.push_back(rate);
    }
    EXPECT_GE(*std::min_element(rates.begin(), rates.end()), capacity * 0.5);
    EXPECT_LE(*std::max_element(rates.begin(), rates.end()), capacity * 1.2);
}

// The counters the controller and the video report take differences of: streams come and go
// (a quiet retransmission stream times out, a new SSRC appears, a source starts over) and the
// sums only ever grow.
TEST(StreamCounters, SumsNeverGoBackWhileStreamsComeGoAndStartOver) {
    StreamCounters counters;
    std::vector<double> sent;
    auto reading = [&](std::initializer_list<std::pair<const char*, double>> streams) {
        for (const auto& [stream, value] : streams)
            counters.set(stream, "outbound-rtp.bytes-sent", value);
        sent.push_back(counters.totals()["outbound-rtp.bytes-sent"]);
    };
    reading({{"out_1", 1000}, {"rtx_2", 50}});
    reading({{"out_1", 2000}});                 // the retransmission stream timed out
    reading({{"out_1", 3000}, {"rtx_2", 10}});  // and came back with its count from zero
    reading({{"out_1", 4000}, {"out_3", 100}}); // a new SSRC joins
    reading({{"out_1", 5000}, {"out_3", 200}});
    EXPECT_EQ(sent, (std::vector<double>{1050, 2050, 3060, 4160, 5260}));

    // A receiver's cumulative loss may fall when a late packet turns up: held, not restarted.
    counters.set("remote_1", "remote-inbound-rtp.packets-lost", 6);
    counters.set("remote_1", "remote-inbound-rtp.packets-lost", 5);
    EXPECT_EQ(counters.totals()["remote-inbound-rtp.packets-lost"], 6);
    counters.set("remote_1", "remote-inbound-rtp.packets-lost", 8);
    EXPECT_EQ(counters.totals()["remote-inbound-rtp.packets-lost"], 8);

    EXPECT_TRUE(StreamCounters::isCounter("nack-count"));
    EXPECT_TRUE(StreamCounters::isCounter("packets-lost"));
    EXPECT_FALSE(StreamCounters::isCounter("round-trip-time"));
    EXPECT_FALSE(StreamCounters::isCounter("jitter"));
    EXPECT_FALSE(StreamCounters::isCounter("fraction-lost"));
}

} // namespace
} // namespace zarvo
