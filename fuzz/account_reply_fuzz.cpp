// The account replies of the service ("client/state", "live/current", "live/start", "live/stop"):
// what the window shows of them. Points shown are never negative and the paid and gift parts
// always add up to what is shown as consumed.
#include "fuzz/fuzz_support.h"
#include "studio/studio_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zarvo;
    if (size < 1)
        return 0;
    auto usage = parseJsonObject(fuzz::text(data + 1, size - 1));
    if (!usage)
        return 0;
    const WallTime syncedAt(std::chrono::seconds(1'800'000'000));
    const WallTime now = syncedAt + std::chrono::seconds(int(data[0]) - 64);
    if (auto p = projectPoints(*usage, syncedAt, now)) {
        ZARVO_FUZZ_CHECK(p->consumed >= 0 && p->consumedPaid >= 0 && p->consumedGift >= 0);
        ZARVO_FUZZ_CHECK(p->consumedPaid + p->consumedGift == p->consumed);
        ZARVO_FUZZ_CHECK(p->paid >= 0 && p->gift >= 0);
    }
    StudioStateInputs in;
    in.usage = &*usage;
    in.usageSyncedAt = syncedAt;
    in.now = now;
    in.networkState = "online";
    in.hasReferenceData = true;
    Json state = buildStudioState(in);
    for (const char* key :
         {"paid", "gift", "consumedPaid", "consumedGift", "estimate", "pointsValue"})
        if (state[key].is_number())
            ZARVO_FUZZ_CHECK(state[key].get<double>() >= 0);
    (void)state.dump(-1, ' ', false, Json::error_handler_t::replace);
    return 0;
}
