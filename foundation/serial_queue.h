// A named worker thread that runs tasks one at a time in submission order, like a serial dispatch
// queue. Work that must not run on the main thread goes here and posts its result back to a Loop.
#pragma once

#include "foundation/loop.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zarvo {

class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    // Runs what was already submitted, then joins the thread; delayed tasks not yet due never run.
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(std::function<void()> task);
    // Runs task on the queue and waits for it; on the queue's own thread it runs inline.
    void sync(const std::function<void()>& task);
    // Runs task on the queue once `delay` has passed, unless the handle is cancelled or dropped
    // first. Tasks that come due together run in the order of their due times.
    [[nodiscard]] TimerHandle postDelayed(Duration delay, std::function<void()> task);
    // Runs task on the queue every `interval`, the first time one interval from now, until the
    // handle is cancelled or dropped. Runs keep to that grid; slots that pass while the queue is
    // busy merge into one run instead of queueing up.
    [[nodiscard]] TimerHandle repeating(Duration interval, std::function<void()> task);
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }
    const std::string& label() const { return label_; }

private:
    using Clock = std::chrono::steady_clock;
    struct Delayed {
        Clock::time_point due;
        uint64_t order; // ties keep submission order
        std::shared_ptr<TimerState> state;
        std::function<void()> task;
        Duration interval{0}; // zero: runs once
    };
    static bool later(const Delayed& a, const Delayed& b) {
        return a.due != b.due ? a.due > b.due : a.order > b.order;
    }

    void run();
    TimerHandle schedule(Duration delay, Duration interval, std::function<void()> task);
    // Queues a delayed task. Called with the mutex held.
    void insert(Delayed delayed);
    // Moves the delayed tasks that are due onto the task list. Called with the mutex held.
    void takeDueTasks();

    std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    std::vector<Delayed> delayed_; // a heap, soonest first
    uint64_t delayedCount_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace zarvo
