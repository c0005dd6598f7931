#include "app/video_failure.h"

#include "app/app.h"
#include "foundation/thread_check.h"

namespace zarvo {

void endSessionOnVideoFailure(App& app, const Error& error) {
    ZARVO_DCHECK_ON(app.loop());
    if (!app.aiActive || app.aiStopping)
        return;
    constexpr std::string_view kPrefix = "视频连接失败：";
    // The bridge's report of an engine code already reads "视频连接失败：<code>".
    std::string message =
        error.message.starts_with(kPrefix) ? error.message : std::string(kPrefix) + error.message;
    app.status.text = message;
    app.stopReason = message;
    app.stopAI();
}

} // namespace zarvo
