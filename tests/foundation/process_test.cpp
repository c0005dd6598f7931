#include "foundation/child_process.h"
#include "foundation/process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zarvo {
namespace {

TEST(Command, ReturnsStandardOutputOrTheExitStatus) {
    auto ok = command("/bin/sh", {"-c", "printf 'a b'; echo err >&2"});
    ASSERT_TRUE(ok);
    EXPECT_EQ(*ok, "a b");
    auto failed = command("sh", {"-c", "exit 3"});
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().code, 3);
    auto missing = command("/nonexistent/tool", {});
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, -1);
}

// The child gets our environment with the extra entries winning, its own default for SIGPIPE
// although we ignore it (the application does), its input from the pipe we feed, and its exit
// status comes back.
TEST(ChildProcess, EnvironmentOverridesSignalDefaultsPipesAndExitStatus) {
    ::setenv("ZARVO_CHILD_KEPT", "kept", 1);
    ::setenv("ZARVO_CHILD_REPLACED", "old", 1);
    auto previous = std::signal(SIGPIPE, SIG_IGN);
    ChildOptions options;
    options.argv = {"sh", "-c",
                    "read line; printf '%s %s %s|' \"$ZARVO_CHILD_KEPT\" \"$ZARVO_CHILD_REPLACED\" "
                    "\"$line\"; grep SigIgn /proc/self/status | cut -f2; exit 4"};
    options.environment = {"ZARVO_CHILD_REPLACED=new"};
    options.input = ChildStream::Pipe;
    options.output = ChildStream::Pipe;
    auto child = startChild(options);
    std::signal(SIGPIPE, previous);
    ASSERT_TRUE(child) << child.error().message;
    const int input = child->takeInput();
    ASSERT_EQ(::write(input, "fed\n", 4), 4);
    ::close(input);
    const std::string output = readToEndAndClose(child->takeOutput());
    EXPECT_EQ(waitForChild(child->pid()), 4);

    const auto bar = output.find('|');
    ASSERT_NE(bar, std::string::npos) << output;
    EXPECT_EQ(output.substr(0, bar), "kept new fed");
    const unsigned long long ignored = std::stoull(output.substr(bar + 1), nullptr, 16);
    EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << output;

    ChildOptions absent;
    absent.argv = {"/nonexistent/tool"};
    auto missing = startChild(absent);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, ENOENT);
}

// Whether process `pid` has ended: gone, or a zombie waiting for whoever reaps it.
bool hasEnded(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return true;
    const auto close = line.rfind(')');
    return close != std::string::npos && line.compare(close + 1, 3, " Z ") == 0;
}

// The detached program runs in a session of its own with its output appended to the file, and
// once it has ended no zombie of it is left for us to reap.
TEST(ChildProcess, DetachedChildRunsInItsOwnSessionAndIsNoZombieOfOurs) {
    char folder[] = "/tmp/zarvo-detached-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string log = std::string(folder) + "/log";
    const std::string done = std::string(folder) + "/done";
    ChildOptions options;
    options.argv = {"sh", "-c",
                    "echo started; read -r pid a b c d session rest < /proc/$$/stat; "
                    "echo \"$pid $session\" > \"$1.part\" && mv \"$1.part\" \"$1\"",
                    "zarvo-detached", done};
    options.output = ChildStream::File;
    options.file = log;
    auto started = startDetached(options);
    ASSERT_TRUE(started) << started.error().message;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    pid_t pid = 0, session = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(done);
        if (in >> pid >> session)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GT(pid, 0) << "the detached child never ran";
    EXPECT_EQ(session, pid) << "not a session of its own";
    while (!hasEnded(pid) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(hasEnded(pid));
    // Reaped or reparented, it is no child of ours: waiting for it finds nothing.
    for (;;) {
        int status = 0;
        const pid_t reaped = ::waitpid(pid, &status, WNOHANG);
        ASSERT_NE(reaped, pid) << "the detached child was left as our zombie";
        if (reaped < 0 && errno == ECHILD)
            break;
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::ifstream output(log);
    std::string first;
    std::getline(output, first);
    EXPECT_EQ(first, "started");

    ChildOptions piped = options;
    piped.output = ChildStream::Pipe;
    EXPECT_FALSE(startDetached(piped));
    ChildOptions absent;
    absent.argv = {"/nonexistent/tool"}; // fails in the forked child, reported back
    auto missing = startDetached(absent);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, ENOENT);
    std::filesystem::remove_all(folder);
}

} // namespace
} // namespace zarvo
