#include "app/session_checks.h"

#include "app/app.h"
#include "app/session_presentation.h"

namespace zarvo {
namespace {

std::string sessionState(const App& app) {
    return app.usageSnapshot ? jsonString(*app.usageSnapshot, "session_state", "IDLE") : "IDLE";
}

} // namespace

bool sessionInTheWay(const App& app) {
    return app.sessionBusy() ||
           !SessionPresentation::canStart(SessionPresentation::upperCased(sessionState(app)));
}

void verifySessionSettled(App& app, std::function<void(bool)> done) {
    // Without an account nothing is asked; and nothing can confirm the account is settled.
    if (!app.credential) {
        done(false);
        return;
    }
    int64_t generation = app.operationGeneration;
    app.routes.request("client/state", std::nullopt, app.credential,
                       [&app, generation, done = std::move(done)](std::optional<Json> json,
                                                                  std::optional<std::string>) {
                           if (!json) {
                               done(false);
                               return;
                           }
                           std::string state = SessionPresentation::upperCased(
                               jsonString(*json, "session_state", "IDLE"));
                           if (!SessionPresentation::canStart(state) ||
                               jsonInteger(*json, "reserved_points", 0) != 0) {
                               done(false);
                               return;
                           }
                           // A reply from an older phase of the session must not overwrite the
                           // snapshot.
                           if (generation == app.operationGeneration)
                               app.storeUsageSnapshot(std::move(*json), generation);
                           done(true);
                       });
}

std::map<std::string, std::string> sessionDiagnostics(const App& app) {
    std::map<std::string, std::string> context;
    context["session_state"] = sessionState(app);
    context["network_state"] = app.networkState;
    context["output_state"] = app.outputStatus.text;
    context["frame_count"] = std::to_string(app.video() ? app.video()->frameStats().count : 0);
    context["elapsed_seconds"] = std::to_string(
        app.usageSnapshot ? jsonInteger(*app.usageSnapshot, "session_elapsed_seconds", 0) : 0);
    return context;
}

} // namespace zarvo
