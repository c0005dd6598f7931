// Misbehaviour on demand, per host and path, so tests can drive every failure path of the client.
#pragma once

#include "foundation/json.h"
#include "foundation/result.h"
#include "foundation/time.h"

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zarvo::devservice {

struct Fault {
    std::string host = "*"; // "primary", "secondary", "download" or "*" for every host
    std::string path = "*"; // the request path without the query ("/health", "/api/v1/live/start")
                            // or "*" for every path
    // Hold the request this long before answering (or before the other effects below).
    // `stall` holds it until the client gives up or the stand-in stops.
    Duration delay{0};
    bool stall = false;
    std::optional<int> status{}; // answer with this status and {"detail": "..."} instead
    std::string redirect{};      // answer 302 with this Location
    bool nonObjectBody = false;  // answer 200 with a JSON array
    bool drop = false;           // close the connection without an answer
    int count = -1;              // how many requests it applies to; -1: until cleared

    // The admin endpoint's form: {"host", "path", "delay_ms", "stall", "status", "redirect",
    // "non_object", "drop", "count"}.
    static Result<Fault> fromJson(const Json& json);
    Json toJson() const;
};

// The fault "network": what the AI participants send and receive is lost, delayed and capped so.
struct NetworkFault {
    double lossPercent = 0;
    int delayMs = 0;
    int jitterMs = 0; // the delay varies by up to this much either way
    int kbps = 0;     // 0: no cap
    bool operator==(const NetworkFault&) const = default;

    // The admin endpoint's form, the member "network" of a posted fault: {"loss_percent",
    // "delay_ms", "jitter_ms", "kbps"}, each 0 when absent.
    static Result<NetworkFault> fromJson(const Json& json);
    Json toJson() const;
};

// Thread-safe list; the first matching fault (in the order added) applies to a request. The
// network fault is one setting beside the list.
class FaultTable {
public:
    void add(Fault fault);
    // Clears the network fault too.
    void clear();
    // Replaces the network fault; none clears it.
    void setNetwork(std::optional<NetworkFault> network);
    std::optional<NetworkFault> network() const;
    // Told of every change of the network fault, on the thread that made it (the RTC side of the
    // stand-in listens; the HTTP side cannot see it).
    void onNetworkChange(std::function<void(const std::optional<NetworkFault>&)> listener);
    std::vector<Fault> list() const;
    // The fault for a request, counting it down; none when nothing matches.
    std::optional<Fault> take(const std::string& host, const std::string& path);

private:
    mutable std::mutex mutex_;
    std::vector<Fault> faults_;
    std::optional<NetworkFault> network_;
    std::function<void(const std::optional<NetworkFault>&)> networkListener_;
};

} // namespace zarvo::devservice
