#include "foundation/child_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
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

// Null-terminated pointers into `strings`, for exec.
std::vector<char*> argumentPointers(const std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (const auto& text : strings)
        pointers.push_back(const_cast<char*>(text.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

int fileFlags(int fd) {
    return fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_APPEND;
}

// The program to exec: `program` itself when it names a path, else the first executable of that
// name in PATH.
std::string resolvedProgram(const std::string& program) {
    if (program.find('/') != std::string::npos)
        return program;
    const char* path = std::getenv("PATH");
    std::string folders = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        std::string folder = folders.substr(start, end - start);
        std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

// Opens what a detached child's stream `fd` reads or writes, at 3 or above so that moving the
// three into place never overwrites one of them.
int openStream(ChildStream stream, int fd, const std::string& file) {
    int opened = -1;
    if (stream == ChildStream::Null)
        opened = ::open("/dev/null", (fd == 0 ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
    else if (stream == ChildStream::File)
        opened = ::open(file.c_str(), fileFlags(fd) | O_CLOEXEC, 0600);
    else if ((opened = ::fcntl(fd, F_DUPFD_CLOEXEC, 3)) < 0) // ours is closed: give it nothing
        opened = ::open("/dev/null", (fd == 0 ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
    if (opened < 0 || opened >= 3)
        return opened;
    int moved = ::fcntl(opened, F_DUPFD_CLOEXEC, 3);
    ::close(opened);
    return moved;
}

// Reports `code` to the starting parent through `fd` and ends this forked process.
[[noreturn]] void failInChild(int fd, int code) {
    while (::write(fd, &code, sizeof code) < 0 && errno == EINTR) {
    }
    ::_exit(127);
}

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

    std::vector<char*> argv = argumentPointers(options.argv);
    std::vector<std::string> environment = mergedEnvironment(options.environment);
    std::vector<char*> envp = argumentPointers(environment);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd < 3; ++fd) {
        if (streams[fd] == ChildStream::Null)
            posix_spawn_file_actions_addopen(&actions, fd, "/dev/null",
                                             fd == 0 ? O_RDONLY : O_WRONLY, 0);
        else if (streams[fd] == ChildStream::File)
            posix_spawn_file_actions_addopen(&actions, fd, options.file.c_str(), fileFlags(fd),
                                             0600);
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

// A double fork: the middle child exits at once, so the program is reparented away from us and is
// never our zombie, with no thread or signal handler of ours waiting for it. Everything is prepared
// before forking; the forked processes only make async-signal-safe calls until exec.
Status<> startDetached(const ChildOptions& options) {
    if (options.argv.empty())
        return unexpected(Error{"no program to start", EINVAL});
    const std::string& program = options.argv.front();
    const ChildStream streams[3] = {options.input, options.output, options.error};
    for (ChildStream stream : streams) {
        if (stream == ChildStream::Pipe)
            return unexpected(Error{program + ": a detached child has no pipes", EINVAL});
    }
    const std::string executable = resolvedProgram(program);
    if (executable.empty())
        return unexpected(Error{program + ": " + std::strerror(ENOENT), ENOENT});
    std::vector<char*> argv = argumentPointers(options.argv);
    std::vector<std::string> environment = mergedEnvironment(options.environment);
    std::vector<char*> envp = argumentPointers(environment);

    int opened[3] = {-1, -1, -1};
    auto closeOpened = [&] {
        for (int& fd : opened)
            closeIfOpen(fd);
    };
    for (int fd = 0; fd < 3; ++fd) {
        opened[fd] = openStream(streams[fd], fd, options.file);
        if (opened[fd] < 0) {
            int code = errno;
            closeOpened();
            return unexpected(Error{program + ": " + std::strerror(code), code});
        }
    }
    // The exec failure's errno comes back through this pipe; a successful exec closes it empty.
    StreamPipe report;
    if (::pipe2(report.ends, O_CLOEXEC) != 0) {
        int code = errno;
        closeOpened();
        return unexpected(Error{program + ": pipe: " + std::strerror(code), code});
    }
    const pid_t middle = ::fork();
    if (middle == 0) {
        const pid_t child = ::fork();
        if (child < 0)
            failInChild(report.ends[1], errno);
        if (child > 0)
            ::_exit(0);
        ::setsid();
        for (int fd = 0; fd < 3; ++fd) {
            if (::dup2(opened[fd], fd) < 0)
                failInChild(report.ends[1], errno);
        }
        // Default handling and no blocked signals, whatever ours are.
        struct sigaction defaults = {};
        defaults.sa_handler = SIG_DFL;
        for (int number : {SIGPIPE, SIGTERM, SIGINT, SIGCHLD})
            ::sigaction(number, &defaults, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(executable.c_str(), argv.data(), envp.data());
        failInChild(report.ends[1], errno);
    }
    int code = middle < 0 ? errno : 0;
    closeOpened();
    closeIfOpen(report.ends[1]);
    if (middle > 0) {
        int status = 0;
        while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
        }
        ssize_t n;
        while ((n = ::read(report.ends[0], &code, sizeof code)) < 0 && errno == EINTR) {
        }
        if (n != ssize_t(sizeof code))
            code = 0;
    }
    if (code != 0)
        return unexpected(Error{program + ": " + std::strerror(code), code});
    return Ok{};
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
