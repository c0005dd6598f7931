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

void FaultTable::add(Fault fault) {
    std::lock_guard lock(mutex_);
    faults_.push_back(std::move(fault));
}

void FaultTable::clear() {
    std::lock_guard lock(mutex_);
    faults_.clear();
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
