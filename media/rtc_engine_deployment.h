// Where the engine's signalling goes, from the deployment in use: the "rtc_gateway" URL, the CA to
// trust and the loopback address of each host (header only, so the engine needs no service code).
#pragma once

#include "media/rtc_engine_webrtc.h"
#include "service/deployment.h"

namespace zarvo {

inline RtcGatewayConfig rtcGatewayConfig(const Deployment& deployment) {
    RtcGatewayConfig config;
    config.url = deployment.rtcGateway;
    config.caCertificate = deployment.caCertificate;
    config.connect = deployment.connect;
    return config;
}

} // namespace zarvo
