#include "devservice/fault_injection.h"

namespace zarvo::devservice {

Result<Fault> Fault::fromJson(const Json& json) {
    if (!json.is_object())
        return unexpected(Error{"a fault is a JSON object", 400});
    Fault f;
    f.host = jsonString(json, "host", "*");
    f.path = jsonString(json, "path", "*");
    if (f.host != "*" && f.host != "primary" && f.host != "secondary" && f.host != "download")
        return unexpected(Error{"\"host\" is primary, secondary, download or *", 400});
    if (f.path != "*" && !f.path.starts_with("/"))
        return unexpected(Error{"\"path\" starts with / or is *", 400});
    int64_t delayMs = jsonInteger(json, "delay_ms", 0);
    if (delayMs < 0)
        return unexpected(Error{"\"delay_ms\" is not negative", 400});
    f.delay = milliseconds(delayMs);
    f.stall = jsonBool(json, "stall", false);
    if (auto status = jsonInteger(json, "status")) {
        if (*status < 100 || *status > 599)
            return unexpected(Error{"\"status\" is an HTTP status", 400});
        f.status = int(*status);
    }
    f.redirect = jsonString(json, "redirect", "");
    f.nonObjectBody = jsonBool(json, "non_object", false);
    f.drop = jsonBool(json, "drop", false);
    f.count = int(jsonInteger(json, "count", -1));
    if (f.count == 0 || f.count < -1)
        return unexpected(Error{"\"count\" is positive, or -1 for until cleared", 400});
    return f;
}

Json Fault::toJson() const {
    Json j{{"host", host},   {"path", path},         {"delay_ms", delay.count() / 1'000'000},
           {"stall", stall}, {"redirect", redirect}, {"non_object", nonObjectBody},
           {"drop", drop},   {"count", count}};
    j["status"] = status ? Json(*status) : Json(nullptr);
    return j;
}

Result<NetworkFault> NetworkFault::fromJson(const Json& json) {
    if (!json.is_object())
        return unexpected(Error{"\"network\" is a JSON object", 400});
    NetworkFault n;
    n.lossPercent = jsonNumber(json, "loss_percent", 0);
    const int64_t delay = jsonInteger(json, "delay_ms", 0);
    const int64_t jitter = jsonInteger(json, "jitter_ms", 0);
    const int64_t kbps = jsonInteger(json, "kbps", 0);
    if (!(n.lossPercent >= 0 && n.lossPercent <= 100))
        return unexpected(Error{"\"loss_percent\" is from 0 to 100", 400});
    // A minute of delay is already no link; the bounds keep the figures inside an int.
    if (delay < 0 || delay > 60'000 || jitter < 0 || jitter > 60'000)
        return unexpected(Error{"\"delay_ms\" and \"jitter_ms\" are from 0 to 60000", 400});
    if (kbps < 0 || kbps > 10'000'000)
        return unexpected(Error{"\"kbps\" is from 0 (no cap) to 10000000", 400});
    n.delayMs = int(delay);
    n.jitterMs = int(jitter);
    n.kbps = int(kbps);
    return n;
}

Json NetworkFault::toJson() const {
    return Json{{"loss_percent", lossPercent},
                {"delay_ms", delayMs},
                {"jitter_ms", jitterMs},
                {"kbps", kbps}};
}

void FaultTable::add(Fault fault) {
    std::lock_guard lock(mutex_);
    faults_.push_back(std::move(fault));
}

void FaultTable::clear() {
    {
        std::lock_guard lock(mutex_);
        faults_.clear();
    }
    setNetwork(std::nullopt);
}

void FaultTable::setNetwork(std::optional<NetworkFault> network) {
    std::function<void(const std::optional<NetworkFault>&)> listener;
    {
        std::lock_guard lock(mutex_);
        network_ = network;
        listener = networkListener_;
    }
    if (listener)
        listener(network);
}

std::optional<NetworkFault> FaultTable::network() const {
    std::lock_guard lock(mutex_);
    return network_;
}

void FaultTable::onNetworkChange(std::function<void(const std::optional<NetworkFault>&)> listener) {
    std::lock_guard lock(mutex_);
    networkListener_ = std::move(listener);
}

std::vector<Fault> FaultTable::list() const {
    std::lock_guard lock(mutex_);
    return faults_;
}

std::optional<Fault> FaultTable::take(const std::string& host, const std::string& path) {
    std::lock_guard lock(mutex_);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if ((it->host != "*" && it->host != host) || (it->path != "*" && it->path != path))
            continue;
        Fault match = *it;
        if (it->count > 0 && --it->count == 0)
            faults_.erase(it);
        return match;
    }
    return std::nullopt;
}

} // namespace zarvo::devservice
