#include "foundation/user_defaults.h"

#include "foundation/atomic_file.h"

namespace zarvo {

UserDefaults::UserDefaults(std::filesystem::path file) : file_(std::move(file)) {
    if (auto text = readFile(file_))
        if (auto parsed = parseJsonObject(*text))
            values_ = std::move(*parsed);
}

std::optional<std::string> UserDefaults::string(const std::string& key) const {
    return jsonString(values_, key);
}
std::optional<int64_t> UserDefaults::integer(const std::string& key) const {
    return jsonInteger(values_, key);
}
std::optional<bool> UserDefaults::boolean(const std::string& key) const {
    return jsonBool(values_, key);
}
const Json* UserDefaults::value(const std::string& key) const { return jsonMember(values_, key); }

bool UserDefaults::set(const std::string& key, Json value) {
    values_[key] = std::move(value);
    return save();
}

bool UserDefaults::remove(const std::string& key) {
    values_.erase(key);
    return save();
}

bool UserDefaults::save() {
    std::string text = values_.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    return writeFileAtomically(file_, text).ok();
}

} // namespace zarvo
