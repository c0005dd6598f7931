// Resource counts (threads, file descriptors) of a process that has just let go of something:
// worker threads and sockets wind down on their own schedule, slower on a busy machine, so a
// check waits for the count to come down instead of sampling it once.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace zarvo::testing {

// Reads `count` until it is at most `bound` or `deadline` has passed, calling `idle` between
// reads (a short sleep unless the caller must keep a loop turning). Returns the last count, so a
// failed check can print it.
inline int settledCount(const std::function<int()>& count, int bound,
                        std::chrono::milliseconds deadline = std::chrono::seconds(60),
                        const std::function<void()>& idle = {}) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    int value = count();
    while (value > bound && std::chrono::steady_clock::now() < end) {
        if (idle)
            idle();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        value = count();
    }
    return value;
}

} // namespace zarvo::testing
