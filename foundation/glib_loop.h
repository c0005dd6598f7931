// The production Loop on GLib's default main context, which GtkApplication runs. Timers are plain
// GLib sources, so they keep firing while a modal dialog spins a nested loop.
#pragma once

#include "foundation/loop.h"
#include "foundation/weak_owner.h"

#include <deque>
#include <mutex>
#include <thread>

typedef struct _GMainContext GMainContext;

namespace zarvo {

class GLibLoop final : public Loop {
public:
    // Binds to the default main context; construct on the thread that will run it.
    GLibLoop();
    // Binds to `context` (for a server thread with its own context); same threading rule.
    explicit GLibLoop(GMainContext* context);
    ~GLibLoop() override;

    void post(Task task) override;
    TimerHandle postDelayed(Duration delay, Task task) override;
    TimerHandle repeating(Duration interval, Task task) override;
    bool isLoopThread() const override { return std::this_thread::get_id() == owner_; }
    WallTime now() const override { return WallClock::now(); }
    Duration uptime() const override;

    // Iterates the context until `done` holds or `timeout` passes (tests and tools without GTK).
    bool runUntil(const std::function<bool()>& done, Duration timeout);
    // Iterates the context once, blocking when nothing is ready.
    void iterate(bool mayBlock);

private:
    void drainPosted();

    GMainContext* context_;
    std::thread::id owner_;
    std::mutex mutex_;
    std::deque<Task> posted_;
    bool drainScheduled_ = false;
    // Last, so that it goes first. Sources run on the context's thread, which is the one that
    // destroys the loop, so a source dispatched afterwards sees it gone.
    WeakOwner life_;
};

} // namespace zarvo
