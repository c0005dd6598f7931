#include "devservice/rtc/rtc_front.h"

#include "devservice/devservice.h"

namespace zarvo::devservice {

std::shared_ptr<RTCGateway> installRTCGateway(DevService& devService, SessionRegistry& registry) {
    std::shared_ptr<RTCGateway> gateway;
    devService.runOnServer(
        [&] { gateway = std::make_shared<RTCGateway>(devService.loop(), registry); });
    std::weak_ptr<RTCGateway> weak = gateway;
    devService.addWebSocketHandler(
        "/rtc", [weak](SoupWebsocketConnection* connection, const RecordedRequest&) {
            if (auto gateway = weak.lock())
                gateway->accept(connection);
        });
    return gateway;
}

} // namespace zarvo::devservice
