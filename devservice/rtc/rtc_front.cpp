#include "devservice/rtc/rtc_front.h"

#include "devservice/devservice.h"

namespace zarvo::devservice {

namespace {

NetworkShape shapeOf(const std::optional<NetworkFault>& fault) {
    NetworkShape shape;
    if (fault) {
        shape.lossPercent = fault->lossPercent;
        shape.delayMs = fault->delayMs;
        shape.jitterMs = fault->jitterMs;
        shape.kbps = fault->kbps;
    }
    return shape;
}

} // namespace

std::shared_ptr<RTCGateway> installRTCGateway(DevService& devService, SessionRegistry& registry) {
    std::shared_ptr<RTCGateway> gateway;
    devService.runOnServer([&] {
        gateway = std::make_shared<RTCGateway>(devService.loop(), registry);
        // The gateway lives on the server's loop; a change may come from any thread. Listening
        // before reading the present fault misses no change in between.
        std::weak_ptr<RTCGateway> weak = gateway;
        Loop& loop = devService.loop();
        devService.faults().onNetworkChange([weak, &loop](const std::optional<NetworkFault>& f) {
            loop.post([weak, shape = shapeOf(f)] {
                if (auto gateway = weak.lock())
                    gateway->setNetworkShape(shape);
            });
        });
        gateway->setNetworkShape(shapeOf(devService.faults().network()));
    });
    std::weak_ptr<RTCGateway> weak = gateway;
    devService.addWebSocketHandler(
        "/rtc", [weak](SoupWebsocketConnection* connection, const RecordedRequest&) {
            if (auto gateway = weak.lock())
                gateway->accept(connection);
        });
    return gateway;
}

} // namespace zarvo::devservice
