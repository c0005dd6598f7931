#include "foundation/json.h"

namespace zarvo {

const Json* jsonMember(const Json& object, std::string_view key) {
    if (!object.is_object())
        return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::optional<int64_t> jsonInteger(const Json& object, std::string_view key) {
    const Json* value = jsonMember(object, key);
    if (!value || !value->is_number_integer())
        return std::nullopt;
    if (value->is_number_unsigned()) {
        auto u = value->get<uint64_t>();
        return u > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(u);
    }
    return value->get<int64_t>();
}

int64_t jsonInteger(const Json& object, std::string_view key, int64_t fallback) {
    return jsonInteger(object, key).value_or(fallback);
}

std::optional<std::string> jsonString(const Json& object, std::string_view key) {
    const Json* value = jsonMember(object, key);
    if (!value || !value->is_string())
        return std::nullopt;
    return value->get<std::string>();
}

std::string jsonString(const Json& object, std::string_view key, std::string_view fallback) {
    auto value = jsonString(object, key);
    return value ? *value : std::string(fallback);
}

std::optional<bool> jsonBool(const Json& object, std::string_view key) {
    const Json* value = jsonMember(object, key);
    if (!value || !value->is_boolean())
        return std::nullopt;
    return value->get<bool>();
}

bool jsonBool(const Json& object, std::string_view key, bool fallback) {
    return jsonBool(object, key).value_or(fallback);
}

std::optional<double> jsonNumber(const Json& object, std::string_view key) {
    const Json* value = jsonMember(object, key);
    if (!value || !value->is_number())
        return std::nullopt;
    return value->get<double>();
}

double jsonNumber(const Json& object, std::string_view key, double fallback) {
    return jsonNumber(object, key).value_or(fallback);
}

std::optional<Json> parseJsonObject(std::string_view text) {
    Json parsed = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_object())
        return std::nullopt;
    return parsed;
}

} // namespace zarvo
