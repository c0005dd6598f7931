#include "foundation/virtual_loop.h"

namespace zarvo {

VirtualLoop::VirtualLoop(WallTime wallStart)
    : owner_(std::this_thread::get_id()), wallStart_(wallStart) {}

void VirtualLoop::post(Task task) { schedule(Duration(0), Duration(0), std::move(task)); }

TimerHandle VirtualLoop::postDelayed(Duration delay, Task task) {
    return TimerHandle(schedule(delay, Duration(0), std::move(task)));
}

TimerHandle VirtualLoop::repeating(Duration interval, Task task) {
    if (interval <= Duration(0))
        interval = Duration(1);
    return TimerHandle(schedule(interval, interval, std::move(task)));
}

std::shared_ptr<TimerState> VirtualLoop::schedule(Duration delay, Duration interval, Task task) {
    auto state = std::make_shared<TimerState>();
    {
        std::lock_guard lock(mutex_);
        Key key{current_ + std::max(delay, Duration(0)), nextSequence_++};
        entries_.emplace(key, Entry{std::move(task), interval, state});
    }
    posted_.notify_all();
    return state;
}

WallTime VirtualLoop::now() const {
    std::lock_guard lock(mutex_);
    return wallStart_ + std::chrono::duration_cast<WallClock::duration>(current_ + wallShift_);
}

Duration VirtualLoop::uptime() const {
    std::lock_guard lock(mutex_);
    return current_;
}

void VirtualLoop::shiftWallClock(Duration delta) {
    std::lock_guard lock(mutex_);
    wallShift_ += delta;
}

size_t VirtualLoop::pendingCount() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

bool VirtualLoop::runOneDueBy(Duration limit) {
    Entry entry;
    Duration due;
    {
        std::lock_guard lock(mutex_);
        auto it = entries_.begin();
        if (it == entries_.end() || it->first.first > limit)
            return false;
        due = it->first.first;
        entry = std::move(it->second);
        entries_.erase(it);
        current_ = std::max(current_, due);
    }
    if (entry.state->cancelled)
        return true;
    if (entry.interval > Duration(0)) {
        // Re-arm before running so the task may cancel its own timer.
        std::lock_guard lock(mutex_);
        entries_.emplace(Key{due + entry.interval, nextSequence_++},
                         Entry{entry.task, entry.interval, entry.state});
    } else {
        entry.state->finished = true;
    }
    entry.task();
    return true;
}

size_t VirtualLoop::runUntilIdle() {
    size_t ran = 0;
    while (runOneDueBy(uptime()))
        ++ran;
    return ran;
}

void VirtualLoop::advance(Duration delta) { advanceTo(uptime() + delta); }

void VirtualLoop::advanceTo(Duration target) {
    runUntilIdle();
    while (runOneDueBy(target)) {
    }
    {
        std::lock_guard lock(mutex_);
        current_ = std::max(current_, target);
    }
    runUntilIdle();
}

bool VirtualLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds realTimeout) {
    auto deadline = std::chrono::steady_clock::now() + realTimeout;
    for (;;) {
        runUntilIdle();
        if (done())
            return true;
        std::unique_lock lock(mutex_);
        auto hasDue = [&] {
            return !entries_.empty() && entries_.begin()->first.first <= current_;
        };
        if (!posted_.wait_until(lock, deadline, hasDue))
            return done();
    }
}

} // namespace zarvo
