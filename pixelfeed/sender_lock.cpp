#include "pixelfeed/sender_lock.h"

#include "foundation/owned.h"
#include "foundation/paths.h"
#include "pixelfeed/pixelfeed.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace pixelfeed {

std::filesystem::path senderLockPath() {
    return zarvo::applicationSupportDirectory() / "Zarvo" / "camera-sender.lock";
}

std::optional<std::string> processExecutableName(pid_t pid) {
    std::error_code error;
    auto target = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
    if (error)
        return std::nullopt;
    std::string name = target.filename().string();
    // A sender whose file was replaced by an update is still a sender.
    const std::string deleted = " (deleted)";
    if (name.size() > deleted.size() && name.ends_with(deleted))
        name.resize(name.size() - deleted.size());
    return name;
}

std::optional<int32_t> parseLockHolder(const std::string& text) {
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    if (begin != end && *begin == '+') {
        ++begin;
        if (begin != end && *begin == '-')
            return std::nullopt;
    }
    int32_t value = 0;
    auto [next, error] = std::from_chars(begin, end, value);
    if (error != std::errc() || next != end || begin == end)
        return std::nullopt;
    return value;
}

int acquireSenderLock(const std::filesystem::path& file, const SenderLockHooks& hooks) {
    std::error_code error;
    std::filesystem::create_directories(file.parent_path(), error);
    zarvo::UniqueFd lock(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lock)
        throw Failure("Cannot open sender lock");
    const int fd = lock.get();

    auto tryLock = [fd] {
        for (;;) {
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
                return true;
            if (errno != EINTR)
                return false;
        }
    };
    if (!tryLock()) {
        char buffer[32] = {};
        ssize_t n = ::pread(fd, buffer, 31, 0);
        auto holder = parseLockHolder(std::string(buffer, n > 0 ? size_t(n) : 0));
        if (holder && *holder >= 2) {
            auto nameOf = hooks.executableName ? hooks.executableName : processExecutableName;
            auto name = nameOf(pid_t(*holder));
            if (name && *name == "pixelfeed") {
                if (hooks.terminate)
                    hooks.terminate(pid_t(*holder));
                else
                    ::kill(pid_t(*holder), SIGTERM);
            }
        }
        bool locked = false;
        for (int attempt = 0; attempt < 30 && !locked; ++attempt) {
            if (hooks.sleep)
                hooks.sleep(std::chrono::milliseconds(100));
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            locked = tryLock();
        }
        if (!locked)
            throw Failure("Another camera sender is active");
    }
    std::string pid = std::to_string(::getpid());
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != ssize_t(pid.size())) {
        // The lock is held; a missing id only means a later sender cannot take over from us.
    }
    return lock.release();
}

} // namespace pixelfeed
