// The vocabulary of the server-side session: which states may start a new run, the title shown for
// each, and the user messages for the service's error texts. Pure functions.
#pragma once

#include <string>
#include <string_view>

namespace zarvo::SessionPresentation {

// True when the (upper-cased) state is IDLE, ENDED, STOPPED or FAILED.
bool canStart(std::string_view state);
// The badge text; callers pass the upper-cased state, aiBusy and aiStopping.
std::string title(std::string_view state, bool connecting, bool stopping);
// The user message for an error text from the request pipeline or the service.
std::string friendlyError(std::string_view text);
std::string upperCased(std::string_view state);

// The winding-down and finished sets used by the session watchdog, and the idle set of the
// account display.
bool isWindingDown(std::string_view state);
bool isFinished(std::string_view state);
bool isIdle(std::string_view state);

} // namespace zarvo::SessionPresentation
