// Zarvo's command-line options. An option is found anywhere in the argument list; one that takes
// a value takes the next argument. The unattended modes are tools for people and CI: a wrong
// invocation is refused with a Chinese message instead of starting something else.
#pragma once

#include "foundation/result.h"

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

    // Refuses an unknown "--" option, an option without its value, "--snapshot" without its PNG
    // path, a page that does not exist, the screenshot's options without "--snapshot", and the
    // screenshot together with the self-run. Other arguments are left alone.
    static Result<CommandLineOptions> parse(const std::vector<std::string>& arguments);
};

} // namespace zarvo
