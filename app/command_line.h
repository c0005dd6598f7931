// Zarvo's command-line options. An option is found anywhere in the argument list; one that takes
// a value takes the next argument.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zarvo {

struct CommandLineOptions {
    bool snapshotMode = false;                   // "--snapshot" given; skips the instance check
    std::optional<std::string> snapshot;         // screenshot output path
    std::optional<std::string> page;             // studio page to open first (with --snapshot)
    bool withAccount = false;                    // wait for account data (with --snapshot)
    std::optional<std::string> referencePreview; // image shown as reference (with --snapshot)
    std::optional<std::string> smokeConfig;      // automatic self-run configuration file

    static CommandLineOptions parse(const std::vector<std::string>& arguments);
};

} // namespace zarvo
