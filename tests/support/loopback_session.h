// The one live session the video tests and benchmarks join on the loopback RTC stand-in.
#pragma once

#include "devservice/rtc/loopback_rtc_service.h"

#include <string>

namespace zarvo::testing {

// Session "S1" on channel "ch-1" for client "client-7", joined with token "tok-1"; the AI
// participant is "render-9".
inline devservice::SessionMedia addLoopbackSession(devservice::LoopbackRTCService& service,
                                                   const std::string& editingType,
                                                   std::string referenceJpeg) {
    devservice::SessionMedia media;
    media.sessionID = "S1";
    media.state = "CREATED";
    media.channelID = "ch-1";
    media.clientUserID = "client-7";
    media.renderUID = "render-9";
    media.editingType = editingType;
    media.referenceJpeg = std::move(referenceJpeg);
    service.addSession(media, {"tok-1", "ch-1", "client-7"});
    return media;
}

} // namespace zarvo::testing
