// Reconciling the chosen camera with the devices present: a pure rule, so the main thread can run
// it on every refresh and tests can state it directly.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zarvo {

namespace CameraSelection {

struct Update {
    std::optional<std::string> select; // the id to select; none when no camera is present
    bool selectedDisappeared = false;
    bool reconnectCameBack = false;
    bool operator==(const Update&) const = default;
};

// available: unique ids in discovery order. The reconnect candidate wins over the current
// selection, which wins over the stored preference; else the first camera.
Update update(const std::vector<std::string>& available, const std::optional<std::string>& selected,
              const std::optional<std::string>& preferred,
              const std::optional<std::string>& reconnect);

} // namespace CameraSelection

} // namespace zarvo
