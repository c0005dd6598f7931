// Starting child processes: the one place every caller starts one (posix_spawn, or a double fork
// for a program that outlives us).
#pragma once

#include "foundation/result.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace zarvo {

// What a child's standard stream is connected to.
enum class ChildStream {
    Null,    // /dev/null
    Inherit, // ours
    Pipe,    // a pipe whose other end the caller gets
    File,    // ChildOptions::file: read for input, appended to (created 0600) for the others
};

struct ChildOptions {
    // argv[0] is the program: a path, or a name looked up in PATH.
    std::vector<std::string> argv;
    // "NAME=value" entries added to our environment, replacing ours of the same name.
    std::vector<std::string> environment;
    // A session of its own: the child outlives us and gets none of our terminal's signals.
    bool newSession = false;
    ChildStream input = ChildStream::Null;
    ChildStream output = ChildStream::Null;
    ChildStream error = ChildStream::Null;
    // The file for the streams set to File.
    std::string file;
};

// A started child: its id and our ends of the pipes asked for (close-on-exec, closed with this
// object unless taken).
class StartedChild {
public:
    StartedChild() = default;
    StartedChild(pid_t pid, int input, int output, int error)
        : pid_(pid), input_(input), output_(output), error_(error) {}
    StartedChild(StartedChild&& other) noexcept { *this = std::move(other); }
    StartedChild& operator=(StartedChild&& other) noexcept;
    StartedChild(const StartedChild&) = delete;
    StartedChild& operator=(const StartedChild&) = delete;
    ~StartedChild();

    pid_t pid() const { return pid_; }
    int takeInput() { return take(input_); }
    int takeOutput() { return take(output_); }
    int takeError() { return take(error_); }

private:
    static int take(int& fd) {
        int taken = fd;
        fd = -1;
        return taken;
    }
    void closeAll();

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    int error_ = -1;
};

// Starts the child with default signal handling and no blocked signals, whatever ours are. The
// error names the program; its code is the errno of the failure.
Result<StartedChild> startChild(const ChildOptions& options);

// Starts a program that may outlive us, in a session of its own (newSession is implied), and
// leaves no zombie behind: nobody waits for it. Its streams are Null, Inherit or File, never Pipe.
// The error names the program; its code is the errno of the failure.
Status<> startDetached(const ChildOptions& options);

// Waits for a child of ours and reaps it: its exit status, or -1 when a signal ended it.
int waitForChild(pid_t pid);

// Reads a pipe from a child to its end, then closes it.
std::string readToEndAndClose(int fd);

} // namespace zarvo
