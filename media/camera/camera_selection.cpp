#include "media/camera/camera_selection.h"

#include <algorithm>

namespace zarvo::CameraSelection {

Update update(const std::vector<std::string>& available, const std::optional<std::string>& selected,
              const std::optional<std::string>& preferred,
              const std::optional<std::string>& reconnect) {
    auto present = [&](const std::optional<std::string>& id) -> std::optional<std::string> {
        if (id && std::find(available.begin(), available.end(), *id) != available.end())
            return id;
        return std::nullopt;
    };
    const auto r = present(reconnect);
    const auto s = present(selected);
    const auto p = present(preferred);

    Update result;
    if (r)
        result.select = r;
    else if (s)
        result.select = s;
    else if (p)
        result.select = p;
    else if (!available.empty())
        result.select = available.front();
    result.selectedDisappeared = selected.has_value() && !s.has_value();
    result.reconnectCameBack = r.has_value();
    return result;
}

} // namespace zarvo::CameraSelection
