#include "media/rtc/stream_counters.h"

namespace zarvo {

void StreamCounters::set(const std::string& stream, const std::string& key, double value) {
    Counter& counter = streams_[stream][key];
    if (value >= counter.latest) {
        counter.latest = value;
        return;
    }
    // A count that fell to under half began again; a smaller dip is a report correcting itself
    // (a receiver's cumulative loss falls when a late packet turns up) and is held at its peak.
    if (value < counter.latest / 2) {
        counter.before += counter.latest;
        counter.latest = value;
    }
}

std::map<std::string, double> StreamCounters::totals() const {
    std::map<std::string, double> out;
    for (const auto& [stream, counters] : streams_)
        for (const auto& [key, counter] : counters)
            out[key] += counter.before + counter.latest;
    return out;
}

bool StreamCounters::isCounter(std::string_view member) {
    return member.starts_with("packets-") || member.starts_with("bytes-") ||
           member.ends_with("-count") || member.starts_with("retransmitted-");
}

} // namespace zarvo
