// What the update controller may ask of the application core: whether a session is in the way,
// a fresh check of that with the service, the context of a diagnostics report, and whether it may
// show its windows. Handed over at launch; App must outlive the hooks.
#pragma once

#include <functional>
#include <map>
#include <string>

namespace zarvo {

class App;

struct SupportHooks {
    // AI is busy, or the account's session state does not allow a start.
    std::function<bool()> isBusy;
    // Asks the service; answers true only when no session holds points.
    std::function<void(std::function<void(bool)>)> verifySession;
    std::function<std::map<std::string, std::string>()> diagnosticContext;
    std::function<bool()> mayPresent;
};

SupportHooks makeSupportHooks(App& app);

} // namespace zarvo
