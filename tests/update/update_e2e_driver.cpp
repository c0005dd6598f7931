// Plays the running old Zarvo in the end-to-end update test: checks the stand-in, downloads,
// stages, installs on request (every dialog answered with its first button) and quits when
// handing over, as the application does. Exits 0 after handing over, 1 otherwise. Unlike the
// application it keeps the installer's output, in LOG, so that a refusal can be read.
//
//   update_e2e_driver CURRENT_BUNDLE ZARVOUPDATER LOG
#include "foundation/glib_loop.h"
#include "update/client_support.h"

#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

extern char** environ;

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
    std::vector<char*> argv;
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = -1;
    int failed = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return failed == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4)
        return 2;
    GLibLoop loop;
    AnswerFirst presenter;
    bool handedOver = false;
    auto environment = ClientSupportEnvironment::forThisProcess([&] { handedOver = true; });
    environment.currentVersion = "1.0.29";
    environment.currentBundle = argv[1];
    environment.updaterExecutable = argv[2];
    const std::string log = argv[3];
    environment.startProcess = [log](const std::vector<std::string>& arguments) {
        return !arguments.empty() && startLogged(arguments, log);
    };
    ClientSupport support(loop, presenter, environment);
    support.verifySession = [](std::function<void(bool)> done) { done(true); };
    support.start();
    loop.runUntil([&] { return handedOver || presenter.failed; }, std::chrono::minutes(5));
    if (!handedOver)
        std::fprintf(stderr, "driver: no hand-over; status %s\n", support.updateStatus().c_str());
    return handedOver ? 0 : 1;
}
