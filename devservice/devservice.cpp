#include "devservice/devservice.h"

#include "devservice/billing/billing_service.h"
#include "devservice/certificate_authority.h"
#include "foundation/atomic_file.h"
#include "foundation/encoding.h"
#include "foundation/owned.h"

#include <gio/gio.h>
#include <libsoup/soup.h>

#include <sys/stat.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace zarvo::devservice {
namespace {

const char* const kHostIDs[] = {"primary", "secondary", "download"};
// The record is for looking at what a client sent, not an archive: a bounded window.
constexpr size_t kRecordedRequests = 1000;
constexpr size_t kRecordedBodyBytes = 4096;
constexpr const char* kTooLarge = "zarvo-body-too-large";

std::string dumpJson(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void respond(SoupServerMessage* msg, int status, const Headers& headers, const std::string& body,
             const char* contentType) {
    soup_server_message_set_status(msg, guint(status), nullptr);
    SoupMessageHeaders* out = soup_server_message_get_response_headers(msg);
    bool typed = false;
    for (const auto& [name, value] : headers) {
        if (g_ascii_strcasecmp(name.c_str(), "Content-Type") == 0) {
            typed = true;
            contentType = nullptr;
        }
        soup_message_headers_append(out, name.c_str(), value.c_str());
    }
    (void)typed;
    soup_server_message_set_response(msg, contentType, SOUP_MEMORY_COPY, body.data(), body.size());
}

void respondJson(SoupServerMessage* msg, int status, const Json& body) {
    respond(msg, status, {}, dumpJson(body), "application/json");
}

// The token of "Authorization: Bearer <token>", empty when absent or malformed.
std::string bearerToken(const Headers& headers) {
    for (const auto& [name, value] : headers) {
        if (g_ascii_strcasecmp(name.c_str(), "Authorization") != 0)
            continue;
        if (value.size() > 7 && g_ascii_strncasecmp(value.c_str(), "Bearer ", 7) == 0) {
            std::string token = value.substr(7);
            if (token.find_first_of(" \t") == std::string::npos)
                return token;
        }
        return {};
    }
    return {};
}

std::vector<std::pair<std::string, std::string>> decodeQuery(const std::string& raw) {
    std::vector<std::pair<std::string, std::string>> out;
    if (raw.empty())
        return out;
    auto table = adoptRef(g_uri_parse_params(raw.c_str(), -1, "&", G_URI_PARAMS_NONE, nullptr));
    if (!table)
        return out;
    // Keep the order of the query text.
    for (size_t start = 0; start <= raw.size();) {
        size_t end = raw.find('&', start);
        if (end == std::string::npos)
            end = raw.size();
        std::string part = raw.substr(start, end - start);
        std::string key = part.substr(0, part.find('='));
        GOwned<char> decoded(g_uri_unescape_string(key.c_str(), nullptr));
        if (decoded)
            if (auto* value =
                    static_cast<const char*>(g_hash_table_lookup(table.get(), decoded.get())))
                out.emplace_back(decoded.get(), value);
        start = end + 1;
    }
    return out;
}

// The port the previous start's deployment file names for `host`, 0 when none.
uint16_t previousPort(const Json& deployment, const std::string& host) {
    const Json* connect = jsonMember(deployment, "connect");
    if (!connect || !connect->is_object())
        return 0;
    std::string address = jsonString(*connect, host, "");
    const std::string prefix = "127.0.0.1:";
    if (!address.starts_with(prefix))
        return 0;
    try {
        int port = std::stoi(address.substr(prefix.size()));
        return port > 0 && port < 65536 ? uint16_t(port) : 0;
    } catch (const std::exception&) {
        return 0;
    }
}

// "127.0.0.1" or "localhost", with or without a port.
bool isLoopbackHost(std::string_view host) {
    if (auto colon = host.rfind(':'); colon != std::string_view::npos)
        host = host.substr(0, colon);
    return host == "127.0.0.1" || host == "localhost";
}

} // namespace

std::string maskedAuthorization(std::string_view value) {
    auto space = value.find(' ');
    std::string_view scheme = space == std::string_view::npos ? "" : value.substr(0, space + 1);
    std::string_view credential = value.substr(scheme.size());
    std::string_view tail = credential.size() > 16 ? credential.substr(credential.size() - 4) : "";
    return std::string(scheme) + "****" + std::string(tail);
}

Json RecordedRequest::toJson() const {
    Json h = Json::array();
    for (const auto& [name, value] : headers)
        h.push_back(Json::array({name, value}));
    return Json{{"host", host},   {"method", method}, {"path", path},
                {"query", query}, {"headers", h},     {"body", body}};
}

std::filesystem::path defaultStateDirectory() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && *state && std::filesystem::path(state).is_absolute())
        return std::filesystem::path(state) / "zarvo-devservice";
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home ? home : "/tmp") / ".local/state/zarvo-devservice";
}

struct DevService::Impl {
    DevServiceOptions options;
    CertificateFiles certificates;

    mutable std::mutex mutex; // guards everything below that other threads read
    std::string token;
    std::string adminToken;
    Json deployment;
    Json extraDeployment = Json::object(); // members added by other concerns
    std::map<std::string, uint16_t> ports;
    std::map<std::string, uint16_t> reusePorts; // from the previous start's deployment file
    uint16_t adminPort = 0;
    std::shared_ptr<ApiHandler> api;
    bool defaultApi = false; // `api` is the built-in billing, remade for each start's loop
    struct PathRoute {
        std::string host, prefix;
        PathHandler handler;
    };
    std::vector<PathRoute> pathRoutes;
    std::deque<RecordedRequest> recorded; // at most kRecordedRequests
    FaultTable faults;

    // Server thread only.
    std::thread thread;
    GRef<GMainContext> context;
    GRef<GMainLoop> mainLoop;
    std::unique_ptr<GLibLoop> loop;
    std::map<std::string, GRef<SoupServer>> servers;
    GRef<SoupServer> admin;
    std::map<std::string, WebSocketHandler> webSockets;
    struct Held {
        GRef<SoupServerMessage> msg;
        bool gone = false;
        gulong finished = 0, disconnected = 0;
    };
    std::set<std::shared_ptr<Held>> held; // delayed or stalled messages
    bool running = false;

    Status<> prepare();
    Status<> startServers(); // on the server thread
    void stopServers();      // on the server thread
    Status<> writeDeployment();
    std::string hostName(const std::string& id) const {
        return id == "primary"     ? options.primaryHost
               : id == "secondary" ? options.secondaryHost
                                   : options.downloadHost;
    }

    RecordedRequest readRequest(const std::string& host, SoupServerMessage* msg, const char* path);
    void record(const RecordedRequest& request);
    void watchBody(SoupServerMessage* msg);
    void serve(const std::string& host, SoupServerMessage* msg, const char* path);
    void apply(const std::string& host, SoupServerMessage* msg, const RecordedRequest& request,
               const std::optional<Fault>& fault);
    void dispatch(const std::string& host, SoupServerMessage* msg, const RecordedRequest& request);
    void hold(SoupServerMessage* msg, const std::optional<Duration>& delay,
              std::function<void()> then);
    void serveAdmin(SoupServerMessage* msg, const char* path);
    void attachWebSocket(const std::string& path);
};

// ---- setup ----

Status<> DevService::Impl::prepare() {
    std::error_code ec;
    std::filesystem::create_directories(options.stateDirectory, ec);
    if (ec)
        return unexpected(Error{"cannot create " + options.stateDirectory.string(), 1});
    ::chmod(options.stateDirectory.c_str(), 0700); // it holds the CA's private key
    auto certs = ensureCertificates(
        options.stateDirectory, {options.primaryHost, options.secondaryHost, options.downloadHost});
    if (!certs)
        return unexpected(certs.error());
    certificates = *certs;
    if (auto previous = readFile(options.stateDirectory / "deployment.json"))
        if (auto json = parseJsonObject(*previous))
            for (const char* id : kHostIDs)
                reusePorts[id] = previousPort(*json, hostName(id));
    std::lock_guard lock(mutex);
    if (options.adminEndpoint) {
        adminToken = secureRandomHex(40);
        if (auto w = writeFileAtomically(options.stateDirectory / "admin-token", adminToken, 0600);
            !w)
            return unexpected(Error{w.error().message, 1});
    }
    token = options.accountToken;
    if (token.empty()) {
        auto tokenFile = options.stateDirectory / "account-token";
        auto stored = readFile(tokenFile);
        if (stored && !stored->empty() && stored->find_first_of(" \t\r\n") == std::string::npos) {
            token = *stored;
        } else {
            token = "zdev-" + secureRandomHex(40);
            if (auto w = writeFileAtomically(tokenFile, token, 0600); !w)
                return unexpected(Error{w.error().message, 1});
        }
    }
    return Ok{};
}

Status<> DevService::Impl::writeDeployment() {
    std::lock_guard lock(mutex);
    Json connect = Json::object();
    for (const char* id : kHostIDs)
        connect[hostName(id)] = "127.0.0.1:" + std::to_string(ports[id]);
    deployment =
        Json{{"primary_host", options.primaryHost},
             {"secondary_host", options.secondaryHost},
             {"download_host", options.downloadHost},
             {"ca_certificate", std::filesystem::absolute(certificates.caCertificate).string()},
             {"connect", connect},
             {"account_token", token},
             {"rtc_gateway", "wss://" + options.primaryHost + "/rtc"}};
    for (auto it = extraDeployment.begin(); it != extraDeployment.end(); ++it)
        deployment[it.key()] = it.value();
    // It holds the account token: owner-only from the moment it exists.
    auto written = writeFileAtomically(options.stateDirectory / "deployment.json",
                                       deployment.dump(2) + "\n", 0600);
    if (!written)
        return unexpected(Error{written.error().message, 1});
    return Ok{};
}

namespace {

// Listens on 127.0.0.1:`port` (0: any free port) and answers the port it got.
Result<uint16_t> listenOnLoopback(SoupServer* server, uint16_t port,
                                  SoupServerListenOptions flags) {
    auto loopback = adoptRef(g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4));
    auto address = adoptRef(g_inet_socket_address_new(loopback.get(), port));
    GErrorHolder error;
    if (!soup_server_listen(server, address.get(), flags, error.out()))
        return unexpected(Error{error.message(), 1});
    GSList* uris = soup_server_get_uris(server);
    uint16_t bound = 0;
    for (GSList* item = uris; item; item = item->next) {
        auto uri = adoptRef(static_cast<GUri*>(item->data));
        if (!bound)
            bound = uint16_t(g_uri_get_port(uri.get()));
    }
    g_slist_free(uris);
    return bound;
}

} // namespace

Status<> DevService::Impl::startServers() {
    GErrorHolder error;
    auto certificate = adoptRef(g_tls_certificate_new_from_files(
        certificates.certificate.c_str(), certificates.privateKey.c_str(), error.out()));
    if (!certificate)
        return unexpected(
            Error{std::string("cannot load the server certificate: ") + error.message(), 1});
    const std::map<std::string, uint16_t> wanted = {{"primary", options.primaryPort},
                                                    {"secondary", options.secondaryPort},
                                                    {"download", options.downloadPort}};
    for (const char* id : kHostIDs) {
        SoupServer* server =
            (servers[id] = adoptRef(soup_server_new("tls-certificate", certificate.get(),
                                                    "server-header", "zarvo-devservice", nullptr)))
                .get();
        auto* self = this;
        struct Context {
            Impl* impl;
            std::string host;
        };
        soup_server_add_handler(
            server, nullptr,
            [](SoupServer*, SoupServerMessage* msg, const char* path, GHashTable*, gpointer data) {
                auto* c = static_cast<Context*>(data);
                c->impl->serve(c->host, msg, path);
            },
            new Context{self, id}, [](gpointer data) { delete static_cast<Context*>(data); });
        g_signal_connect(server, "request-started",
                         G_CALLBACK(+[](SoupServer*, SoupServerMessage* msg, gpointer data) {
                             static_cast<Impl*>(data)->watchBody(msg);
                         }),
                         this);
        uint16_t port = wanted.at(id);
        auto listening =
            listenOnLoopback(server, port ? port : reusePorts[id], SOUP_SERVER_LISTEN_HTTPS);
        if (!listening && !port && reusePorts[id]) // the old port is taken: any will do
            listening = listenOnLoopback(server, 0, SOUP_SERVER_LISTEN_HTTPS);
        if (!listening)
            return unexpected(Error{std::string("cannot listen for the ") + id +
                                        " host: " + listening.error().message,
                                    1});
        std::lock_guard lock(mutex);
        ports[id] = *listening;
    }
    for (const auto& [path, handler] : webSockets)
        attachWebSocket(path);

    if (options.adminEndpoint) {
        admin = adoptRef(soup_server_new("server-header", "zarvo-devservice-admin", nullptr));
        soup_server_add_handler(
            admin.get(), nullptr,
            [](SoupServer*, SoupServerMessage* msg, const char* path, GHashTable*, gpointer data) {
                static_cast<Impl*>(data)->serveAdmin(msg, path);
            },
            this, nullptr);
        auto listening =
            listenOnLoopback(admin.get(), options.adminPort, SoupServerListenOptions(0));
        if (!listening)
            return unexpected(
                Error{"cannot listen for the admin endpoint: " + listening.error().message, 1});
        std::lock_guard lock(mutex);
        adminPort = *listening;
    }
    return Ok{};
}

namespace {

// A refusal written on a connection taken from the server: the server reads a declared body to
// its end before it answers, so an oversized one is answered from its headers here instead. The
// rest the client sends is read and dropped for a while before closing, so that closing with
// unread input (a reset) does not destroy the answer before the client has read it.
struct EarlyRefusal {
    GRef<GIOStream> stream;
    GRef<GCancellable> cancel = adoptRef(g_cancellable_new());
    std::string answer;
    char buffer[16 * 1024];
    size_t dropped = 0;
    guint timer = 0;

    static constexpr size_t kDropAtMost = 4 * 1024 * 1024;

    static void start(GIOStream* stolen, const std::string& body) {
        auto* self = new EarlyRefusal;
        self->stream = adoptRef(stolen);
        self->answer = "HTTP/1.1 413 Payload Too Large\r\nServer: zarvo-devservice\r\n"
                       "Content-Type: application/json\r\nConnection: close\r\n"
                       "Content-Length: " +
                       std::to_string(body.size()) + "\r\n\r\n" + body;
        self->timer = g_timeout_add_seconds_full(
            G_PRIORITY_DEFAULT, 10,
            [](gpointer data) {
                auto* self = static_cast<EarlyRefusal*>(data);
                self->timer = 0;
                g_cancellable_cancel(self->cancel.get());
                return G_SOURCE_REMOVE;
            },
            self, nullptr);
        g_output_stream_write_all_async(
            g_io_stream_get_output_stream(self->stream.get()), self->answer.data(),
            self->answer.size(), G_PRIORITY_DEFAULT, self->cancel.get(),
            [](GObject* out, GAsyncResult* result, gpointer data) {
                auto* self = static_cast<EarlyRefusal*>(data);
                if (!g_output_stream_write_all_finish(G_OUTPUT_STREAM(out), result, nullptr,
                                                      nullptr))
                    return self->close();
                self->drop();
            },
            self);
    }
    void drop() {
        g_input_stream_read_async(
            g_io_stream_get_input_stream(stream.get()), buffer, sizeof buffer, G_PRIORITY_DEFAULT,
            cancel.get(),
            [](GObject* in, GAsyncResult* result, gpointer data) {
                auto* self = static_cast<EarlyRefusal*>(data);
                gssize n = g_input_stream_read_finish(G_INPUT_STREAM(in), result, nullptr);
                if (n <= 0 || (self->dropped += size_t(n)) > kDropAtMost)
                    return self->close();
                self->drop();
            },
            this);
    }
    void close() {
        if (timer)
            g_source_remove(timer);
        // The client has its answer; nothing here waits for its side of the TLS goodbye.
        g_io_stream_close(stream.get(), nullptr, nullptr);
        delete this;
    }
};

} // namespace

// Refuses an oversized body before it is read: a declared Content-Length over the limit is
// answered from the headers, and a streamed body stops being kept once it passes the limit (the
// handler then answers 413).
void DevService::Impl::watchBody(SoupServerMessage* msg) {
    g_signal_connect(
        msg, "got-headers", G_CALLBACK(+[](SoupServerMessage* msg, gpointer data) {
            auto* impl = static_cast<Impl*>(data);
            SoupMessageHeaders* headers = soup_server_message_get_request_headers(msg);
            if (soup_message_headers_get_encoding(headers) != SOUP_ENCODING_CONTENT_LENGTH ||
                soup_message_headers_get_content_length(headers) <=
                    goffset(impl->options.maxBodyBytes))
                return;
            if (GIOStream* stolen = soup_server_message_steal_connection(msg))
                EarlyRefusal::start(stolen, dumpJson(Json{{"detail", "请求内容过大"}}));
        }),
        this);
    g_signal_connect(msg, "got-chunk",
                     G_CALLBACK(+[](SoupServerMessage* msg, GBytes*, gpointer data) {
                         auto* impl = static_cast<Impl*>(data);
                         SoupMessageBody* body = soup_server_message_get_request_body(msg);
                         if (body && body->length > goffset(impl->options.maxBodyBytes) &&
                             !g_object_get_data(G_OBJECT(msg), kTooLarge)) {
                             g_object_set_data(G_OBJECT(msg), kTooLarge, GINT_TO_POINTER(1));
                             soup_message_body_set_accumulate(body, FALSE);
                             soup_message_body_truncate(body);
                         }
                     }),
                     this);
}

void DevService::Impl::stopServers() {
    for (auto& entry : held) {
        g_signal_handler_disconnect(entry->msg.get(), entry->finished);
        g_signal_handler_disconnect(entry->msg.get(), entry->disconnected);
    }
    held.clear();
    for (auto& [id, server] : servers)
        soup_server_disconnect(server.get());
    servers.clear();
    if (admin) {
        soup_server_disconnect(admin.get());
        admin.reset();
    }
}

void DevService::Impl::attachWebSocket(const std::string& path) {
    for (const char* id : {"primary", "secondary"}) {
        struct Context {
            Impl* impl;
            std::string host, path;
        };
        soup_server_add_websocket_handler(
            servers[id].get(), path.c_str(), nullptr, nullptr,
            [](SoupServer*, SoupServerMessage* msg, const char* path,
               SoupWebsocketConnection* connection, gpointer data) {
                auto* c = static_cast<Context*>(data);
                RecordedRequest request = c->impl->readRequest(c->host, msg, path);
                c->impl->record(request);
                auto it = c->impl->webSockets.find(c->path);
                if (it != c->impl->webSockets.end())
                    it->second(connection, request);
            },
            new Context{this, id, path}, [](gpointer data) { delete static_cast<Context*>(data); });
    }
}

// ---- requests ----

RecordedRequest DevService::Impl::readRequest(const std::string& host, SoupServerMessage* msg,
                                              const char* path) {
    RecordedRequest r;
    r.host = host;
    r.method = soup_server_message_get_method(msg);
    r.path = path ? path : "/";
    const char* query = g_uri_get_query(soup_server_message_get_uri(msg));
    r.query = query ? query : "";
    SoupMessageHeadersIter iter;
    soup_message_headers_iter_init(&iter, soup_server_message_get_request_headers(msg));
    const char* name = nullptr;
    const char* value = nullptr;
    while (soup_message_headers_iter_next(&iter, &name, &value))
        r.headers.emplace_back(name, value);
    SoupMessageBody* body = soup_server_message_get_request_body(msg);
    if (body) {
        auto bytes = adoptRef(soup_message_body_flatten(body));
        gsize size = 0;
        const char* data = static_cast<const char*>(g_bytes_get_data(bytes.get(), &size));
        r.body.assign(data ? data : "", size);
    }
    return r;
}

void DevService::Impl::record(const RecordedRequest& request) {
    RecordedRequest kept = request;
    if (kept.body.size() > kRecordedBodyBytes)
        kept.body.resize(kRecordedBodyBytes);
    for (auto& [name, value] : kept.headers)
        if (g_ascii_strcasecmp(name.c_str(), "Authorization") == 0)
            value = maskedAuthorization(value);
    std::lock_guard lock(mutex);
    recorded.push_back(std::move(kept));
    while (recorded.size() > kRecordedRequests)
        recorded.pop_front();
}

void DevService::Impl::serve(const std::string& host, SoupServerMessage* msg, const char* path) {
    if (g_object_get_data(G_OBJECT(msg), kTooLarge))
        return respondJson(msg, 413, Json{{"detail", "请求内容过大"}});
    RecordedRequest request = readRequest(host, msg, path);
    record(request);
    std::optional<Fault> fault = faults.take(host, request.path);
    if (fault && (fault->stall || fault->delay > Duration::zero())) {
        std::optional<Duration> delay;
        if (!fault->stall)
            delay = fault->delay;
        hold(msg, delay, [this, host, msg, request, fault] { apply(host, msg, request, fault); });
        return;
    }
    apply(host, msg, request, fault);
}

void DevService::Impl::hold(SoupServerMessage* msg, const std::optional<Duration>& delay,
                            std::function<void()> then) {
    auto entry = std::make_shared<Held>();
    entry->msg = retainRef(msg);
    auto markGone =
        +[](SoupServerMessage*, gpointer data) { static_cast<Held*>(data)->gone = true; };
    entry->finished = g_signal_connect(msg, "finished", G_CALLBACK(markGone), entry.get());
    entry->disconnected = g_signal_connect(msg, "disconnected", G_CALLBACK(markGone), entry.get());
    held.insert(entry);
    soup_server_message_pause(msg);
    if (!delay)
        return; // stalled until the client gives up or the stand-in stops
    std::weak_ptr<Held> weak = entry;
    // The timer's handle lives in a holder that the timer itself releases.
    auto timer = std::make_shared<TimerHandle>();
    *timer = loop->postDelayed(*delay, [this, weak, timer, then = std::move(then)]() mutable {
        auto entry = weak.lock();
        if (!entry)
            return;
        held.erase(entry);
        g_signal_handler_disconnect(entry->msg.get(), entry->finished);
        g_signal_handler_disconnect(entry->msg.get(), entry->disconnected);
        if (!entry->gone) {
            then();
            soup_server_message_unpause(entry->msg.get());
        }
        timer.reset();
    });
}

void DevService::Impl::apply(const std::string& host, SoupServerMessage* msg,
                             const RecordedRequest& request, const std::optional<Fault>& fault) {
    if (fault) {
        if (fault->drop) {
            if (auto stream = adoptRef(soup_server_message_steal_connection(msg)))
                g_io_stream_close(stream.get(), nullptr, nullptr);
            return;
        }
        if (!fault->redirect.empty()) {
            respond(msg, 302, {{"Location", fault->redirect}},
                    dumpJson(Json{{"status", "ok"}, {"product", "Zarvo"}}), "application/json");
            return;
        }
        if (fault->status) {
            respondJson(msg, *fault->status, Json{{"detail", "故障注入：服务返回错误"}});
            return;
        }
        if (fault->nonObjectBody) {
            respond(msg, 200, {}, "[]", "application/json");
            return;
        }
    }
    dispatch(host, msg, request);
}

void DevService::Impl::dispatch(const std::string& host, SoupServerMessage* msg,
                                const RecordedRequest& request) {
    bool apiHost = host != "download";
    if (apiHost && request.path == "/health") {
        if (request.method != "GET" && request.method != "HEAD")
            return respondJson(msg, 405, Json{{"detail", "method not allowed"}});
        return respondJson(msg, 200, Json{{"status", "ok"}, {"product", "Zarvo"}});
    }
    if (apiHost && request.path.starts_with("/api/v1/")) {
        ApiRequest call;
        call.host = host;
        call.method = request.method;
        call.path = request.path.substr(8);
        call.query = decodeQuery(request.query);
        call.headers = request.headers;
        call.body = request.body;
        call.bearerToken = bearerToken(request.headers);
        // Asking for a sign-in code and signing in are the calls made without a token.
        bool signingIn = call.path == "auth/code" || call.path == "auth/login";
        if (call.bearerToken.empty() && !signingIn)
            return respondJson(msg, 401, Json{{"detail", "登录状态已失效，请重新登录"}});
        std::shared_ptr<ApiHandler> handler;
        {
            std::lock_guard lock(mutex);
            handler = api;
        }
        ApiResponse response = handler->handle(call);
        return respondJson(msg, response.status, response.body);
    }
    std::vector<PathRoute> routes;
    {
        std::lock_guard lock(mutex);
        routes = pathRoutes;
    }
    for (const auto& route : routes) {
        if ((route.host != "*" && route.host != host) || !request.path.starts_with(route.prefix))
            continue;
        if (auto reply = route.handler(request)) {
            respond(msg, reply->status, reply->headers, reply->body, "application/octet-stream");
            return;
        }
    }
    respondJson(msg, 404, Json{{"detail", "not found"}});
}

// ---- admin endpoint ----

void DevService::Impl::serveAdmin(SoupServerMessage* msg, const char* rawPath) {
    std::string path = rawPath ? rawPath : "/";
    std::string method = soup_server_message_get_method(msg);
    // Only a local program that read the token file may drive it: a web page in a browser on
    // this machine can reach 127.0.0.1 too, but sends an Origin (or a rebinding Host).
    SoupMessageHeaders* in = soup_server_message_get_request_headers(msg);
    const char* host = soup_message_headers_get_one(in, "Host");
    if (!host || !isLoopbackHost(host) || soup_message_headers_get_one(in, "Origin"))
        return respondJson(msg, 403, Json{{"detail", "只接受本机程序的管理请求"}});
    Headers headers;
    if (const char* authorization = soup_message_headers_get_one(in, "Authorization"))
        headers.emplace_back("Authorization", authorization);
    std::string expected;
    {
        std::lock_guard lock(mutex);
        expected = adminToken;
    }
    if (!constantTimeEquals(bearerToken(headers), expected) || expected.empty())
        return respondJson(msg, 401, Json{{"detail", "管理令牌无效"}});
    if (path == "/requests") {
        if (method == "DELETE") {
            std::lock_guard lock(mutex);
            recorded.clear();
            return respondJson(msg, 200, Json::object());
        }
        Json list = Json::array();
        std::lock_guard lock(mutex);
        for (const auto& r : recorded)
            list.push_back(r.toJson());
        return respondJson(msg, 200, list);
    }
    if (path == "/faults") {
        if (method == "DELETE") {
            faults.clear();
            return respondJson(msg, 200, Json::object());
        }
        if (method == "POST") {
            RecordedRequest r = readRequest("admin", msg, rawPath);
            auto json = parseJsonObject(r.body);
            // {"network": {...}} sets the one network fault, {"network": null} lifts it.
            if (const Json* member = json ? jsonMember(*json, "network") : nullptr) {
                if (member->is_null()) {
                    faults.setNetwork(std::nullopt);
                    return respondJson(msg, 200, Json{{"network", nullptr}});
                }
                auto network = NetworkFault::fromJson(*member);
                if (!network)
                    return respondJson(msg, 400, Json{{"detail", network.error().message}});
                faults.setNetwork(*network);
                return respondJson(msg, 200, Json{{"network", network->toJson()}});
            }
            auto fault = json ? Fault::fromJson(*json)
                              : Result<Fault>(unexpected(Error{"not a JSON object", 400}));
            if (!fault)
                return respondJson(msg, 400, Json{{"detail", fault.error().message}});
            faults.add(*fault);
            return respondJson(msg, 200, fault->toJson());
        }
        Json list = Json::array();
        for (const auto& f : faults.list())
            list.push_back(f.toJson());
        if (auto network = faults.network())
            list.push_back(Json{{"network", network->toJson()}});
        return respondJson(msg, 200, list);
    }
    if (path == "/deployment") {
        std::lock_guard lock(mutex);
        return respondJson(msg, 200, deployment);
    }
    if (path.starts_with("/auth/")) {
        std::shared_ptr<ApiHandler> handler;
        {
            std::lock_guard lock(mutex);
            handler = api;
        }
        std::string body = method == "POST" ? readRequest("admin", msg, rawPath).body : "";
        if (handler)
            if (auto reply = handler->handleAdmin(method, path, body))
                return respondJson(msg, reply->status, reply->body);
    }
    respondJson(msg, 404,
                Json{{"detail", "GET|DELETE /requests, GET|POST|DELETE /faults, GET /deployment, "
                                "GET /auth/outbox, POST /auth/revoke"}});
}

// ---- public face ----

DevService::DevService(DevServiceOptions options) : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
}

DevService::~DevService() {
    stop();
}

Status<> DevService::start() {
    if (impl_->running)
        return Ok{};
    if (auto prepared = impl_->prepare(); !prepared)
        return prepared;
    std::mutex m;
    std::condition_variable cv;
    bool ready = false;
    std::optional<Error> failure;
    Impl* impl = impl_.get();
    impl->context = adoptRef(g_main_context_new());
    impl->mainLoop = adoptRef(g_main_loop_new(impl->context.get(), FALSE));
    impl->thread = std::thread([impl, &m, &cv, &ready, &failure] {
        g_main_context_push_thread_default(impl->context.get());
        impl->loop = std::make_unique<GLibLoop>(impl->context.get());
        {
            // Accounts and billing answer the API unless a test put its own handler in place.
            std::lock_guard lock(impl->mutex);
            if (!impl->api || impl->defaultApi) {
                BillingConfig billing;
                billing.accounts.emplace_back().token = impl->token;
                impl->api = std::make_shared<BillingService>(*impl->loop, billing);
                impl->defaultApi = true;
            }
        }
        auto started = impl->startServers();
        {
            std::lock_guard lock(m);
            if (!started)
                failure = started.error();
            ready = true;
        }
        cv.notify_all();
        if (started)
            g_main_loop_run(impl->mainLoop.get());
        impl->stopServers();
        // Let the servers' closing work finish before the context goes.
        while (g_main_context_iteration(impl->context.get(), FALSE)) {
        }
        impl->loop.reset();
        g_main_context_pop_thread_default(impl->context.get());
    });
    {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return ready; });
    }
    if (failure) {
        impl->thread.join();
        impl->mainLoop.reset();
        impl->context.reset();
        return unexpected(*failure);
    }
    impl->running = true;
    return impl->writeDeployment();
}

void DevService::stop() {
    if (!impl_->running)
        return;
    impl_->running = false;
    g_main_context_invoke(
        impl_->context.get(),
        [](gpointer data) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(data));
            return G_SOURCE_REMOVE;
        },
        impl_->mainLoop.get());
    impl_->thread.join();
    impl_->mainLoop.reset();
    impl_->context.reset();
}

GLibLoop& DevService::loop() {
    return *impl_->loop;
}

void DevService::runOnServer(const std::function<void()>& task) {
    if (!impl_->running || impl_->loop->isLoopThread()) {
        task();
        return;
    }
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    impl_->loop->post([&] {
        task();
        std::lock_guard lock(m);
        done = true;
        cv.notify_all();
    });
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return done; });
}

std::filesystem::path DevService::deploymentFile() const {
    return impl_->options.stateDirectory / "deployment.json";
}
std::filesystem::path DevService::caCertificate() const {
    return impl_->certificates.caCertificate;
}

Json DevService::deployment() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->deployment;
}

uint16_t DevService::port(const std::string& host) const {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->ports.find(host);
    return it == impl_->ports.end() ? 0 : it->second;
}

uint16_t DevService::adminPort() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->adminPort;
}

std::string DevService::adminToken() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->adminToken;
}

std::string DevService::accountToken() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->token;
}

void DevService::setAccountToken(const std::string& token) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->token = token;
        impl_->options.accountToken = token;
    }
    if (impl_->running)
        (void)impl_->writeDeployment();
}

void DevService::setDeploymentMember(const std::string& key, Json value) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->extraDeployment[key] = std::move(value);
    }
    if (impl_->running)
        (void)impl_->writeDeployment();
}

void DevService::setApiHandler(std::shared_ptr<ApiHandler> handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->api = std::move(handler);
    impl_->defaultApi = false;
}

void DevService::addWebSocketHandler(const std::string& path, WebSocketHandler handler) {
    runOnServer([&] {
        bool fresh = impl_->webSockets.find(path) == impl_->webSockets.end();
        impl_->webSockets[path] = std::move(handler);
        if (fresh && impl_->running)
            impl_->attachWebSocket(path);
    });
}

void DevService::addPathHandler(const std::string& host, const std::string& pathPrefix,
                                PathHandler handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->pathRoutes.push_back({host, pathPrefix, std::move(handler)});
}

SoupServer* DevService::server(const std::string& host) const {
    auto it = impl_->servers.find(host);
    return it == impl_->servers.end() ? nullptr : it->second.get();
}

FaultTable& DevService::faults() {
    return impl_->faults;
}

void DevService::failHealth(const std::string& host) {
    Fault fault;
    fault.host = host;
    fault.path = "/health";
    fault.status = 503;
    impl_->faults.add(fault);
}

std::vector<RecordedRequest> DevService::requests() const {
    std::lock_guard lock(impl_->mutex);
    return {impl_->recorded.begin(), impl_->recorded.end()};
}

void DevService::clearRequests() {
    std::lock_guard lock(impl_->mutex);
    impl_->recorded.clear();
}

} // namespace zarvo::devservice
