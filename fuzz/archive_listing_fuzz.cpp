// The archive listings bsdtar prints for a downloaded package: the first line names the bundle,
// the rest is the listing. Both rules must refuse any path that leaves the bundle.
#include "fuzz/fuzz_support.h"
#include "update/release_validation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zarvo;
    const std::string input = fuzz::text(data, size);
    const auto newline = input.find('\n');
    const std::string bundle = newline == std::string::npos ? input : input.substr(0, newline);
    const std::string listing = newline == std::string::npos ? "" : input.substr(newline + 1);
    const bool paths = ReleaseValidation::archivePaths(listing, bundle);
    (void)ReleaseValidation::archiveLinks(listing, bundle);
    if (!paths)
        return 0;
    // Accepted: no member is absolute or climbs out through "..".
    size_t start = 0;
    while (start <= listing.size()) {
        size_t end = listing.find('\n', start);
        if (end == std::string::npos)
            end = listing.size();
        std::string line = listing.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        ZARVO_FUZZ_CHECK(!line.starts_with('/'));
        ZARVO_FUZZ_CHECK(line != ".." && !line.starts_with("../") &&
                         line.find("/../") == std::string::npos && !line.ends_with("/.."));
        start = end + 1;
    }
    return 0;
}
