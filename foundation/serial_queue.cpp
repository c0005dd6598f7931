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
    auto state = std::make_shared<TimerState>();
    {
        std::lock_guard lock(mutex_);
        delayed_.push_back(
            {Clock::now() + std::max(delay, Duration(0)), delayedCount_++, state, std::move(task)});
        std::push_heap(delayed_.begin(), delayed_.end(), later);
    }
    wake_.notify_one();
    return TimerHandle(state);
}

void SerialQueue::takeDueTasks() {
    const auto now = Clock::now();
    while (!delayed_.empty() && delayed_.front().due <= now) {
        std::pop_heap(delayed_.begin(), delayed_.end(), later);
        Delayed due = std::move(delayed_.back());
        delayed_.pop_back();
        if (due.state->cancelled)
            continue;
        tasks_.push_back([state = std::move(due.state), task = std::move(due.task)] {
            // A cancel that came after the task fell due still holds.
            if (state->cancelled)
                return;
            state->finished = true;
            task();
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
                else
                    wake_.wait_until(lock, delayed_.front().due);
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
