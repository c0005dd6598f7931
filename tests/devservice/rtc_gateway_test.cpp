// The gateway's signalling as a client sees it on the socket: join checks, refusals, the session's
// end and failed switches. No media is negotiated here; the engine's loopback test covers that.
#include "devservice/rtc/loopback_rtc_service.h"
#include "foundation/json.h"
#include "tests/support/loopback_session.h"
#include "tests/support/media_samples.h"
#include "tests/support/settled_count.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <libsoup/soup.h>

#include <atomic>
#include <deque>

using namespace zarvo;
using namespace zarvo::devservice;

namespace {

// A bare WebSocket client on its own main context, driven by the test thread.
class TestSocket {
public:
    explicit TestSocket(uint16_t port) {
        context_ = g_main_context_new();
        g_main_context_push_thread_default(context_);
        session_ = soup_session_new();
        const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/rtc";
        SoupMessage* message = soup_message_new("GET", url.c_str());
        soup_session_websocket_connect_async(
            session_, message, nullptr, nullptr, G_PRIORITY_DEFAULT, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer self) {
                auto* socket = static_cast<TestSocket*>(self);
                socket->connection_ =
                    soup_session_websocket_connect_finish(SOUP_SESSION(source), result, nullptr);
                socket->connectDone_ = true;
            },
            this);
        g_object_unref(message);
        iterateUntil([this] { return connectDone_; });
        if (connection_) {
            g_signal_connect(
                connection_, "message",
                G_CALLBACK(+[](SoupWebsocketConnection*, gint, GBytes* bytes, gpointer self) {
                    gsize size = 0;
                    auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
                    static_cast<TestSocket*>(self)->received_.push_back(
                        Json::parse(std::string(data, size)));
                }),
                this);
            g_signal_connect(connection_, "closed",
                             G_CALLBACK(+[](SoupWebsocketConnection*, gpointer self) {
                                 static_cast<TestSocket*>(self)->closed_ = true;
                             }),
                             this);
        }
    }
    ~TestSocket() {
        if (connection_) {
            g_signal_handlers_disconnect_by_data(connection_, this);
            if (soup_websocket_connection_get_state(connection_) == SOUP_WEBSOCKET_STATE_OPEN)
                soup_websocket_connection_close(connection_, SOUP_WEBSOCKET_CLOSE_NORMAL, nullptr);
            g_object_unref(connection_);
        }
        soup_session_abort(session_);
        g_object_unref(session_);
        while (g_main_context_iteration(context_, FALSE)) {
        }
        g_main_context_pop_thread_default(context_);
        g_main_context_unref(context_);
    }

    bool connected() const { return connection_ != nullptr; }
    void send(const std::string& text) {
        soup_websocket_connection_send_text(connection_, text.c_str());
    }
    void send(const Json& message) { send(message.dump()); }
    // The next message from the gateway; null when none came.
    Json next() {
        iterateUntil([this] { return !received_.empty() || closed_; });
        if (received_.empty())
            return nullptr;
        Json message = received_.front();
        received_.pop_front();
        return message;
    }
    bool waitClosed() {
        iterateUntil([this] { return closed_; });
        return closed_;
    }

private:
    // Socket I/O on loopback: a bound on real time only guards against a hang, so it is generous
    // enough for a busy machine.
    template <class F> void iterateUntil(F done) {
        const gint64 deadline = g_get_monotonic_time() + 30 * G_USEC_PER_SEC;
        while (!done() && g_get_monotonic_time() < deadline)
            if (!g_main_context_iteration(context_, FALSE))
                g_usleep(1000);
    }

    GMainContext* context_ = nullptr;
    SoupSession* session_ = nullptr;
    SoupWebsocketConnection* connection_ = nullptr;
    bool connectDone_ = false;
    bool closed_ = false;
    std::deque<Json> received_;
};

class RTCGatewayTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A misuse of libsoup (closing a socket twice, say) fails the test instead of a log line.
        soupCriticals = 0;
        handler = g_log_set_handler(
            "libsoup", GLogLevelFlags(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING),
            [](const gchar*, GLogLevelFlags, const gchar* message, gpointer) {
                ++soupCriticals;
                ADD_FAILURE() << "libsoup: " << message;
            },
            nullptr);
        auto media = zarvo::testing::addLoopbackSession(
            service, "style_transfer", zarvo::testing::solidJpeg(0x80, 0x80, 0xff, 32, 18));
        media.sessionID = "S2";
        media.editingType = "no_such_mode";
        service.addSession(media, {"tok-2", "ch-2", "client-8"});
    }
    void TearDown() override { g_log_remove_handler("libsoup", handler); }

    static inline std::atomic<int> soupCriticals{0};
    guint handler = 0;
    LoopbackRTCService service;
};

TEST_F(RTCGatewayTest, AJoinIsAnsweredWithTheChannelTheUserAndTheParticipant) {
    TestSocket socket(service.port());
    ASSERT_TRUE(socket.connected());
    socket.send(Json{{"type", "join"}, {"token", "tok-1"}, {"name", "Zarvo"}});
    Json joined = socket.next();
    EXPECT_EQ(joined.value("type", ""), "joined");
    EXPECT_EQ(joined.value("channel", ""), "ch-1");
    EXPECT_EQ(joined.value("user", ""), "client-7");
    EXPECT_EQ(joined.value("peer", ""), "render-9");
    EXPECT_EQ(service.connectionCount(), 1u);

    // One join per socket.
    socket.send(Json{{"type", "join"}, {"token", "tok-1"}});
    Json refused = socket.next();
    EXPECT_EQ(refused.value("type", ""), "error");
    EXPECT_EQ(refused.value("code", 0), 400);
    EXPECT_TRUE(socket.waitClosed());
}

TEST_F(RTCGatewayTest, JoinsThatMatchNoLiveSessionAreRefused) {
    struct Case {
        Json join;
        int code;
    };
    const Case cases[] = {
        {{{"type", "join"}, {"token", "tok-x"}}, 110},                       // unknown token
        {{{"type", "join"}, {"token", "tok-1"}, {"channel", "ch-2"}}, 110},  // other channel
        {{{"type", "join"}, {"token", "tok-1"}, {"user", "client-8"}}, 110}, // other user
        {{{"type", "join"}, {"token", ""}}, 400},                            // empty token
        {{{"type", "join"}, {"token", 5}}, 400},                             // not a string
        {{{"type", "offer"}, {"sdp", "v=0"}}, 400},                          // offer first
        {{{"type", "dance"}}, 400},                                          // unknown type
        {{{"type", "join"}, {"token", "tok-2"}}, 17}, // the session's mode cannot be edited
    };
    for (const auto& c : cases) {
        TestSocket socket(service.port());
        ASSERT_TRUE(socket.connected());
        socket.send(c.join);
        Json reply = socket.next();
        EXPECT_EQ(reply.value("type", ""), "error") << c.join;
        EXPECT_EQ(reply.value("code", 0), c.code) << c.join;
        EXPECT_TRUE(socket.waitClosed()) << c.join;
    }
    TestSocket socket(service.port());
    socket.send(std::string("not json"));
    EXPECT_EQ(socket.next().value("code", 0), 400);
}

TEST_F(RTCGatewayTest, TheSessionsEndSaysByeAndCloses) {
    TestSocket socket(service.port());
    socket.send(Json{{"type", "join"}, {"token", "tok-1"}});
    ASSERT_EQ(socket.next().value("type", ""), "joined");
    service.endSession("S1");
    Json bye = socket.next();
    EXPECT_EQ(bye.value("type", ""), "bye");
    EXPECT_EQ(bye.value("reason", ""), "STOPPED");
    EXPECT_TRUE(socket.waitClosed());
}

TEST_F(RTCGatewayTest, ASwitchToAnUnusableImageIsReportedAndKeepsTheOldOne) {
    TestSocket socket(service.port());
    socket.send(Json{{"type", "join"}, {"token", "tok-1"}});
    ASSERT_EQ(socket.next().value("type", ""), "joined");
    service.switchSession("S1", "virtual_tryon", "garbage", 3);
    service.switchSession("S1", "virtual_tryon",
                          zarvo::testing::solidJpeg(0x80, 0x80, 0xff, 32, 18), 4);
    EXPECT_EQ(service.switchFailures(), std::vector<std::string>{"3:reference_unusable"});
}

TEST_F(RTCGatewayTest, ALeaveAfterTheRefusalIsHarmless) {
    TestSocket socket(service.port());
    socket.send(Json{{"type", "join"}, {"token", "tok-x"}});
    socket.send(Json{{"type", "leave"}});
    EXPECT_EQ(socket.next().value("code", 0), 110);
    EXPECT_TRUE(socket.waitClosed());
}

TEST_F(RTCGatewayTest, LeaveClosesTheConnection) {
    {
        TestSocket socket(service.port());
        socket.send(Json{{"type", "join"}, {"token", "tok-1"}});
        ASSERT_EQ(socket.next().value("type", ""), "joined");
        socket.send(Json{{"type", "leave"}});
        EXPECT_TRUE(socket.waitClosed());
    }
    EXPECT_EQ(zarvo::testing::settledCount([&] { return int(service.connectionCount()); }, 0), 0);
}

} // namespace
