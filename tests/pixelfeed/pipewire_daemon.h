// A private PipeWire daemon for tests: its own runtime and configuration folders (unique, so
// parallel test runs never meet), no D-Bus and no session manager; tests link nodes with pw-link.
// Plus a pipewiresrc consumer that asks for raw video, with every wait bounded.
#pragma once

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace pipewire_test {

using namespace std::chrono_literals;

// Variables that would lead a child to the user's own daemon or session bus.
inline const std::vector<std::string> kPrivateKeys = {"XDG_RUNTIME_DIR",
                                                      "XDG_CONFIG_HOME",
                                                      "PIPEWIRE_REMOTE",
                                                      "PIPEWIRE_RUNTIME_DIR",
                                                      "PIPEWIRE_CONFIG_DIR",
                                                      "DBUS_SESSION_BUS_ADDRESS",
                                                      "ZARVO_VIRTUAL_CAMERA_OUTPUT"};

// Starts `argv` with the environment of this process minus kPrivateKeys plus `extra`; standard
// output to `output` (or /dev/null) and standard error to /dev/null.
inline pid_t spawnWith(const std::vector<std::string>& argv,
                       const std::map<std::string, std::string>& extra, int output = -1) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string key = entry.substr(0, entry.find('='));
        bool drop = extra.count(key) > 0;
        for (const auto& k : kPrivateKeys)
            drop = drop || k == key;
        if (!drop)
            env.push_back(entry);
    }
    for (const auto& [key, value] : extra)
        env.push_back(key + "=" + value);
    std::vector<char*> envp, args;
    for (auto& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    // The child: dies with the test, even when the test is killed and cannot clean up.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
        ::_exit(127);
    int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(output >= 0 ? output : null, 1);
    ::dup2(null, 2);
    ::execvpe(args[0], args.data(), envp.data());
    ::_exit(127);
}

// Waits for a child up to `limit`; kills it when it is still there. Exit status, or -1.
inline int waitFor(pid_t pid, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (done < 0 && errno != EINTR)
            return -1;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(10ms);
    }
}

class PipeWireDaemon {
public:
    PipeWireDaemon() {
        char pattern[] = "/tmp/zarvo-pipewire-XXXXXX";
        if (!::mkdtemp(pattern))
            return;
        root_ = pattern;
        std::filesystem::create_directories(root_ / "run");
        std::filesystem::create_directories(root_ / "config");
        std::filesystem::permissions(root_ / "run", std::filesystem::perms::owner_all);
        pid_ = spawnWith({"pipewire"}, environment());
        if (pid_ <= 0)
            return;
        // Answering = accepting a connection on its socket; a loaded machine gets 30 s.
        auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (accepts()) {
                ready_ = true;
                return;
            }
            int status;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(20ms);
        }
    }
    ~PipeWireDaemon() {
        stop();
        if (!root_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(root_, ignored);
        }
    }
    PipeWireDaemon(const PipeWireDaemon&) = delete;
    PipeWireDaemon& operator=(const PipeWireDaemon&) = delete;

    bool ready() const { return ready_; }
    std::filesystem::path runtimeDir() const { return root_ / "run"; }
    std::filesystem::path socket() const { return runtimeDir() / "pipewire-0"; }
    std::map<std::string, std::string> environment() const {
        return {{"XDG_RUNTIME_DIR", runtimeDir().string()},
                {"XDG_CONFIG_HOME", (root_ / "config").string()}};
    }

    void stop() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        if (waitFor(pid_, 10s) < 0)
            ::kill(pid_, SIGKILL);
        pid_ = -1;
        ready_ = false;
    }

    // A fresh connection to the daemon, for pipewiresrc's "fd"; -1 when it does not answer.
    int connect() const {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket().c_str(), sizeof address.sun_path - 1);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    // Runs a PipeWire tool against this daemon; its standard output, none when it failed.
    std::optional<std::string> tool(const std::vector<std::string>& argv,
                                    std::chrono::milliseconds limit = 20s) const {
        int pipe[2];
        if (::pipe2(pipe, O_CLOEXEC) != 0)
            return std::nullopt;
        pid_t pid = spawnWith(argv, environment(), pipe[1]);
        ::close(pipe[1]);
        std::string text;
        char buffer[4096];
        ssize_t n;
        ::fcntl(pipe[0], F_SETFL, O_NONBLOCK);
        auto deadline = std::chrono::steady_clock::now() + limit;
        int status = -1;
        while (pid > 0) {
            while ((n = ::read(pipe[0], buffer, sizeof buffer)) > 0)
                text.append(buffer, size_t(n));
            int raw;
            if (::waitpid(pid, &raw, WNOHANG) == pid) {
                status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &raw, 0);
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        while ((n = ::read(pipe[0], buffer, sizeof buffer)) > 0)
            text.append(buffer, size_t(n));
        ::close(pipe[0]);
        if (status != 0)
            return std::nullopt;
        return text;
    }

    // Whether a port of that full name ("node:port") exists, waiting for it up to `limit`.
    bool waitForPort(const std::string& port, bool output, std::chrono::milliseconds limit) const {
        auto deadline = std::chrono::steady_clock::now() + limit;
        do {
            auto list = tool({"pw-link", output ? "-o" : "-i"});
            std::istringstream lines(list.value_or(""));
            std::string line;
            while (std::getline(lines, line))
                if (line == port)
                    return true;
            std::this_thread::sleep_for(50ms);
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }

    // Links the first output port of one node to the first input port of another, as a session
    // manager would.
    bool link(const std::string& producer, const std::string& consumer) const {
        std::string out = producer + ":out_0", in = consumer + ":in_0";
        if (!waitForPort(out, true, 30s) || !waitForPort(in, false, 30s))
            return false;
        return tool({"pw-link", out, in}).has_value();
    }

    // The "info" of the node of that name in pw-dump, null when there is none.
    nlohmann::json nodeInfo(const std::string& nodeName) const {
        auto dump = nlohmann::json::parse(tool({"pw-dump"}).value_or("[]"), nullptr, false);
        if (!dump.is_array())
            return nullptr;
        for (const auto& object : dump) {
            if (object.value("type", "") != "PipeWire:Interface:Node")
                continue;
            auto info = object.value("info", nlohmann::json::object());
            if (info.value("props", nlohmann::json::object()).value("node.name", "") == nodeName)
                return info;
        }
        return nullptr;
    }

    // The properties of the node of that name ("info.props" in pw-dump), null when there is none.
    nlohmann::json nodeProperties(const std::string& nodeName) const {
        auto info = nodeInfo(nodeName);
        return info.is_null() ? nullptr : info.value("props", nlohmann::json::object());
    }

    // Whether the node of that name reaches one of `states` ("running", "idle", "suspended"...),
    // waiting up to `limit`.
    bool waitForNodeState(const std::string& nodeName, const std::vector<std::string>& states,
                          std::chrono::milliseconds limit) const {
        auto deadline = std::chrono::steady_clock::now() + limit;
        do {
            auto info = nodeInfo(nodeName);
            const std::string state = info.is_null() ? "" : info.value("state", "");
            for (const auto& wanted : states)
                if (state == wanted)
                    return true;
            std::this_thread::sleep_for(50ms);
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }

    // Whether a node of that name exists, waiting up to `limit` for it to come (or go).
    bool waitForNode(const std::string& nodeName, bool present,
                     std::chrono::milliseconds limit) const {
        auto deadline = std::chrono::steady_clock::now() + limit;
        do {
            if (nodeProperties(nodeName).is_null() != present)
                return true;
            std::this_thread::sleep_for(50ms);
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }

private:
    bool accepts() const {
        int fd = connect();
        if (fd < 0)
            return false;
        ::close(fd);
        return true;
    }

    std::filesystem::path root_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

// One pipewiresrc consumer that asks for raw video and hands YUY2 frames to an appsink.
class Consumer {
public:
    Consumer(const PipeWireDaemon& daemon, std::string nodeName) : name_(std::move(nodeName)) {
        gst_init(nullptr, nullptr);
        fd_ = daemon.connect();
        std::string description = "pipewiresrc name=src fd=" + std::to_string(fd_) +
                                  " stream-properties=\"props,node.name=" + name_ +
                                  "\" ! video/x-raw,format=YUY2,width=1280,height=720"
                                  " ! appsink name=sink sync=false max-buffers=4 drop=true";
        GError* error = nullptr;
        pipeline_ = gst_parse_launch(description.c_str(), &error);
        if (error)
            g_error_free(error);
        if (!pipeline_)
            return;
        sink_ = gst_bin_get_by_name(GST_BIN(pipeline_), "sink");
        // pipewiresrc holds the change to playing until it is linked, so it runs aside.
        starting_ = std::thread(
            [pipeline = pipeline_] { gst_element_set_state(pipeline, GST_STATE_PLAYING); });
    }
    ~Consumer() {
        if (starting_.joinable())
            starting_.join();
        if (sink_)
            gst_object_unref(sink_);
        if (pipeline_) {
            gst_element_set_state(pipeline_, GST_STATE_NULL);
            gst_object_unref(pipeline_);
        }
        if (fd_ >= 0)
            ::close(fd_);
    }
    Consumer(const Consumer&) = delete;
    Consumer& operator=(const Consumer&) = delete;

    const std::string& name() const { return name_; }
    bool valid() const { return sink_ != nullptr; }

    // The next frame's bytes (YUY2, 2560 a row), none when nothing came within `limit`.
    std::optional<std::vector<uint8_t>> next(std::chrono::milliseconds limit) {
        if (!sink_)
            return std::nullopt;
        GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink_),
                                                         GstClockTime(limit.count()) * GST_MSECOND);
        if (!sample)
            return std::nullopt;
        std::vector<uint8_t> bytes;
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        GstMapInfo map;
        if (buffer && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            bytes.assign(map.data, map.data + map.size);
            gst_buffer_unmap(buffer, &map);
        }
        gst_sample_unref(sample);
        return bytes;
    }

private:
    std::string name_;
    int fd_ = -1;
    GstElement* pipeline_ = nullptr;
    GstElement* sink_ = nullptr;
    std::thread starting_;
};

// YUY2 of an opaque colour as libyuv writes it (BT.601 limited range), for pixel checks.
struct Yuyv {
    int y, u, v;
};
inline Yuyv yuyvAt(const std::vector<uint8_t>& frame, int x, int row) {
    size_t pair = size_t(row) * 2560 + size_t(x / 2) * 4;
    return {frame[pair + (x % 2 ? 2 : 0)], frame[pair + 1], frame[pair + 3]};
}

} // namespace pipewire_test
