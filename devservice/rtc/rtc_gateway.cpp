#include "devservice/rtc/rtc_gateway.h"

#include "devservice/rtc/ai_participant.h"
#include "foundation/owned.h"

#include <libsoup/soup.h>

namespace zarvo::devservice {

struct RtcGateway::Connection {
    uint64_t id = 0;
    GRef<SoupWebsocketConnection> socket;
    std::string sessionId;
    std::string renderUid;
    std::unique_ptr<AiParticipant> participant;
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
    RtcGateway* gateway;
    uint64_t id;
};
} // namespace

RtcGateway::RtcGateway(Loop& loop, SessionRegistry& registry)
    : loop_(loop), registry_(registry), alive_(std::make_shared<bool>(true)) {
    std::weak_ptr<bool> alive = alive_;
    listener_ = registry_.addListener([this, alive](const SessionEvent& event) {
        if (alive.lock())
            onSessionEvent(event);
    });
}

RtcGateway::~RtcGateway() {
    registry_.removeListener(listener_);
    alive_.reset();
    connections_.clear();
}

void RtcGateway::attach(SoupServer* server, const std::string& path) {
    soup_server_add_websocket_handler(
        server, path.c_str(), nullptr, nullptr,
        [](SoupServer*, SoupServerMessage*, const char*, SoupWebsocketConnection* connection,
           gpointer self) { static_cast<RtcGateway*>(self)->accept(connection); },
        this, nullptr);
}

void RtcGateway::accept(SoupWebsocketConnection* socket) {
    auto connection = std::make_unique<Connection>();
    connection->id = nextId_++;
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
                c->gateway->fail(*c->gateway->connections_[c->id], kRtcGatewayBadRequest,
                                 "not a JSON object");
        }),
        new SocketContext{this, id},
        [](gpointer data, GClosure*) { delete static_cast<SocketContext*>(data); },
        GConnectFlags(0));
    connection->closedHandler = g_signal_connect_data(
        socket, "closed", G_CALLBACK(+[](SoupWebsocketConnection*, gpointer data) {
            auto* c = static_cast<SocketContext*>(data);
            // Out of the signal: closing destroys the connection that emits it.
            RtcGateway* gateway = c->gateway;
            const uint64_t id = c->id;
            std::weak_ptr<bool> alive = gateway->alive_;
            gateway->loop_.post([gateway, id, alive] {
                if (alive.lock())
                    gateway->close(id);
            });
        }),
        new SocketContext{this, id},
        [](gpointer data, GClosure*) { delete static_cast<SocketContext*>(data); },
        GConnectFlags(0));
    connections_[id] = std::move(connection);
}

void RtcGateway::send(Connection& connection, const Json& message) {
    if (!connection.socket ||
        soup_websocket_connection_get_state(connection.socket.get()) != SOUP_WEBSOCKET_STATE_OPEN)
        return;
    const std::string text = message.dump(-1, ' ', false, Json::error_handler_t::replace);
    soup_websocket_connection_send_text(connection.socket.get(), text.c_str());
}

void RtcGateway::fail(Connection& connection, int code, const std::string& text) {
    send(connection, {{"type", "error"}, {"code", code}, {"message", text}});
    connection.participant.reset();
    closeSocket(connection.socket.get());
}

void RtcGateway::close(uint64_t id) {
    connections_.erase(id);
}

void RtcGateway::handle(uint64_t id, const Json& message) {
    auto it = connections_.find(id);
    if (it == connections_.end())
        return;
    Connection& connection = *it->second;
    const std::string type = jsonString(message, "type", "");
    if (type == "join") {
        join(connection, message);
    } else if (type == "offer") {
        if (!connection.participant) {
            fail(connection, kRtcGatewayBadRequest, "offer before join");
            return;
        }
        if (!connection.participant->acceptOffer(jsonString(message, "sdp", "")))
            fail(connection, kRtcGatewayRejected, "the offer cannot be answered");
    } else if (type == "ice") {
        if (connection.participant)
            connection.participant->addCandidate(static_cast<int>(jsonInteger(message, "mline", 0)),
                                                 jsonString(message, "candidate", ""));
    } else if (type == "leave") {
        connection.participant.reset();
        closeSocket(connection.socket.get());
    } else {
        fail(connection, kRtcGatewayBadRequest, "unknown message type");
    }
}

void RtcGateway::join(Connection& connection, const Json& message) {
    if (!connection.sessionId.empty()) {
        fail(connection, kRtcGatewayBadRequest, "already joined");
        return;
    }
    auto token = jsonString(message, "token");
    if (!token || token->empty()) {
        fail(connection, kRtcGatewayBadRequest, "join without token");
        return;
    }
    RtcCredentials credentials{*token, jsonString(message, "channel", ""),
                               jsonString(message, "user", "")};
    auto media = registry_.validateJoin(credentials);
    if (!media) {
        fail(connection, kRtcGatewayInvalidToken, "invalid token");
        return;
    }
    const std::string sessionId = media->sessionId;
    std::weak_ptr<bool> alive = alive_;
    const uint64_t id = connection.id;
    AiParticipant::Callbacks callbacks;
    callbacks.signal = [this, alive, id, renderUid = media->renderUid](const Json& signal) {
        loop_.post([this, alive, id, signal, renderUid] {
            if (!alive.lock())
                return;
            auto it = connections_.find(id);
            if (it == connections_.end())
                return;
            Json out = signal;
            out["from"] = renderUid;
            // A session description without media lines: the offerer must refuse it.
            if (refuseAnswers_ && jsonString(out, "type", "") == "answer")
                out["sdp"] = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nt=0 0\r\n";
            send(*it->second, out);
        });
    };
    callbacks.videoFlowing = [this, sessionId] { registry_.videoFlowing(sessionId); };
    auto participant = std::make_unique<AiParticipant>(std::move(callbacks));
    if (!participant->setMedia(media->editingType, media->referenceJpeg) ||
        !registry_.attachParticipant(sessionId)) {
        fail(connection, kRtcGatewayRejected, "the session cannot be edited");
        return;
    }
    connection.sessionId = sessionId;
    connection.renderUid = media->renderUid;
    connection.participant = std::move(participant);
    const std::string user = credentials.userId.empty() ? media->clientUserId : credentials.userId;
    send(connection, {{"type", "joined"},
                      {"channel", media->channelId},
                      {"user", user},
                      {"peer", media->renderUid}});
}

void RtcGateway::failSession(const std::string& sessionId, int code) {
    for (auto& [id, connection] : connections_)
        if (connection->sessionId == sessionId && connection->participant)
            fail(*connection, code, "the session failed");
}

void RtcGateway::dropSession(const std::string& sessionId) {
    for (auto& [id, connection] : connections_)
        if (connection->sessionId == sessionId && connection->participant) {
            connection->participant.reset();
            closeSocket(connection->socket.get());
        }
}

void RtcGateway::onSessionEvent(const SessionEvent& event) {
    std::vector<uint64_t> ended;
    for (auto& [id, connection] : connections_) {
        if (connection->sessionId != event.media.sessionId || !connection->participant)
            continue;
        if (event.kind == SessionEventKind::Switched) {
            if (!connection->participant->setMedia(event.media.editingType,
                                                   event.media.referenceJpeg))
                registry_.switchFailed(event.media.sessionId, event.media.switchSeq,
                                       "reference_unusable");
        } else {
            send(*connection, {{"type", "bye"}, {"reason", event.media.state}});
            connection->participant.reset();
            closeSocket(connection->socket.get());
        }
    }
}

int64_t RtcGateway::editedFrames(const std::string& sessionId) const {
    int64_t total = 0;
    for (const auto& [id, connection] : connections_)
        if (connection->sessionId == sessionId && connection->participant)
            total += connection->participant->editedFrames();
    return total;
}

} // namespace zarvo::devservice
