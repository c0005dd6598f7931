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
    Installer installer;
    if (!deployment) {
        std::fprintf(stderr, "ZarvoUpdater: %s (ZARVO_DEPLOYMENT)\n",
                     deployment.error().message.c_str());
        // Zarvo has quit already: the user gets the installed version back.
        (void)installer.recoverWithoutDeployment(arguments);
        std::fputs("Update incomplete; previous installation preserved.\n", stderr);
        return 1;
    }
    zarvo::setCurrentDeployment(std::move(*deployment));
    auto installed = installer.install(arguments);
    if (installed)
        return 0;
    installer.reopenPrevious();
    // The reason first: the caller usually discards this output, but whoever keeps it (a test, a
    // user starting the helper by hand) learns why nothing was installed.
    std::fprintf(stderr, "ZarvoUpdater: %s\n", installed.error().reason.c_str());
    if (installer.newVersionKept())
        return 1; // the new version runs; only its result could not be recorded
    std::fputs("Update incomplete; previous installation preserved.\n", stderr);
    return 1;
}
