#include "devservice/rtc/rtc_gateway.h"

#include "devservice/rtc/ai_participant.h"
#include "foundation/owned.h"

#include <libsoup/soup.h>

namespace zarvo::devservice {

struct RTCGateway::Connection {
    uint64_t id = 0;
    GRef<SoupWebsocketConnection> socket;
    std::string sessionID;
    std::string renderUID;
    std::unique_ptr<AIParticipant> participant;
    gulong messageHandler = 0;
    gulong closedHandler = 0;

    ~Connection() {
        participant.reset(); // the media stops before the socket goes
        if (socket) {
            g_signal_handler_disconnect(socket.get(), messageHandler);
            g_signal_handler_disconnect(socket.get(), closedHandler);
            if (soup_websocket_connection_get_state(socket.get()) == SOUP_WEBSOCKET_STATE_OPEN)
                soup_websocket_connection_close(socket.get(), SOUP_WEBSOCKET_CLOSE_NORMAL, nullptr);
        }
    }
};

namespace {

// Closing twice is a libsoup error; a client may well leave after the gateway said goodbye.
void closeSocket(SoupWebsocketConnection* socket) {
    if (socket && soup_websocket_connection_get_state(socket) == SOUP_WEBSOCKET_STATE_OPEN)
        soup_websocket_connection_close(socket, SOUP_WEBSOCKET_CLOSE_NORMAL, nullptr);
}

struct SocketContext {
    RTCGateway* gateway;
    uint64_t id;
};
} // namespace

RTCGateway::RTCGateway(Loop& loop, SessionRegistry& registry) : loop_(loop), registry_(registry) {
    listener_ = registry_.addListener([this, alive = life_.watch()](const SessionEvent& event) {
        if (alive.alive())
            onSessionEvent(event);
    });
}

RTCGateway::~RTCGateway() {
    registry_.removeListener(listener_);
    life_.invalidate(); // what the participants signal while they stop below is dropped
    connections_.clear();
}

void RTCGateway::attach(SoupServer* server, const std::string& path) {
    soup_server_add_websocket_handler(
        server, path.c_str(), nullptr, nullptr,
        [](SoupServer*, SoupServerMessage*, const char*, SoupWebsocketConnection* connection,
           gpointer self) { static_cast<RTCGateway*>(self)->accept(connection); },
        this, nullptr);
}

void RTCGateway::accept(SoupWebsocketConnection* socket) {
    auto connection = std::make_unique<Connection>();
    connection->id = nextID_++;
    connection->socket = retainRef(socket);
    const uint64_t id = connection->id;
    connection->messageHandler = g_signal_connect_data(
        socket, "message",
        G_CALLBACK(+[](SoupWebsocketConnection*, gint type, GBytes* bytes, gpointer data) {
            auto* c = static_cast<SocketContext*>(data);
            if (type != SOUP_WEBSOCKET_DATA_TEXT)
                return;
            gsize size = 0;
            const char* text = static_cast<const char*>(g_bytes_get_data(bytes, &size));
            auto message = parseJsonObject(std::string_view(text, size));
            if (message)
                c->gateway->handle(c->id, *message);
            else if (c->gateway->connections_.count(c->id))
                c->gateway->fail(*c->gateway->connections_[c->id], kRTCGatewayBadRequest,
                                 "not a JSON object");
        }),
        new SocketContext{this, id},
        [](gpointer data, GClosure*) { delete static_cast<SocketContext*>(data); },
        GConnectFlags(0));
    connection->closedHandler = g_signal_connect_data(
        socket, "closed", G_CALLBACK(+[](SoupWebsocketConnection*, gpointer data) {
            auto* c = static_cast<SocketContext*>(data);
            // Out of the signal: closing destroys the connection that emits it.
            RTCGateway* gateway = c->gateway;
            const uint64_t id = c->id;
            gateway->loop_.post([gateway, id, alive = gateway->life_.watch()] {
                if (alive.alive())
                    gateway->close(id);
            });
        }),
        new SocketContext{this, id},
        [](gpointer data, GClosure*) { delete static_cast<SocketContext*>(data); },
        GConnectFlags(0));
    connections_[id] = std::move(connection);
}

void RTCGateway::send(Connection& connection, const Json& message) {
    if (!connection.socket ||
        soup_websocket_connection_get_state(connection.socket.get()) != SOUP_WEBSOCKET_STATE_OPEN)
        return;
    const std::string text = message.dump(-1, ' ', false, Json::error_handler_t::replace);
    soup_websocket_connection_send_text(connection.socket.get(), text.c_str());
}

void RTCGateway::fail(Connection& connection, int code, const std::string& text) {
    send(connection, {{"type", "error"}, {"code", code}, {"message", text}});
    connection.participant.reset();
    closeSocket(connection.socket.get());
}

void RTCGateway::close(uint64_t id) {
    connections_.erase(id);
}

void RTCGateway::handle(uint64_t id, const Json& message) {
    auto it = connections_.find(id);
    if (it == connections_.end())
        return;
    Connection& connection = *it->second;
    const std::string type = jsonString(message, "type", "");
    if (type == "join") {
        join(connection, message);
    } else if (type == "offer") {
        if (!connection.participant) {
            fail(connection, kRTCGatewayBadRequest, "offer before join");
            return;
        }
        if (!connection.participant->acceptOffer(jsonString(message, "sdp", "")))
            fail(connection, kRTCGatewayRejected, "the offer cannot be answered");
    } else if (type == "ice") {
        if (connection.participant)
            connection.participant->addCandidate(static_cast<int>(jsonInteger(message, "mline", 0)),
                                                 jsonString(message, "candidate", ""));
    } else if (type == "leave") {
        connection.participant.reset();
        closeSocket(connection.socket.get());
    } else {
        fail(connection, kRTCGatewayBadRequest, "unknown message type");
    }
}

void RTCGateway::join(Connection& connection, const Json& message) {
    if (!connection.sessionID.empty()) {
        fail(connection, kRTCGatewayBadRequest, "already joined");
        return;
    }
    auto token = jsonString(message, "token");
    if (!token || token->empty()) {
        fail(connection, kRTCGatewayBadRequest, "join without token");
        return;
    }
    RTCCredentials credentials{*token, jsonString(message, "channel", ""),
                               jsonString(message, "user", "")};
    auto media = registry_.validateJoin(credentials);
    if (!media) {
        fail(connection, kRTCGatewayInvalidToken, "invalid token");
        return;
    }
    const std::string sessionID = media->sessionID;
    const uint64_t id = connection.id;
    AIParticipant::Callbacks callbacks;
    // Called on a media thread; the watch is asked only in the loop's tasks, which never run
    // beside our destructor.
    callbacks.signal = [this, alive = life_.watch(), id,
                        renderUID = media->renderUID](const Json& signal) {
        loop_.post([this, alive, id, signal, renderUID] {
            if (!alive.alive())
                return;
            auto it = connections_.find(id);
            if (it == connections_.end())
                return;
            Json out = signal;
            out["from"] = renderUID;
            // A session description without media lines: the offerer must refuse it.
            if (refuseAnswers_ && jsonString(out, "type", "") == "answer")
                out["sdp"] = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\n";
            send(*it->second, out);
        });
    };
    callbacks.videoFlowing = [this, sessionID] { registry_.videoFlowing(sessionID); };
    auto participant =
        std::make_unique<AIParticipant>(std::move(callbacks), adaptiveSending_ ? &loop_ : nullptr);
    participant->setNetworkShape(shape_);
    participant->useRelays(iceServers_, relayOnly_);
    if (!participant->setMedia(media->editingType, media->referenceJpeg) ||
        !registry_.attachParticipant(sessionID)) {
        fail(connection, kRTCGatewayRejected, "the session cannot be edited");
        return;
    }
    connection.sessionID = sessionID;
    connection.renderUID = media->renderUID;
    connection.participant = std::move(participant);
    const std::string user = credentials.userID.empty() ? media->clientUserID : credentials.userID;
    send(connection, {{"type", "joined"},
                      {"channel", media->channelID},
                      {"user", user},
                      {"peer", media->renderUID}});
}

void RTCGateway::setNetworkShape(const NetworkShape& shape) {
    shape_ = shape;
    for (auto& [id, connection] : connections_)
        if (connection->participant)
            connection->participant->setNetworkShape(shape);
}

void RTCGateway::failSession(const std::string& sessionID, int code) {
    for (auto& [id, connection] : connections_)
        if (connection->sessionID == sessionID && connection->participant)
            fail(*connection, code, "the session failed");
}

void RTCGateway::dropSession(const std::string& sessionID) {
    for (auto& [id, connection] : connections_)
        if (connection->sessionID == sessionID && connection->participant) {
            connection->participant.reset();
            closeSocket(connection->socket.get());
        }
}

void RTCGateway::onSessionEvent(const SessionEvent& event) {
    std::vector<uint64_t> ended;
    for (auto& [id, connection] : connections_) {
        if (connection->sessionID != event.media.sessionID || !connection->participant)
            continue;
        if (event.kind == SessionEventKind::Switched) {
            if (!connection->participant->setMedia(event.media.editingType,
                                                   event.media.referenceJpeg))
                registry_.switchFailed(event.media.sessionID, event.media.switchSeq,
                                       "reference_unusable");
        } else {
            send(*connection, {{"type", "bye"}, {"reason", event.media.state}});
            connection->participant.reset();
            closeSocket(connection->socket.get());
        }
    }
}

std::map<std::string, double> RTCGateway::linkStats(const std::string& sessionID) const {
    std::map<std::string, double> total;
    for (const auto& [id, connection] : connections_)
        if (connection->sessionID == sessionID && connection->participant)
            for (const auto& [key, value] : connection->participant->linkStats())
                total[key] += value;
    return total;
}

int64_t RTCGateway::editedFrames(const std::string& sessionID) const {
    int64_t total = 0;
    for (const auto& [id, connection] : connections_)
        if (connection->sessionID == sessionID && connection->participant)
            total += connection->participant->editedFrames();
    return total;
}

} // namespace zarvo::devservice
