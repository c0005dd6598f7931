// Starts a helper or the real sender with pipes on its standard streams, for tests that need a
// real process. Everything here is test-only.
#pragma once

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace pixelfeed_test {

struct Child {
    pid_t pid = -1;
    int input = -1;  // its standard input
    int output = -1; // its standard output
    int errors = -1; // its standard error

    Child() = default;
    Child(Child&& other) noexcept
        : pid(other.pid), input(other.input), output(other.output), errors(other.errors) {
        other.pid = other.input = other.output = other.errors = -1;
    }
    Child& operator=(Child&&) = delete;
    ~Child() {
        closeInput();
        for (int fd : {output, errors})
            if (fd >= 0)
                ::close(fd);
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            int status;
            ::waitpid(pid, &status, 0);
        }
    }
    void closeInput() {
        if (input >= 0)
            ::close(input);
        input = -1;
    }
    bool writeAll(const void* data, size_t n) {
        auto* p = static_cast<const char*>(data);
        while (n > 0) {
            ssize_t w = ::write(input, p, n);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return false;
            p += w;
            n -= size_t(w);
        }
        return true;
    }
    // Reads a descriptor to its end.
    static std::string readAll(int fd) {
        std::string text;
        char buffer[4096];
        for (;;) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return text;
            text.append(buffer, size_t(n));
        }
    }
    // Reads one line (without the line feed); none at the end.
    static std::optional<std::string> readLine(int fd) {
        std::string line;
        char c;
        for (;;) {
            ssize_t n = ::read(fd, &c, 1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return line.empty() ? std::nullopt : std::optional<std::string>(line);
            if (c == '\n')
                return line;
            line.push_back(c);
        }
    }
    // Exit status, or -signal when it was killed.
    int wait() {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }
};

inline Child spawnChild(const std::string& executable, const std::vector<std::string>& arguments,
                        const std::map<std::string, std::string>& environment = {}) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        return {};
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string key = entry.substr(0, entry.find('='));
        if (!environment.count(key))
            env.push_back(entry);
    }
    for (const auto& [key, value] : environment)
        env.push_back(key + "=" + value);
    std::vector<char*> envp, argv;
    for (auto& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    Child child;
    int failed =
        posix_spawn(&child.pid, executable.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    child.input = in[1];
    child.output = out[0];
    child.errors = err[0];
    if (failed)
        child.pid = -1;
    return child;
}

} // namespace pixelfeed_test
