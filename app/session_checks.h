// What the update workflow asks of the application core: whether a session is in the way, a fresh
// check of that with the service, and the context of a diagnostics report.
#pragma once

#include <functional>
#include <map>
#include <string>

namespace zarvo {

class App;

// A session is starting, running or stopping, or the account's session state does not allow a
// start.
bool sessionInTheWay(const App& app);
// Asks the service; `done(true)` only when no session holds points. Without a credential nothing
// is asked and the answer is false. `app` must outlive the request.
void verifySessionSettled(App& app, std::function<void(bool)> done);
// The session's side of a diagnostics report.
std::map<std::string, std::string> sessionDiagnostics(const App& app);

} // namespace zarvo
