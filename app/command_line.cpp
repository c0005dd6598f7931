#include "app/command_line.h"

#include <algorithm>

namespace zarvo {
namespace {

// The value after the first occurrence of `option`. Present without a value counts as absent.
std::optional<std::string> valueOf(const std::vector<std::string>& arguments,
                                   const std::string& option) {
    auto it = std::find(arguments.begin(), arguments.end(), option);
    if (it == arguments.end() || std::next(it) == arguments.end())
        return std::nullopt;
    return *std::next(it);
}

} // namespace

CommandLineOptions CommandLineOptions::parse(const std::vector<std::string>& arguments) {
    CommandLineOptions options;
    options.snapshotMode =
        std::find(arguments.begin(), arguments.end(), "--snapshot") != arguments.end();
    options.snapshot = valueOf(arguments, "--snapshot");
    options.page = valueOf(arguments, "--page");
    options.withAccount =
        std::find(arguments.begin(), arguments.end(), "--with-account") != arguments.end();
    options.referencePreview = valueOf(arguments, "--reference-preview");
    options.smokeConfig = valueOf(arguments, "--smoke-config");
    return options;
}

} // namespace zarvo
