#include "devservice/rtc/rtc_front.h"

#include "devservice/devservice.h"

namespace zarvo::devservice {

std::shared_ptr<RtcGateway> installRtcGateway(DevService& devService, SessionRegistry& registry) {
    std::shared_ptr<RtcGateway> gateway;
    devService.runOnServer(
        [&] { gateway = std::make_shared<RtcGateway>(devService.loop(), registry); });
    std::weak_ptr<RtcGateway> weak = gateway;
    devService.addWebSocketHandler(
        "/rtc", [weak](SoupWebsocketConnection* connection, const RecordedRequest&) {
            if (auto gateway = weak.lock())
                gateway->accept(connection);
        });
    return gateway;
}

} // namespace zarvo::devservice
