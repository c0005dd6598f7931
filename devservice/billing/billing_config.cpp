#include "devservice/billing/billing_config.h"

namespace zarvo::devservice {

namespace {

Status<> readSeconds(const Json& json, std::string_view key, Duration& target) {
    const Json* value = jsonMember(json, key);
    if (!value)
        return Ok{};
    auto number = jsonNumber(json, key);
    if (!number || *number < 0 || *number > 86400.0 * 365)
        return unexpected(Error{std::string(key) + " must be a number of seconds", 1});
    target = seconds(*number);
    return Ok{};
}

template <class T> Status<> readCount(const Json& json, std::string_view key, T& target) {
    if (!jsonMember(json, key))
        return Ok{};
    auto number = jsonInteger(json, key);
    if (!number || *number < 0)
        return unexpected(Error{std::string(key) + " must be a whole number from 0", 1});
    target = static_cast<T>(*number);
    return Ok{};
}

} // namespace

Result<BillingConfig> billingConfigFromJson(const Json& json, BillingConfig base) {
    if (!json.is_object())
        return unexpected(Error{"billing settings must be a JSON object", 1});
    BillingConfig config = std::move(base);
    const std::pair<std::string_view, Duration*> durations[] = {
        {"reserve_seconds", &config.reserveDelay},
        {"create_seconds", &config.createDelay},
        {"running_seconds", &config.runningDelay},
        {"participant_timeout_seconds", &config.participantTimeout},
        {"stopping_seconds", &config.stoppingDelay},
        {"settlement_seconds", &config.settlementDelay},
        {"heartbeat_timeout_seconds", &config.heartbeatTimeout},
    };
    for (const auto& [key, target] : durations)
        if (auto read = readSeconds(json, key, *target); !read)
            return unexpected(read.error());
    for (auto read : {readCount(json, "min_start_points", config.minStartPoints),
                      readCount(json, "max_reservation_points", config.maxReservationPoints),
                      readCount(json, "max_body_bytes", config.maxBodyBytes),
                      readCount(json, "max_image_bytes", config.maxImageBytes)})
        if (!read)
            return unexpected(read.error());
    if (const Json* lifetime = jsonMember(json, "token_lifetime_seconds")) {
        if (!lifetime->is_number() || lifetime->get<double>() <= 0)
            return unexpected(Error{"token_lifetime_seconds must be a positive number", 1});
        config.tokenLifetime = seconds(lifetime->get<double>());
    }
    if (config.maxReservationPoints < 1)
        return unexpected(Error{"max_reservation_points must be at least 1", 1});
    if (const Json* snapshot = jsonMember(json, "snapshot")) {
        if (!snapshot->is_string() || snapshot->get<std::string>().empty())
            return unexpected(Error{"snapshot must be a file path", 1});
        config.snapshotPath = std::filesystem::path(snapshot->get<std::string>());
    }
    if (const Json* accounts = jsonMember(json, "accounts")) {
        if (!accounts->is_array())
            return unexpected(Error{"accounts must be an array", 1});
        config.accounts.clear();
        for (const Json& item : *accounts) {
            if (!item.is_object())
                return unexpected(Error{"each account must be an object", 1});
            BillingAccountConfig account;
            account.token = jsonString(item, "token", "");
            account.name = jsonString(item, "name", account.name);
            if (auto read = readCount(item, "paid_points", account.paidPoints); !read)
                return unexpected(read.error());
            if (auto read = readCount(item, "gift_points", account.giftPoints); !read)
                return unexpected(read.error());
            config.accounts.push_back(std::move(account));
        }
    }
    return config;
}

} // namespace zarvo::devservice
