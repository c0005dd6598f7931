// The release record ("latest.json") and the rules judging it: trusted place, version order, date.
#include "fuzz/fuzz_support.h"
#include "update/client_release.h"
#include "update/release_validation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zarvo;
    const std::string input = fuzz::text(data, size);
    auto json = parseJsonObject(input);
    if (!json)
        return 0;
    auto release = ClientRelease::fromJson(*json);
    if (!release)
        return 0;
    auto again = ClientRelease::fromJson(release->toJson());
    ZARVO_FUZZ_CHECK(again && *again == *release);
    const bool trusted = ReleaseValidation::trusted(*release);
    ZARVO_FUZZ_CHECK(!trusted || ReleaseValidation::trustedURL(release->url));
    ZARVO_FUZZ_CHECK(!trusted || release->size > 0);
    (void)ReleaseValidation::date(release->publishedAt);
    (void)ReleaseValidation::newer(release->version, "1.0.29");
    (void)ReleaseValidation::packageMatches(input, *release);
    if (ReleaseValidation::components(release->version))
        (void)release->bundleName();
    return 0;
}
