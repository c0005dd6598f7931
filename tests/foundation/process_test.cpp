#include "foundation/child_process.h"
#include "foundation/process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
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

} // namespace
} // namespace zarvo
