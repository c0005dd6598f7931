// The diagnostics summary a user can save for support staff: versions, the operating system, the
// virtual-camera and camera-permission state, and six context figures, with anything that looks
// like a credential masked.
#pragma once

#include "foundation/json.h"
#include "foundation/time.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace zarvo::Diagnostics {

// Replaces every "bearer <x>", "vda_<x>" and "token=<x>" / "token:<x>" (any case) by "[已隐藏]".
std::string mask(const std::string& value);

struct ReportInput {
    WallTime now;
    std::string appVersion; // empty: "unknown"
    std::string osVersion;
    std::optional<std::string> virtualCamera;
    int cameraPermission = 0;
    std::map<std::string, std::string> context;
};
// The six-key report; only the six listed context keys pass.
Json report(const ReportInput& input);
// "Zarvo诊断-2026-03-01T08-00-00Z.json".
std::string suggestedFileName(WallTime now);
// The first PRETTY_NAME value of an os-release file's text (without its quotes), or empty.
std::string prettyName(std::string_view osRelease);
// The operating system's version text: the distribution's name and the kernel release.
std::string operatingSystemVersion();

} // namespace zarvo::Diagnostics
