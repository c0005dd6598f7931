// The thin GTK layer of the application: the modal alert and the application object.
#pragma once

#include <string>

namespace zarvo {

class App;
struct CommandLineOptions;

// A modal alert with one button, run in a nested main loop. Without a display the texts go to
// standard error instead.
void showModalAlert(const std::string& message, const std::string& informative,
                    const std::string& button);
// Runs the GTK application with App as its delegate until it quits; returns the exit status.
int runApplication(App& app, const CommandLineOptions& options);

} // namespace zarvo
