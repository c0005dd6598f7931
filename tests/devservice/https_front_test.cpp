#include "https_test_support.h"

#include "foundation/atomic_file.h"
#include "foundation/owned.h"

#include <libsoup/soup.h>

#include <cstdio>
#include <future>

#include <netinet/in.h>
#include <sys/socket.h>

namespace zarvo::test {
namespace {

struct Fetched {
    std::optional<std::string> data;
    std::optional<HttpResponse> response;
    std::optional<TransportError> error;
    int status() const { return response ? response->status : 0; }
    std::string header(const std::string& name) const {
        for (const auto& [n, v] : response->headers)
            if (g_ascii_strcasecmp(n.c_str(), name.c_str()) == 0)
                return v;
        return {};
    }
};

class Front : public StandIn {
protected:
    void SetUp() override {
        StandIn::SetUp();
        if (HasFatalFailure())
            return;
        token = deployment.accountToken;
        net = std::make_unique<NetworkThread>(deployment);
    }
    void TearDown() override {
        net.reset();
        StandIn::TearDown();
    }
    Fetched fetch(const std::string& url, const std::string& method = "GET",
                  std::optional<std::string> bearer = std::nullopt,
                  std::optional<std::string> body = std::nullopt, NetworkThread* via = nullptr) {
        HttpRequest request;
        request.method = method;
        request.url = url;
        if (bearer)
            request.headers.emplace_back("Authorization", "Bearer " + *bearer);
        request.body = std::move(body);
        auto promise = std::make_shared<std::promise<Fetched>>();
        auto future = promise->get_future();
        (via ? via : net.get())->sender()(request, [promise](auto data, auto response, auto error) {
            promise->set_value(Fetched{std::move(data), std::move(response), std::move(error)});
        });
        if (future.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            ADD_FAILURE() << "no answer from " << url;
            return {};
        }
        return future.get();
    }
    std::string admin(const std::string& path) {
        return "http://127.0.0.1:" + std::to_string(service->adminPort()) + path;
    }
    // An admin call written by hand, as a web page's request reaches 127.0.0.1: its own Host
    // (a rebinding name) and Origin headers. The answer's status, or 0 without one.
    static int rawAdminStatus(uint16_t port, const std::string& host, const std::string& origin,
                              const std::string& bearer) {
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (!fd || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
            return 0;
        std::string request = "GET /deployment HTTP/1.1\r\nHost: " + host +
                              "\r\nAuthorization: Bearer " + bearer + "\r\nConnection: close\r\n";
        if (!origin.empty())
            request += "Origin: " + origin + "\r\n";
        request += "\r\n";
        if (::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
            ssize_t(request.size()))
            return 0;
        std::string answer;
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd.get(), buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, size_t(n));
        int status = 0;
        return std::sscanf(answer.c_str(), "HTTP/1.%*d %d", &status) == 1 ? status : 0;
    }
    // Declares a 200 MB body over TLS, sends 16 bytes of it and waits (a generous minute) for an
    // answer without sending more. The answer's status, or 0 without one.
    static int declaredHugeBodyStatus(uint16_t port, const std::string& bearer) {
        auto context = adoptRef(g_main_context_new());
        g_main_context_push_thread_default(context.get());
        int status = 0;
        auto client = adoptRef(g_socket_client_new());
        g_socket_client_set_timeout(client.get(), 60);
        auto plain = adoptRef(
            g_socket_client_connect_to_host(client.get(), "127.0.0.1", port, nullptr, nullptr));
        GRef<GIOStream> tls;
        if (plain)
            tls = adoptRef(g_tls_client_connection_new(G_IO_STREAM(plain.get()), nullptr, nullptr));
        if (tls) {
            // Only the server's reading is under test here, not its certificate.
            g_signal_connect(tls.get(), "accept-certificate",
                             G_CALLBACK(+[](GTlsConnection*, GTlsCertificate*,
                                            GTlsCertificateFlags) { return TRUE; }),
                             nullptr);
            const std::string request = "POST /api/v1/live/start HTTP/1.1\r\n"
                                        "Host: api.zarvo.test\r\nAuthorization: Bearer " +
                                        bearer +
                                        "\r\nContent-Type: application/json\r\n"
                                        "Content-Length: 200000000\r\n\r\n{\"mode\":\"studio\", ";
            std::string answer;
            char buffer[4096];
            gssize n = 0;
            if (g_tls_connection_handshake(G_TLS_CONNECTION(tls.get()), nullptr, nullptr) &&
                g_output_stream_write_all(g_io_stream_get_output_stream(tls.get()), request.data(),
                                          request.size(), nullptr, nullptr, nullptr))
                while (answer.find("\r\n") == std::string::npos &&
                       (n = g_input_stream_read(g_io_stream_get_input_stream(tls.get()), buffer,
                                                sizeof buffer, nullptr, nullptr)) > 0)
                    answer.append(buffer, size_t(n));
            std::sscanf(answer.c_str(), "HTTP/1.%*d %d", &status);
            g_io_stream_close(tls.get(), nullptr, nullptr);
        }
        tls.reset();
        plain.reset();
        client.reset();
        g_main_context_pop_thread_default(context.get());
        return status;
    }
    // POSTs `size` bytes with chunked transfer encoding (no Content-Length), so only the reading
    // side can notice the body is too large. Status and body of the answer.
    static std::pair<int, std::string> streamedPost(const Deployment& to, const std::string& url,
                                                    const std::string& bearer, size_t size) {
        auto context = adoptRef(g_main_context_new());
        g_main_context_push_thread_default(context.get());
        auto session = adoptRef(createServiceSession(to, "api.zarvo.test"));
        auto message = adoptRef(soup_message_new("POST", url.c_str()));
        soup_message_headers_append(soup_message_get_request_headers(message.get()),
                                    "Authorization", ("Bearer " + bearer).c_str());
        const std::string body(size, '{');
        auto stream =
            adoptRef(g_memory_input_stream_new_from_data(body.data(), gssize(size), nullptr));
        soup_message_set_request_body(message.get(), "application/json", stream.get(), -1);
        GErrorHolder error;
        auto answer = adoptRef(
            soup_session_send_and_read(session.get(), message.get(), nullptr, error.out()));
        std::pair<int, std::string> result{0, error.message()};
        if (answer) {
            gsize length = 0;
            auto* data = static_cast<const char*>(g_bytes_get_data(answer.get(), &length));
            result = {int(soup_message_get_status(message.get())), std::string(data, length)};
        }
        message.reset();
        session.reset();
        g_main_context_pop_thread_default(context.get());
        return result;
    }

    std::string token;
    std::unique_ptr<NetworkThread> net;
};

TEST_F(Front, ServesHealthAndTheApiOnlyToABearer) {
    auto health = fetch("https://api.zarvo.test/health");
    ASSERT_FALSE(health.error) << health.error->message;
    EXPECT_EQ(health.status(), 200);
    EXPECT_EQ(parseJsonObject(*health.data), (Json{{"status", "ok"}, {"product", "Zarvo"}}));
    EXPECT_EQ(fetch("https://api2.zarvo.test/health").status(), 200);
    EXPECT_EQ(fetch("https://download.zarvo.test/health").status(), 404);

    auto records = service->requests();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records[0].host, "primary");
    std::string host;
    for (const auto& [name, value] : records[0].headers)
        if (name == "Host")
            host = value;
    EXPECT_EQ(host, "api.zarvo.test") << "the URL keeps the bare host";

    auto state = fetch("https://api.zarvo.test/api/v1/client/state", "GET", token);
    EXPECT_EQ(state.status(), 200);
    EXPECT_TRUE(parseJsonObject(*state.data));
    for (std::optional<std::string> bad :
         {std::optional<std::string>(), std::optional<std::string>("nope")}) {
        auto refused = fetch("https://api.zarvo.test/api/v1/client/state", "GET", bad);
        EXPECT_EQ(refused.status(), 401);
        EXPECT_TRUE(jsonString(*parseJsonObject(*refused.data), "detail"));
    }
    auto unknown = fetch("https://api2.zarvo.test/api/v1/nowhere", "GET", token);
    EXPECT_EQ(unknown.status(), 404);
    EXPECT_TRUE(jsonString(*parseJsonObject(*unknown.data), "detail"));
}

TEST_F(Front, ReplacedApiHandlerSeesTheDecodedCall) {
    struct Echo : devservice::ApiHandler {
        devservice::ApiResponse handle(const devservice::ApiRequest& r) override {
            Json query = Json::array();
            for (const auto& [k, v] : r.query)
                query.push_back(k + "=" + v);
            return {201,
                    {{"host", r.host},
                     {"method", r.method},
                     {"path", r.path},
                     {"query", query},
                     {"token", r.bearerToken},
                     {"body", r.body}}};
        }
    };
    service->setApiHandler(std::make_shared<Echo>());
    auto reply = fetch("https://api2.zarvo.test/api/v1/client/session-billing?page=2&page_size=20",
                       "POST", "any-token", std::string(R"({"a":1})"));
    EXPECT_EQ(reply.status(), 201);
    auto json = parseJsonObject(*reply.data);
    ASSERT_TRUE(json);
    EXPECT_EQ((*json)["host"], "secondary");
    EXPECT_EQ((*json)["path"], "client/session-billing");
    EXPECT_EQ((*json)["query"], (Json{"page=2", "page_size=20"}));
    EXPECT_EQ((*json)["token"], "any-token");
    EXPECT_EQ((*json)["body"], R"({"a":1})");
}

TEST_F(Front, FaultsApplyPerHostAndPath) {
    devservice::Fault status;
    status.host = "secondary";
    status.path = "/api/v1/live/current";
    status.status = 503;
    status.count = 1;
    service->faults().add(status);
    EXPECT_EQ(fetch("https://api.zarvo.test/api/v1/live/current", "GET", token).status(), 200)
        << "another host is untouched";
    auto failed = fetch("https://api2.zarvo.test/api/v1/live/current", "GET", token);
    EXPECT_EQ(failed.status(), 503);
    EXPECT_TRUE(jsonString(*parseJsonObject(*failed.data), "detail"));
    EXPECT_EQ(fetch("https://api2.zarvo.test/api/v1/live/current", "GET", token).status(), 200)
        << "a counted fault wears off";

    devservice::Fault redirect;
    redirect.host = "primary";
    redirect.path = "/health";
    redirect.redirect = "https://api2.zarvo.test/health";
    service->faults().add(redirect);
    service->clearRequests();
    auto moved = fetch("https://api.zarvo.test/health");
    EXPECT_EQ(moved.status(), 302) << "the client refuses redirects";
    EXPECT_EQ(moved.header("Location"), "https://api2.zarvo.test/health");
    EXPECT_EQ(service->requests().size(), 1u);

    devservice::Fault array;
    array.path = "/api/v1/client/state";
    array.nonObjectBody = true;
    service->faults().add(array);
    auto listed = fetch("https://api2.zarvo.test/api/v1/client/state", "GET", token);
    EXPECT_EQ(listed.status(), 200);
    EXPECT_EQ(*listed.data, "[]");

    devservice::Fault drop;
    drop.path = "/api/v1/live/stop";
    drop.drop = true;
    service->faults().add(drop);
    auto dropped = fetch("https://api.zarvo.test/api/v1/live/stop", "POST", token, "{}");
    EXPECT_TRUE(dropped.error);
    EXPECT_FALSE(dropped.response);

    service->faults().clear();
    service->failHealth("secondary");
    EXPECT_EQ(fetch("https://api2.zarvo.test/health").status(), 503);
    EXPECT_EQ(fetch("https://api.zarvo.test/health").status(), 200);
}

TEST_F(Front, AdminEndpointControlsFaultsAndShowsRequests) {
    NetworkThread plain(productionDeployment());
    const std::string adminToken = service->adminToken();
    ASSERT_EQ(adminToken.size(), 40u);
    auto added = fetch(admin("/faults"), "POST", adminToken,
                       std::string(R"({"host":"primary","path":"/health","status":500})"), &plain);
    EXPECT_EQ(added.status(), 200);
    EXPECT_EQ(fetch("https://api.zarvo.test/health").status(), 500);
    auto bad =
        fetch(admin("/faults"), "POST", adminToken, std::string(R"({"host":"moon"})"), &plain);
    EXPECT_EQ(bad.status(), 400);
    auto listed = fetch(admin("/faults"), "GET", adminToken, std::nullopt, &plain);
    EXPECT_EQ(Json::parse(*listed.data).size(), 1u);
    EXPECT_EQ(fetch(admin("/faults"), "DELETE", adminToken, std::nullopt, &plain).status(), 200);
    EXPECT_EQ(fetch("https://api.zarvo.test/health").status(), 200);

    auto requests =
        Json::parse(*fetch(admin("/requests"), "GET", adminToken, std::nullopt, &plain).data);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0]["path"], "/health");
    EXPECT_EQ(requests[0]["host"], "primary");
    EXPECT_TRUE(requests[0]["headers"].is_array());
}

// What keeps a stand-in left running on a developer's machine from being driven or exhausted by
// someone else: the admin token, loopback only, bounded bodies and a bounded, masked record.
TEST_F(Front, OversizedBodiesAndForeignAdminCallsAreRefused) {
    auto ownState = freshStateDirectory("bounded");
    devservice::DevServiceOptions options;
    options.stateDirectory = ownState;
    options.adminEndpoint = true;
    options.maxBodyBytes = 8192;
    devservice::DevService bounded(options);
    ASSERT_TRUE(bounded.start());
    auto boundedDeployment = readDeploymentFile(bounded.deploymentFile());
    ASSERT_TRUE(boundedDeployment);
    NetworkThread client(*boundedDeployment);
    const std::string url = "https://api.zarvo.test/api/v1/live/start";
    const std::string bearer = boundedDeployment->accountToken;

    auto huge = fetch(url, "POST", bearer, std::string(20000, '{'), &client);
    EXPECT_EQ(huge.status(), 413);
    ASSERT_TRUE(huge.data);
    EXPECT_EQ(jsonString(*parseJsonObject(*huge.data), "detail"), "请求内容过大");
    // Declared over the limit and never sent: answered from the headers, not after 200 MB.
    EXPECT_EQ(declaredHugeBodyStatus(bounded.port("primary"), bearer), 413);
    // Streamed without a Content-Length: read past the limit, kept no further, still refused.
    auto [streamedStatus, streamedBody] = streamedPost(*boundedDeployment, url, bearer, 256 * 1024);
    EXPECT_EQ(streamedStatus, 413) << streamedBody;
    if (auto refusal = parseJsonObject(streamedBody))
        EXPECT_EQ(jsonString(*refusal, "detail"), "请求内容过大");
    else
        ADD_FAILURE() << "not a JSON refusal: " << streamedBody;

    // Under the limit: answered (not JSON), and recorded with its body cut and the token masked.
    EXPECT_EQ(fetch(url, "POST", bearer, std::string(6000, '{'), &client).status(), 400);
    auto records = bounded.requests();
    ASSERT_FALSE(records.empty());
    const auto& last = records.back();
    EXPECT_EQ(last.body.size(), 4096u);
    for (const auto& [name, value] : last.headers)
        if (g_ascii_strcasecmp(name.c_str(), "Authorization") == 0) {
            EXPECT_EQ(value.find(bearer), std::string::npos);
            EXPECT_EQ(value, devservice::maskedAuthorization("Bearer " + bearer));
        }

    const std::string adminURL = "http://127.0.0.1:" + std::to_string(bounded.adminPort());
    NetworkThread plain(productionDeployment());
    EXPECT_EQ(fetch(adminURL + "/requests", "GET", std::nullopt, std::nullopt, &plain).status(),
              401);
    EXPECT_EQ(fetch(adminURL + "/requests", "GET", "not-the-token", std::nullopt, &plain).status(),
              401);
    EXPECT_EQ(
        fetch(adminURL + "/deployment", "GET", bounded.adminToken(), std::nullopt, &plain).status(),
        200);
    // With the right token, still refused when a browser could have sent it: a Host that is not
    // this machine's loopback name (DNS rebinding) or any Origin.
    const uint16_t adminPort = bounded.adminPort();
    const std::string local = "127.0.0.1:" + std::to_string(adminPort);
    EXPECT_EQ(rawAdminStatus(adminPort, local, "", bounded.adminToken()), 200);
    EXPECT_EQ(rawAdminStatus(adminPort, "localhost:" + std::to_string(adminPort), "",
                             bounded.adminToken()),
              200);
    EXPECT_EQ(rawAdminStatus(adminPort, "rebound.example:" + std::to_string(adminPort), "",
                             bounded.adminToken()),
              403);
    EXPECT_EQ(rawAdminStatus(adminPort, "127.0.0.1.rebound.example", "", bounded.adminToken()),
              403);
    EXPECT_EQ(rawAdminStatus(adminPort, local, "https://page.example", bounded.adminToken()), 403);
    EXPECT_EQ(rawAdminStatus(adminPort, local, "http://" + local, bounded.adminToken()), 403);
    auto tokenFile = ownState / "admin-token";
    EXPECT_EQ(readFile(tokenFile), bounded.adminToken());
    EXPECT_EQ(std::filesystem::status(tokenFile).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    // A restarted stand-in is where its deployment file said it was.
    const uint16_t primary = bounded.port("primary");
    bounded.stop();
    devservice::DevService again(options);
    ASSERT_TRUE(again.start());
    EXPECT_EQ(again.port("primary"), primary);
    again.stop();
    std::filesystem::remove_all(ownState);
}

TEST_F(Front, CertificatesSurviveARestartAndOnlyTheirCaIsTrusted) {
    auto ca = readFile(service->caCertificate());
    ASSERT_TRUE(ca);
    service->stop();
    ASSERT_TRUE(service->start());
    EXPECT_EQ(readFile(service->caCertificate()), ca) << "the CA is made once";
    auto reloaded = readDeploymentFile(service->deploymentFile());
    ASSERT_TRUE(reloaded);
    EXPECT_EQ(reloaded->accountToken, token) << "the development token is kept";

    // Another stand-in, with its own CA, is not trusted by a client of the first one.
    auto otherState = freshStateDirectory("other");
    devservice::DevServiceOptions options;
    options.stateDirectory = otherState;
    devservice::DevService other(options);
    ASSERT_TRUE(other.start());
    Deployment mixed = *reloaded;
    mixed.connect["api.zarvo.test"] = "127.0.0.1:" + std::to_string(other.port("primary"));
    NetworkThread wrongTrust(mixed);
    auto refused =
        fetch("https://api.zarvo.test/health", "GET", std::nullopt, std::nullopt, &wrongTrust);
    EXPECT_TRUE(refused.error) << "a certificate from an unknown CA is refused";
    other.stop();
    std::filesystem::remove_all(otherState);
}

TEST_F(Front, PathAndWebSocketHooks) {
    service->addPathHandler("download", "/downloads/", [](const devservice::RecordedRequest& r) {
        return std::optional<devservice::HttpReply>(
            devservice::HttpReply{206, {{"Content-Range", "bytes 0-2/10"}}, "abc" + r.query});
    });
    auto part = fetch("https://download.zarvo.test/downloads/pkg.tar?x=1");
    EXPECT_EQ(part.status(), 206);
    EXPECT_EQ(*part.data, "abcx=1");
    EXPECT_EQ(part.header("Content-Range"), "bytes 0-2/10");
    EXPECT_EQ(fetch("https://api.zarvo.test/downloads/pkg.tar").status(), 404);

    service->addWebSocketHandler("/rtc", [](SoupWebsocketConnection* connection,
                                            const devservice::RecordedRequest&) {
        soup_websocket_connection_send_text(connection, "hello");
        // Keep it open until the client closes it.
        g_object_ref(connection);
        g_signal_connect(
            connection, "closed",
            G_CALLBACK(+[](SoupWebsocketConnection* c, gpointer) { g_object_unref(c); }), nullptr);
    });
    struct Outcome {
        std::promise<std::string> message;
        SoupWebsocketConnection* connection = nullptr;
        SoupSession* session = nullptr;
    };
    Outcome outcome;
    auto received = outcome.message.get_future();
    net->invoke([&] {
        outcome.session = createServiceSession(deployment, "api.zarvo.test");
        SoupMessage* msg = soup_message_new("GET", "wss://api.zarvo.test/rtc");
        soup_session_websocket_connect_async(
            outcome.session, msg, nullptr, nullptr, G_PRIORITY_DEFAULT, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                auto* o = static_cast<Outcome*>(data);
                GError* error = nullptr;
                o->connection =
                    soup_session_websocket_connect_finish(SOUP_SESSION(source), result, &error);
                if (!o->connection) {
                    o->message.set_value(std::string("error: ") + error->message);
                    g_error_free(error);
                    return;
                }
                g_signal_connect(
                    o->connection, "message",
                    G_CALLBACK(+[](SoupWebsocketConnection*, gint, GBytes* bytes, gpointer data) {
                        gsize size = 0;
                        auto* text = static_cast<const char*>(g_bytes_get_data(bytes, &size));
                        static_cast<Outcome*>(data)->message.set_value(std::string(text, size));
                    }),
                    o);
            },
            &outcome);
        g_object_unref(msg);
    });
    ASSERT_EQ(received.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(received.get(), "hello");
    std::promise<void> closed;
    net->invoke([&] {
        if (outcome.connection) {
            g_signal_handlers_disconnect_matched(outcome.connection, G_SIGNAL_MATCH_DATA, 0, 0,
                                                 nullptr, nullptr, &outcome);
            soup_websocket_connection_close(outcome.connection, SOUP_WEBSOCKET_CLOSE_NORMAL,
                                            nullptr);
            g_object_unref(outcome.connection);
        }
        g_object_unref(outcome.session);
        closed.set_value();
    });
    closed.get_future().wait();
    auto records = service->requests();
    EXPECT_EQ(records.back().path, "/rtc");
}

} // namespace
} // namespace zarvo::test
