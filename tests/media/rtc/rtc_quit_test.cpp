// Quitting during a video join never crashes: a child process joins the stand-in's gateway and
// quits at 30 moments spread from the signalling connection opening to well past the first edited
// frame; each must end with exit status 0 (no signal, no exit under a running release).
#include "devservice/rtc/loopback_rtc_service.h"
#include "tests/support/loopback_session.h"
#include "tests/support/media_samples.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace zarvo {
namespace {

// Exit status of the child, or 1000 + signal when a signal ended it, or -1 when it hung.
int runChild(const std::string& program, uint16_t port, int delayMs) {
    std::string portText = std::to_string(port), delayText = std::to_string(delayMs);
    char* argv[] = {const_cast<char*>(program.c_str()), portText.data(), delayText.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0)
        return -2;
    // Generous: a join, a release and an exit on a loaded machine.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
}

TEST(QuitDuringJoin, EveryQuitOverTheJoinExitsCleanly) {
    devservice::LoopbackRTCService service;
    zarvo::testing::addLoopbackSession(service, "subject_replacement",
                                       zarvo::testing::solidJpeg(230, 30, 30));
    for (int moment = 0; moment < 30; ++moment) {
        const int delayMs = moment * 100; // 0 to 2.9 s after the join began
        EXPECT_EQ(runChild(ZARVO_QUIT_CHILD, service.port(), delayMs), 0)
            << "quit " << delayMs << " ms into the join";
    }
}

} // namespace
} // namespace zarvo
