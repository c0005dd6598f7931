#include "foundation/serial_queue.h"

#include <pthread.h>

#include <algorithm>
#include <future>

namespace zarvo {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    thread_ = std::thread([this] { run(); });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void SerialQueue::async(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void SerialQueue::sync(const std::function<void()>& task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::promise<void> done;
    async([&] {
        task();
        done.set_value();
    });
    done.get_future().wait();
}

TimerHandle SerialQueue::postDelayed(Duration delay, std::function<void()> task) {
    return schedule(delay, Duration(0), std::move(task));
}

TimerHandle SerialQueue::repeating(Duration interval, std::function<void()> task) {
    interval = std::max(interval, Duration(1));
    return schedule(interval, interval, std::move(task));
}

TimerHandle SerialQueue::schedule(Duration delay, Duration interval, std::function<void()> task) {
    auto state = std::make_shared<TimerState>();
    {
        std::lock_guard lock(mutex_);
        insert({Clock::now() + std::max(delay, Duration(0)), 0, state, std::move(task), interval});
    }
    wake_.notify_one();
    return TimerHandle(state);
}

void SerialQueue::insert(Delayed delayed) {
    delayed.order = delayedCount_++;
    delayed_.push_back(std::move(delayed));
    std::push_heap(delayed_.begin(), delayed_.end(), later);
}

void SerialQueue::takeDueTasks() {
    const auto now = Clock::now();
    while (!delayed_.empty() && delayed_.front().due <= now) {
        std::pop_heap(delayed_.begin(), delayed_.end(), later);
        Delayed due = std::move(delayed_.back());
        delayed_.pop_back();
        if (due.state->cancelled)
            continue;
        if (due.interval == Duration(0)) {
            tasks_.push_back([state = std::move(due.state), task = std::move(due.task)] {
                // A cancel that came after the task fell due still holds.
                if (state->cancelled)
                    return;
                state->finished = true;
                task();
            });
            continue;
        }
        // A repeating task is scheduled again only after its run, so at most one run of it is
        // ever waiting behind other work.
        tasks_.push_back([this, due = std::move(due)]() mutable {
            if (due.state->cancelled)
                return;
            due.task();
            if (due.state->cancelled)
                return;
            const auto after = Clock::now();
            const auto interval = std::chrono::duration_cast<Clock::duration>(due.interval);
            due.due += interval;
            if (due.due <= after)
                due.due += ((after - due.due) / interval + 1) * interval;
            std::lock_guard lock(mutex_);
            // A queue being destroyed runs what it holds and ends; this would keep it going.
            if (!stopping_)
                insert(std::move(due));
        });
    }
}

void SerialQueue::run() {
    // Kernel thread names hold 15 characters; keep the end, which carries the distinctive part.
    std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
    pthread_setname_np(pthread_self(), name.c_str());
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            for (;;) {
                takeDueTasks();
                if (stopping_ || !tasks_.empty())
                    break;
                if (delayed_.empty())
                    wake_.wait(lock);
                else {
                    // A copy: the wait reads its deadline again after unlocking, when a post may
                    // have moved the heap's storage.
                    const auto due = delayed_.front().due;
                    wake_.wait_until(lock, due);
                }
            }
            if (tasks_.empty())
                return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

} // namespace zarvo
