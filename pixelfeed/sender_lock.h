// One sender at a time: an exclusive lock on a file that holds the holder's process id. A newer
// sender terminates a stale one, but only when that process really is a frame sender.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>

namespace pixelfeed {

// $XDG_DATA_HOME/Zarvo/camera-sender.lock (the user's application-support folder).
std::filesystem::path senderLockPath();

struct SenderLockHooks {
    std::function<void(std::chrono::nanoseconds)> sleep;
    // The file name of a process's executable, none when it cannot be read.
    std::function<std::optional<std::string>(pid_t)> executableName;
    std::function<void(pid_t)> terminate;
};

// The executable file name of a live process, from /proc/<pid>/exe.
std::optional<std::string> processExecutableName(pid_t pid);
// The process id written in a lock file: a signed decimal 32-bit integer and nothing else.
std::optional<int32_t> parseLockHolder(const std::string& text);

// Returns the descriptor that holds the lock (kept open for the life of the process) or throws
// Failure "Cannot open sender lock" / "Another camera sender is active".
int acquireSenderLock(const std::filesystem::path& file, const SenderLockHooks& hooks = {});

} // namespace pixelfeed
