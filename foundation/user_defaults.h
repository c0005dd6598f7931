// The user-defaults store: one JSON object in a file, written whole and atomically on each change.
// Main thread only.
#pragma once

#include "foundation/json.h"

#include <filesystem>
#include <optional>
#include <string>

namespace zarvo {

class UserDefaults {
public:
    // Reads the file; a missing or unreadable file starts empty and is replaced on the first set.
    explicit UserDefaults(std::filesystem::path file);

    std::optional<std::string> string(const std::string& key) const;
    std::optional<int64_t> integer(const std::string& key) const;
    std::optional<bool> boolean(const std::string& key) const;
    const Json* value(const std::string& key) const;

    // Returns false when the file could not be written (the value is kept in memory).
    bool set(const std::string& key, Json value);
    bool remove(const std::string& key);
    const std::filesystem::path& file() const { return file_; }

private:
    bool save();

    std::filesystem::path file_;
    Json values_ = Json::object();
};

} // namespace zarvo
