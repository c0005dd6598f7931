// The main-thread executor. Everything that owns session, account, route, camera or studio state
// takes a Loop so that production runs on GLib and tests run in virtual time.
#pragma once

#include "foundation/time.h"

#include <atomic>
#include <functional>
#include <memory>

namespace zarvo {

using Task = std::function<void()>;

// Shared between a scheduled timer and its handle; the loop skips a cancelled timer.
struct TimerState {
    std::atomic<bool> cancelled{false};
    std::atomic<bool> finished{false}; // a one-shot timer that ran
};

// Owns a scheduled timer: cancel() or destruction stops it. Move-only.
class TimerHandle {
public:
    TimerHandle() = default;
    explicit TimerHandle(std::shared_ptr<TimerState> state) : state_(std::move(state)) {}
    TimerHandle(TimerHandle&&) noexcept = default;
    TimerHandle& operator=(TimerHandle&& other) noexcept {
        if (this != &other) {
            cancel();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    TimerHandle(const TimerHandle&) = delete;
    TimerHandle& operator=(const TimerHandle&) = delete;
    ~TimerHandle() { cancel(); }

    void cancel() {
        if (state_)
            state_->cancelled = true;
        state_.reset();
    }
    // True while the timer is scheduled: not cancelled and, for a one-shot timer, not yet run.
    bool isActive() const { return state_ && !state_->cancelled && !state_->finished; }

private:
    std::shared_ptr<TimerState> state_;
};

class Loop {
public:
    virtual ~Loop() = default;

    // Runs task on the loop's thread after everything already posted. Safe from any thread.
    virtual void post(Task task) = 0;
    // Runs task once after delay. Safe from any thread.
    virtual TimerHandle postDelayed(Duration delay, Task task) = 0;
    // Runs task every interval until the handle is cancelled or destroyed.
    virtual TimerHandle repeating(Duration interval, Task task) = 0;

    virtual bool isLoopThread() const = 0;
    // Wall-clock date (may jump); use for time stamps and dates shown or stored.
    virtual WallTime now() const = 0;
    // Monotonic time since an arbitrary origin; use for deadlines and elapsed time.
    virtual Duration uptime() const = 0;
};

} // namespace zarvo
