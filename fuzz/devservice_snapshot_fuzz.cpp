// The stand-in's snapshot: accounts read back at start from a file that may be damaged. A snapshot
// that is taken yields accounts whose points are never negative.
#include "devservice/billing/billing_service.h"
#include "foundation/virtual_loop.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zarvo;
    using namespace zarvo::devservice;
    auto file = fuzz::writeScratch("snapshot.json",
                                   std::string_view(reinterpret_cast<const char*>(data), size));
    VirtualLoop loop;
    BillingConfig config;
    config.accounts.push_back({"fuzz-token", "开发账号", 3000, 600});
    config.snapshotPath = file;
    BillingService service(loop, config);
    (void)service.snapshotProblem();
    auto reply =
        service.handle({"primary", "GET", "client/state", {}, {}, "", service.developmentToken()});
    if (reply.status == 200)
        for (auto& [key, value] : reply.body.items())
            if (key.ends_with("_points") && value.is_number_integer())
                ZARVO_FUZZ_CHECK(value.get<int64_t>() >= 0);
    return 0;
}
