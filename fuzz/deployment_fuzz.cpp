// The deployment file (ZARVO_DEPLOYMENT): whatever it says is refused or yields a deployment that
// writes back to a file read the same way.
#include "fuzz/fuzz_support.h"
#include "service/deployment.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zarvo;
    auto parsed = parseDeployment(fuzz::text(data, size), "/fuzz/deployment.json");
    if (!parsed)
        return 0;
    ZARVO_FUZZ_CHECK(!parsed->primaryHost.empty());
    auto again = parseDeployment(deploymentToJson(*parsed).dump(), "/fuzz/deployment.json");
    ZARVO_FUZZ_CHECK(bool(again));
    ZARVO_FUZZ_CHECK(again->primaryHost == parsed->primaryHost &&
                     again->connect == parsed->connect);
    return 0;
}
