#include "update/diagnostics_report.h"

#include "foundation/atomic_file.h"
#include "foundation/encoding.h"

#include <sys/utsname.h>

#include <regex>

namespace zarvo::Diagnostics {

std::string mask(const std::string& value) {
    static const std::regex secret("(bearer\\s+\\S+|vda_\\S+|token[=:]\\S+)",
                                   std::regex::icase | std::regex::ECMAScript);
    return std::regex_replace(value, secret, "[已隐藏]");
}

Json report(const ReportInput& input) {
    static const char* const kKeys[] = {"session_state", "network_state",   "output_state",
                                        "frame_count",   "elapsed_seconds", "last_error_code"};
    Json state = Json::object();
    for (const char* key : kKeys)
        if (auto it = input.context.find(key); it != input.context.end())
            state[key] = mask(it->second);
    return Json{{"generated_at", formatIso8601(input.now)},
                {"app_version", input.appVersion.empty() ? "unknown" : input.appVersion},
                // The key keeps its established name; it holds this system's version text.
                {"macos", input.osVersion},
                {"virtual_camera", input.virtualCamera.value_or("未检测到")},
                {"camera_permission", input.cameraPermission},
                {"state", state}};
}

std::string suggestedFileName(WallTime now) {
    std::string stamp = formatIso8601(now);
    for (char& c : stamp)
        if (c == ':')
            c = '-';
    return "Zarvo诊断-" + stamp + ".json";
}

std::string operatingSystemVersion() {
    std::string name = "Linux";
    if (auto release = readFile("/etc/os-release")) {
        static const std::regex pretty("(^|\\n)PRETTY_NAME=\"?([^\"\\n]*)\"?");
        std::smatch match;
        if (std::regex_search(*release, match, pretty) && !match[2].str().empty())
            name = match[2].str();
    }
    struct utsname system {};
    if (uname(&system) == 0)
        name += std::string(" (") + system.sysname + " " + system.release + ")";
    return name;
}

} // namespace zarvo::Diagnostics
