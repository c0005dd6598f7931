// A Loop for tests: time stands still until the test advances it, so a 30 s watchdog is tested
// in microseconds. Tasks due at the same instant run in the order they were posted.
#pragma once

#include "foundation/loop.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace zarvo {

class VirtualLoop final : public Loop {
public:
    // The wall clock starts at `wallStart`; by default a fixed date so reports are reproducible.
    explicit VirtualLoop(WallTime wallStart = WallTime(std::chrono::seconds(1'800'000'000)));

    void post(Task task) override;
    TimerHandle postDelayed(Duration delay, Task task) override;
    TimerHandle repeating(Duration interval, Task task) override;
    bool isLoopThread() const override { return std::this_thread::get_id() == owner_; }
    WallTime now() const override;
    Duration uptime() const override;

    // Runs every task due now, including tasks those tasks post for now. Returns how many ran.
    size_t runUntilIdle();
    // Moves time forward by `delta`, running each timer at its own due time.
    void advance(Duration delta);
    void advanceTo(Duration uptime);
    // Runs tasks (without moving virtual time) until `done` holds, waiting in real time for posts
    // from other threads up to `realTimeout`. Returns whether `done` held.
    bool runUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds realTimeout = std::chrono::milliseconds(5000));
    // Shifts the wall clock alone, as a user changing the system date would.
    void shiftWallClock(Duration delta);
    size_t pendingCount() const;

private:
    struct Entry {
        Task task;
        Duration interval{0}; // zero for one-shot tasks
        std::shared_ptr<TimerState> state;
    };
    using Key = std::pair<Duration, uint64_t>; // due time, posting order
    std::shared_ptr<TimerState> schedule(Duration delay, Duration interval, Task task);
    bool runOneDueBy(Duration limit);

    std::thread::id owner_;
    WallTime wallStart_;
    mutable std::mutex mutex_;
    std::condition_variable posted_;
    std::map<Key, Entry> entries_;
    Duration current_{0};
    Duration wallShift_{0};
    uint64_t nextSequence_ = 0;
};

} // namespace zarvo
