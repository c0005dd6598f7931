// ZarvoUpdater STAGED_APP PID CURRENT_APP VERSION, or --self-test.
#include "service/deployment.h"
#include "updater/installer.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace zarvo::updater;

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    for (const auto& argument : arguments) {
        if (argument != "--self-test")
            continue;
        auto passed = selfTest();
        if (!passed) {
            std::fprintf(stderr, "FAIL: %s\n", passed.error().reason.c_str());
            return 1;
        }
        std::puts("PASS: rollback preserves old; successful install retains old; existing "
                  "destination protected");
        return 0;
    }
    // A development deployment names the extra release key; never fall back to production.
    auto deployment = zarvo::loadDeployment();
    if (!deployment) {
        std::fprintf(stderr, "ZarvoUpdater: %s (ZARVO_DEPLOYMENT)\n",
                     deployment.error().message.c_str());
        return 1;
    }
    zarvo::setCurrentDeployment(std::move(*deployment));
    Installer installer;
    auto installed = installer.install(arguments);
    if (installed)
        return 0;
    if (const auto& previous = installer.verifiedPrevious())
        (void)openApplication(*previous);
    // The reason first: the caller usually discards this output, but whoever keeps it (a test, a
    // user starting the helper by hand) learns why nothing was installed.
    std::fprintf(stderr, "ZarvoUpdater: %s\n", installed.error().reason.c_str());
    std::fputs("Update incomplete; previous installation preserved.\n", stderr);
    return 1;
}
