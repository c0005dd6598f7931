#include "foundation/glib_loop.h"

#include <glib.h>

#include <chrono>

namespace zarvo {
namespace {

struct TimerSource {
    Task task;
    std::shared_ptr<TimerState> state;
    bool repeats;
    OwnerWatch loop;
};

gboolean fireTimer(gpointer data) {
    auto* timer = static_cast<TimerSource*>(data);
    // The GLib context outlives a GLibLoop; a timer must not run into the work of a loop that is
    // gone.
    if (timer->state->cancelled || !timer->loop.alive())
        return G_SOURCE_REMOVE;
    if (!timer->repeats)
        timer->state->finished = true;
    // Copy: the task may cancel its own timer, which must not destroy the running closure.
    Task task = timer->task;
    task();
    return timer->repeats && !timer->state->cancelled ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

void destroyTimer(gpointer data) {
    delete static_cast<TimerSource*>(data);
}

guint toMilliseconds(Duration d) {
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
    return ms < 0 ? 0 : static_cast<guint>(ms);
}

} // namespace

GLibLoop::GLibLoop() : GLibLoop(g_main_context_default()) {}

GLibLoop::GLibLoop(GMainContext* context)
    : context_(g_main_context_ref(context)), owner_(std::this_thread::get_id()) {}

GLibLoop::~GLibLoop() {
    g_main_context_unref(context_);
}

Duration GLibLoop::uptime() const {
    return std::chrono::microseconds(g_get_monotonic_time());
}

void GLibLoop::post(Task task) {
    bool schedule = false;
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(task));
        schedule = !drainScheduled_;
        drainScheduled_ = true;
    }
    if (!schedule)
        return;
    // One idle source drains the whole queue, which keeps posting order across threads.
    struct Drain {
        GLibLoop* loop;
        OwnerWatch alive;
    };
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
            auto* drain = static_cast<Drain*>(data);
            if (drain->alive.alive())
                drain->loop->drainPosted();
            return G_SOURCE_REMOVE;
        },
        new Drain{this, life_.watch()}, [](gpointer data) { delete static_cast<Drain*>(data); });
    g_source_attach(source, context_);
    g_source_unref(source);
}

void GLibLoop::drainPosted() {
    std::deque<Task> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(posted_);
        drainScheduled_ = false;
    }
    for (auto& task : batch)
        task();
}

TimerHandle GLibLoop::postDelayed(Duration delay, Task task) {
    auto state = std::make_shared<TimerState>();
    GSource* source = g_timeout_source_new(toMilliseconds(delay));
    g_source_set_callback(source, fireTimer,
                          new TimerSource{std::move(task), state, false, life_.watch()},
                          destroyTimer);
    g_source_attach(source, context_);
    g_source_unref(source);
    return TimerHandle(state);
}

TimerHandle GLibLoop::repeating(Duration interval, Task task) {
    auto state = std::make_shared<TimerState>();
    GSource* source = g_timeout_source_new(std::max<guint>(1, toMilliseconds(interval)));
    g_source_set_callback(source, fireTimer,
                          new TimerSource{std::move(task), state, true, life_.watch()},
                          destroyTimer);
    g_source_attach(source, context_);
    g_source_unref(source);
    return TimerHandle(state);
}

void GLibLoop::iterate(bool mayBlock) {
    g_main_context_iteration(context_, mayBlock);
}

bool GLibLoop::runUntil(const std::function<bool()>& done, Duration timeout) {
    auto deadline = uptime() + timeout;
    bool timedOut = false;
    auto guard = postDelayed(timeout, [&] { timedOut = true; });
    while (!done()) {
        if (timedOut || uptime() >= deadline)
            return done();
        g_main_context_iteration(context_, TRUE);
    }
    return true;
}

} // namespace zarvo
