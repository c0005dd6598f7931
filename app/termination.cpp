#include "app/app.h"

namespace zarvo {

bool App::applicationShouldTerminate(std::function<void(bool)> reply) {
    if (!aiActive && !aiBusy)
        return true;
    if (!credential)
        return true;
    // A quit must not leave a billed session running on the service: stop it there first. The
    // reply goes out whatever the outcome; the pipeline's budget bounds the wait.
    if (video_)
        video_->stop();
    routes.request("live/stop", Json::object(), credential,
                   [reply = std::move(reply)](std::optional<Json>, std::optional<std::string>) {
                       reply(true);
                   });
    return false;
}

void App::applicationWillTerminate() {
    liveActivity.reset();
    if (output_) {
        output_->clear();
        output_->shutdown();
    }
    if (video_)
        video_->stop();
    cameraRefreshTimer.cancel();
    stateTimer.cancel();
    usageTimer.cancel();
    aiTimer.cancel();
}

} // namespace zarvo
