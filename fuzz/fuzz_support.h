// Shared by the fuzz targets: the input as text, and a private scratch file for the readers that
// take a path (the program reads these files from disk, so the targets do too).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sanitizer/common_interface_defs.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace zarvo::fuzz {

inline std::string text(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// A folder of this process's own, made once and left for the system to clean (/tmp).
// The first `most` lines of the input, without their line ends.
inline std::vector<std::string> lines(const uint8_t* data, size_t size, size_t most) {
    const std::string input = text(data, size);
    std::vector<std::string> result;
    for (size_t start = 0; result.size() < most && start < input.size();) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos)
            end = input.size();
        result.push_back(input.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

inline const std::filesystem::path& scratch() {
    static const std::filesystem::path folder = [] {
        auto path =
            std::filesystem::temp_directory_path() / ("zarvo-fuzz-" + std::to_string(getpid()));
        std::filesystem::create_directories(path);
        return path;
    }();
    return folder;
}

inline std::filesystem::path writeScratch(const std::string& name, std::string_view bytes) {
    auto path = scratch() / name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    return path;
}

// A failed invariant is a finding: abort so libFuzzer keeps the input. The text goes where the
// sanitizers report, which stays open when the fuzzer closes the program's own stderr.
#define ZARVO_FUZZ_CHECK(condition)                                                                \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            __sanitizer_report_error_summary("invariant failed: " #condition " at " __FILE__);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

} // namespace zarvo::fuzz
