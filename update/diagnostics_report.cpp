#include "update/diagnostics_report.h"

#include "foundation/atomic_file.h"
#include "foundation/encoding.h"

#include <sys/utsname.h>

namespace zarvo::Diagnostics {

namespace {

// Scanned by hand: the standard library's regular expressions recurse once per character, and
// a long context value would overflow the stack.
bool space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// `word` (lower-case ASCII) at `at`, in any case.
bool wordAt(std::string_view text, size_t at, std::string_view word) {
    if (text.size() - at < word.size())
        return false;
    for (size_t i = 0; i < word.size(); i++) {
        char c = text[at + i];
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
        if (c != word[i])
            return false;
    }
    return true;
}

// The end of the secret that starts at `at`, or npos when none does.
size_t secretEnd(std::string_view text, size_t at) {
    auto run = [&](size_t i, bool spaces) {
        while (i < text.size() && space(text[i]) == spaces)
            i++;
        return i;
    };
    // The value: at least one character up to the next white space.
    auto value = [&](size_t from) {
        const size_t end = run(from, false);
        return end > from ? end : std::string_view::npos;
    };
    if (wordAt(text, at, "bearer")) {
        const size_t gap = run(at + 6, true);
        return gap > at + 6 ? value(gap) : std::string_view::npos;
    }
    if (wordAt(text, at, "vda_"))
        return value(at + 4);
    if (wordAt(text, at, "token") && at + 5 < text.size() &&
        (text[at + 5] == '=' || text[at + 5] == ':'))
        return value(at + 6);
    return std::string_view::npos;
}

} // namespace

std::string mask(const std::string& value) {
    std::string masked;
    masked.reserve(value.size());
    for (size_t i = 0; i < value.size();) {
        if (const size_t end = secretEnd(value, i); end != std::string_view::npos) {
            masked += "[已隐藏]";
            i = end;
        } else {
            masked += value[i++];
        }
    }
    return masked;
}

std::string prettyName(std::string_view osRelease) {
    constexpr std::string_view key = "PRETTY_NAME=";
    size_t at = 0;
    if (!osRelease.starts_with(key)) {
        at = osRelease.find("\nPRETTY_NAME=");
        if (at == std::string_view::npos)
            return {};
        at++;
    }
    size_t start = at + key.size();
    if (start < osRelease.size() && osRelease[start] == '"')
        start++;
    const size_t end = osRelease.find_first_of("\"\n", start);
    return std::string(osRelease.substr(start, end == std::string_view::npos ? end : end - start));
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
        if (std::string pretty = prettyName(*release); !pretty.empty())
            name = std::move(pretty);
    }
    struct utsname system {};
    if (uname(&system) == 0)
        name += std::string(" (") + system.sysname + " " + system.release + ")";
    return name;
}

} // namespace zarvo::Diagnostics
