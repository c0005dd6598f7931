// pending.json: the update staged for the next start, read back before it is handed over.
#include "fuzz/fuzz_support.h"
#include "update/pending_update.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zarvo;
    auto file = fuzz::writeScratch("pending.json",
                                   std::string_view(reinterpret_cast<const char*>(data), size));
    auto pending = PendingUpdate::read(file);
    if (!pending)
        return 0;
    ZARVO_FUZZ_CHECK(size <= 65535);
    auto again = fuzz::writeScratch("pending-again.json", pending->toJson().dump());
    auto reread = PendingUpdate::read(again);
    ZARVO_FUZZ_CHECK(reread && reread->release == pending->release && reread->app == pending->app);
    return 0;
}
