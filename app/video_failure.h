// What a broken video link means for a billed session: it ends now, with the failure as its
// reason, instead of when the watchdog notices that no frames arrive.
#pragma once

#include "foundation/result.h"

namespace zarvo {

class App;

// The bridge's failure path (main thread): stops a running session; ignored when none runs or a
// stop is already under way.
void endSessionOnVideoFailure(App& app, const Error& error);

} // namespace zarvo
