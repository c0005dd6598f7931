// Quitting during a video join never crashes: a child process joins the stand-in's gateway and
// quits at 30 moments spread from the signalling connection opening to well past the first edited
// frame; each must end with exit status 0 (no signal, no exit under a running release).
#include "devservice/rtc/loopback_rtc_service.h"
#include "tests/support/loopback_session.h"
#include "tests/support/media_samples.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
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
    // Woken by the child's exit itself; the bound is generous: a join, a release and an exit on a
    // loaded machine.
    const int exited = int(syscall(SYS_pidfd_open, pid, 0));
    if (exited >= 0) {
        pollfd watch{exited, POLLIN, 0};
        int ready;
        while ((ready = poll(&watch, 1, 120'000)) < 0 && errno == EINTR) {
        }
        close(exited);
        if (ready == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return -1;
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
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
