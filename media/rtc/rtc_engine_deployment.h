// Where the engine's signalling goes, from the deployment in use: the "rtc_gateway" URL, the trust
// built for the deployment's hosts and the loopback address of each host (header only, so the
// engine needs no service code).
#pragma once

#include "media/rtc/rtc_engine_webrtc.h"
#include "service/deployment.h"
#include "service/soup_http_client.h"

namespace zarvo {

// Fails when the deployment's CA does not load, as every other transport to its hosts does.
inline Result<RTCGatewayConfig> rtcGatewayConfig(const Deployment& deployment) {
    auto trust = deploymentTrust(deployment);
    if (!trust)
        return unexpected(trust.error());
    RTCGatewayConfig config;
    config.url = deployment.rtcGateway;
    config.trust = *trust;
    config.connect = deployment.connect;
    config.relayOnly = deployment.rtcRelayOnly;
    return config;
}

} // namespace zarvo
