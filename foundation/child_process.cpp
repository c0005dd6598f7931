#include "foundation/child_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace zarvo {

namespace {

std::string nameOf(const std::string& entry) {
    return entry.substr(0, entry.find('=') + 1);
}

// Our environment with the extra entries replacing those of the same name.
std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> merged;
    for (char** e = environ; e && *e; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const auto& added : extra)
            replaced |= nameOf(entry) == nameOf(added);
        if (!replaced)
            merged.push_back(std::move(entry));
    }
    merged.insert(merged.end(), extra.begin(), extra.end());
    return merged;
}

void closeIfOpen(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// The pipe for one stream, or nothing for the others; ours is end `ours` (0 read, 1 write).
struct StreamPipe {
    int ends[2] = {-1, -1};
    ~StreamPipe() {
        closeIfOpen(ends[0]);
        closeIfOpen(ends[1]);
    }
};

} // namespace

StartedChild& StartedChild::operator=(StartedChild&& other) noexcept {
    if (this != &other) {
        closeAll();
        pid_ = other.pid_;
        input_ = take(other.input_);
        output_ = take(other.output_);
        error_ = take(other.error_);
    }
    return *this;
}

StartedChild::~StartedChild() {
    closeAll();
}

void StartedChild::closeAll() {
    closeIfOpen(input_);
    closeIfOpen(output_);
    closeIfOpen(error_);
}

Result<StartedChild> startChild(const ChildOptions& options) {
    if (options.argv.empty())
        return unexpected(Error{"no program to start", EINVAL});
    const std::string& program = options.argv.front();
    const ChildStream streams[3] = {options.input, options.output, options.error};
    StreamPipe pipes[3];
    for (int fd = 0; fd < 3; ++fd) {
        if (streams[fd] == ChildStream::Pipe && ::pipe2(pipes[fd].ends, O_CLOEXEC) != 0) {
            int code = errno;
            return unexpected(Error{program + ": pipe: " + std::strerror(code), code});
        }
    }

    std::vector<char*> argv;
    for (const auto& argument : options.argv)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> environment = mergedEnvironment(options.environment);
    std::vector<char*> envp;
    for (auto& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd < 3; ++fd) {
        if (streams[fd] == ChildStream::Null)
            posix_spawn_file_actions_addopen(&actions, fd, "/dev/null",
                                             fd == 0 ? O_RDONLY : O_WRONLY, 0);
        else if (streams[fd] == ChildStream::Pipe)
            posix_spawn_file_actions_adddup2(&actions, pipes[fd].ends[fd == 0 ? 0 : 1], fd);
    }
    // A child never inherits an ignored SIGPIPE or blocked signals of ours.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults, none;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (options.newSession)
        flags |= POSIX_SPAWN_SETSID;
    posix_spawnattr_setflags(&attributes, flags);
    pid_t pid = -1;
    const bool searchPath = program.find('/') == std::string::npos;
    int failed =
        searchPath
            ? posix_spawnp(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data())
            : posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        return unexpected(Error{program + ": " + std::strerror(failed), failed});
    // Keep our ends; the child's ends close with the pipes.
    auto ours = [&](int fd) {
        int& end = pipes[fd].ends[fd == 0 ? 1 : 0];
        int taken = end;
        end = -1;
        return taken;
    };
    return StartedChild(pid, ours(0), ours(1), ours(2));
}

int waitForChild(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string readToEndAndClose(int fd) {
    std::string text;
    char buffer[8192];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return text;
}

} // namespace zarvo
