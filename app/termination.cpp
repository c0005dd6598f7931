#include "app/app.h"

#include "foundation/thread_check.h"

#include <utility>

namespace zarvo {
namespace {

// How long a quit waits for the answer of a "live/start" in flight. A session whose creator never
// polls is stopped by the service after its 30 s heartbeat time-out, so waiting longer buys
// nothing; the stop goes out then in any case.
constexpr Duration kQuitStartWait = seconds(30);

} // namespace

bool App::applicationShouldTerminate(std::function<void(bool)> reply) {
    ZARVO_DCHECK_ON(loop_);
    if (quit_.active)
        return false; // the first request's reply follows
    bool sessionLive = aiActive || aiBusy;
    // A stop that failed, or has not been answered yet, may have left the session billed.
    bool stopOwed = aiStopping && stopUnconfirmed_ && !stopRequestBusy;
    if (!sessionLive && !stopOwed && !startUnanswered_ && !stopRequestBusy)
        return true;
    if (!credential)
        return true;
    // A quit must not leave a billed session running on the service. Nothing from here may start
    // one: the generation voids the check and the polls, and start and stop step aside.
    quit_.active = true;
    quit_.reply = std::move(reply);
    quit_.stopNeeded = sessionLive || stopOwed;
    ++operationGeneration;
    aiTimer.cancel();
    if (video_)
        video_->stop();
    if (startUnanswered_) {
        quit_.startWait = loop_.postDelayed(kQuitStartWait, [life = life_.watch(), this] {
            if (!life.alive())
                return;
            quit_.startWaitOver = true;
            advanceQuit();
        });
    }
    advanceQuit();
    return false;
}

void App::advanceQuit() {
    ZARVO_DCHECK_ON(loop_);
    if (!quit_.active || quit_.stopInFlight || !quit_.reply)
        return;
    // The stop must reach the service after the session the start creates, so its answer comes
    // first; a stop of the user's still on its way decides by its own outcome.
    if (startUnanswered_ && !quit_.startWaitOver)
        return;
    if (stopRequestBusy)
        return;
    if (!quit_.stopNeeded) {
        finishQuit();
        return;
    }
    quit_.stopNeeded = false;
    quit_.stopInFlight = true;
    quit_.stopAgain = false;
    // The reply goes out whatever the outcome; the stop's budget in the pipeline bounds the wait,
    // and within it a failure on the route is sent again.
    routes.request("live/stop", Json::object(), credential,
                   guarded([this](std::optional<Json>, std::optional<std::string>) {
                       quit_.stopInFlight = false;
                       if (std::exchange(quit_.stopAgain, false))
                           quit_.stopNeeded = true;
                       advanceQuit();
                   }),
                   RequestOptions{true, nullptr});
}

void App::finishQuit() {
    quit_.startWait.cancel();
    auto reply = std::move(quit_.reply);
    quit_.reply = nullptr;
    // Always after the call that asked: the caller is told "later" first.
    loop_.post([life = life_.watch(), reply = std::move(reply)] {
        if (life.alive() && reply)
            reply(true);
    });
}

void App::applicationWillTerminate() {
    liveActivity.reset();
    if (output_) {
        output_->clear();
        output_->shutdown();
    }
    if (video_)
        video_->stop();
    stateTimer.cancel();
    usageTimer.cancel();
    aiTimer.cancel();
}

} // namespace zarvo
