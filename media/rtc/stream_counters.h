// The cumulative counters of a link's streams ("outbound-rtp.bytes-sent", ...) summed so that the
// sum never goes back: differences between two readings (bitrates, new losses) stay meaningful
// while streams come and go. A stream that leaves the statistics (a retransmission stream that
// went quiet times out) keeps what it counted; one under a new SSRC adds on; one that starts over
// under the same id (its source was made anew) adds its new count to the old.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace zarvo {

class StreamCounters {
public:
    // The latest value of counter `key` of the stream with statistics id `stream`.
    void set(const std::string& stream, const std::string& key, double value);
    // Every counter summed over the streams seen so far.
    std::map<std::string, double> totals() const;
    // Whether a statistics member counts up from the stream's start (packets, bytes, requests)
    // rather than describing the present (jitter, round trip, loss fraction, identifiers).
    static bool isCounter(std::string_view member);

private:
    struct Counter {
        double latest = 0;
        double before = 0; // what earlier lives of the stream counted
    };
    std::map<std::string, std::map<std::string, Counter>> streams_;
};

} // namespace zarvo
