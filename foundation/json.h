// JSON values and readers with the service's meaning: a member of the wrong type counts as missing,
// and a missing member takes the default the caller names.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zarvo {

using Json = nlohmann::json;

// The member, or nullptr when `object` is not an object or has no such member.
const Json* jsonMember(const Json& object, std::string_view key);

// An integer member: a JSON integer only (5.0 and "5" are not integers).
std::optional<int64_t> jsonInteger(const Json& object, std::string_view key);
int64_t jsonInteger(const Json& object, std::string_view key, int64_t fallback);
std::optional<std::string> jsonString(const Json& object, std::string_view key);
std::string jsonString(const Json& object, std::string_view key, std::string_view fallback);
std::optional<bool> jsonBool(const Json& object, std::string_view key);
bool jsonBool(const Json& object, std::string_view key, bool fallback);
// Any JSON number, integer or not.
std::optional<double> jsonNumber(const Json& object, std::string_view key);
double jsonNumber(const Json& object, std::string_view key, double fallback);

// Parses text whose top level is a JSON object; anything else (array, scalar, bad text) is none.
std::optional<Json> parseJsonObject(std::string_view text);

} // namespace zarvo
