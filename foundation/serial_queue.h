// A named worker thread that runs tasks one at a time in submission order, like a serial dispatch
// queue. Work that must not run on the main thread goes here and posts its result back to a Loop.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace zarvo {

class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    // Runs what was already submitted, then joins the thread.
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(std::function<void()> task);
    // Runs task on the queue and waits for it; on the queue's own thread it runs inline.
    void sync(const std::function<void()>& task);
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }
    const std::string& label() const { return label_; }

private:
    void run();

    std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace zarvo
