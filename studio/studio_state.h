// The state object pushed to the studio page: a pure function of the application's state, so the
// page only redraws from the last object it received.
#pragma once

#include "foundation/json.h"
#include "foundation/time.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zarvo {

struct StudioStateInputs {
    const Json* usage = nullptr; // the last account reply; none before the first
    WallTime usageSyncedAt{};
    WallTime now{};
    std::string_view networkState;

    bool sessionBusy = false; // starting, running or stopping
    std::string_view liveDuration, sessionBadge, pointsLabel, status, syncLabel, referenceName;
    std::string_view switchNotice;
    int mode = 0;
    const std::vector<std::string>* cameras = nullptr;
    int camera = -1;
    bool mirror = false;
    bool hasReferenceData = false;

    bool bridgeResetting = false, bridgeHasEngine = true, bridgeResetTimedOut = false;

    const Json* presets = nullptr;
    const Json* gallery = nullptr; // given only when the page must receive it
    int64_t galleryRevision = 0;
    std::string_view selectedReference;

    const Json* update = nullptr;
    const Json* routes = nullptr;

    // Where the account credential is kept: false while it lives in the private file because no
    // keyring answers; the text says so on the settings page (empty in the keyring).
    bool credentialInKeyring = true;
    std::string_view credentialStorageText;
    // The account as the page may know it: never the credential itself.
    bool signedIn = true;
    bool accountLocked = false; // a session is unsettled: no sign-out or change of account
    std::string_view maskedPhone, signInNotice;
};

Json buildStudioState(const StudioStateInputs& in);

// Whole seconds from `syncedAt` to `now`, never negative.
int64_t syncAgeSeconds(WallTime syncedAt, WallTime now);

// Why AI cannot start now; empty when it can.
std::string startDisabledReason(const StudioStateInputs& in, int64_t syncAge);

// The start window line under the start button.
std::string billingProtectionText(const Json& usage);

// "预计可用 m 分 s 秒" for r seconds of points (m truncated toward zero).
std::string remainingText(int64_t seconds);

// The points ticking down at one a second between two account replies of a running session.
struct PointsProjection {
    int64_t consumed = 0, consumedPaid = 0, consumedGift = 0;
    int64_t paid = 0, gift = 0;
    std::string remaining;
};
// None unless points are reserved.
std::optional<PointsProjection> projectPoints(const Json& usage, WallTime syncedAt, WallTime now);

} // namespace zarvo
