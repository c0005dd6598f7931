// Plays the running old Zarvo in the end-to-end update test: checks the stand-in, downloads,
// stages, installs on request (every dialog answered with its first button) and quits when
// handing over, as the application does. Exits 0 after handing over, 1 otherwise.
//
//   update_e2e_driver CURRENT_BUNDLE ZARVOUPDATER
#include "foundation/glib_loop.h"
#include "update/client_support.h"

#include <cstdio>

using namespace zarvo;

namespace {

struct AnswerFirst : UpdatePresenter {
    bool failed = false;
    bool canPresent() override { return true; }
    void alert(const std::string& title, const std::string& message) override {
        std::fprintf(stderr, "driver: alert %s / %s\n", title.c_str(), message.c_str());
        failed = true;
    }
    int showRelease(const ReleaseDialog&) override { return 0; }
    int confirm(const std::string&, const std::string&, const std::vector<std::string>&) override {
        return 0;
    }
    std::optional<std::filesystem::path> chooseSaveLocation(const std::string&,
                                                            const std::string&) override {
        return std::nullopt;
    }
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    GLibLoop loop;
    AnswerFirst presenter;
    bool handedOver = false;
    auto environment = ClientSupportEnvironment::forThisProcess([&] { handedOver = true; });
    environment.currentVersion = "1.0.29";
    environment.currentBundle = argv[1];
    environment.updaterExecutable = argv[2];
    ClientSupport support(loop, presenter, environment);
    support.verifySession = [](std::function<void(bool)> done) { done(true); };
    support.start();
    loop.runUntil([&] { return handedOver || presenter.failed; }, std::chrono::seconds(90));
    if (!handedOver)
        std::fprintf(stderr, "driver: no hand-over; status %s\n", support.updateStatus().c_str());
    return handedOver ? 0 : 1;
}
