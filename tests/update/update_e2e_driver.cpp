// Plays the running old Zarvo in the end-to-end update test: checks the stand-in, downloads,
// stages, installs on request (every dialog answered with its first button) and quits when
// handing over, as the application does. Exits 0 after handing over, 1 otherwise. Unlike the
// application it keeps the installer's output, in LOG, so that a refusal can be read.
//
//   update_e2e_driver CURRENT_BUNDLE ZARVOUPDATER LOG
#include "foundation/child_process.h"
#include "foundation/glib_loop.h"
#include "scripted_update_host.h"
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

// Starts the installer in its own session as the application does, output appended to `log`.
bool startLogged(const std::vector<std::string>& arguments, const std::string& log) {
    ChildOptions options;
    options.argv = arguments;
    options.output = ChildStream::File;
    options.error = ChildStream::File;
    options.file = log;
    return startDetached(options).ok();
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4)
        return 2;
    GLibLoop loop;
    AnswerFirst presenter;
    auto environment = ClientSupportEnvironment::forThisProcess();
    environment.currentVersion = "1.0.29";
    environment.currentBundle = argv[1];
    environment.updaterExecutable = argv[2];
    const std::string log = argv[3];
    environment.startProcess = [log](const std::vector<std::string>& arguments) {
        return !arguments.empty() && startLogged(arguments, log);
    };
    zarvo::testing::ScriptedUpdateHost host; // idle, and the service confirms it settled
    ClientSupport support(loop, presenter, host, environment);
    support.start();
    // The hand-over ends with the workflow asking the application to quit.
    auto handedOver = [&] { return host.quits > 0; };
    loop.runUntil([&] { return handedOver() || presenter.failed; }, std::chrono::minutes(5));
    if (!handedOver())
        std::fprintf(stderr, "driver: no hand-over; status %s\n", support.updateStatus().c_str());
    return handedOver() ? 0 : 1;
}
