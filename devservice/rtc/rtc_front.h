// The RTC gateway behind the stand-in's HTTPS front: WebSockets at "/rtc" on both API hosts.
#pragma once

#include "devservice/rtc/rtc_gateway.h"

#include <memory>

namespace zarvo::devservice {

class DevService;

// Seats a gateway on a started DevService, on the server's loop, with `registry` (the billing
// service) as its session table. Destroy the DevService before the last reference to the gateway.
std::shared_ptr<RTCGateway> installRTCGateway(DevService& devService, SessionRegistry& registry);

} // namespace zarvo::devservice
