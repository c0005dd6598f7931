#include "foundation/allocator_tuning.h"
#include "shell/gtk_shell.h"
#include "shell/process_entry.h"

#include <csignal>

int main(int argc, char** argv) {
    // A write to a frame sender that died must fail, not end the application.
    std::signal(SIGPIPE, SIG_IGN);
    zarvo::tuneAllocatorForVideoFrames();
    // From here on a SIGINT or SIGTERM at any moment of the start takes the one way out.
    zarvo::takeQuitSignals();
    return zarvo::runZarvo(std::vector<std::string>(argv + 1, argv + argc));
}
