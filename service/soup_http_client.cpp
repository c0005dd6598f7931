#include "service/soup_http_client.h"

#include "foundation/owned.h"

#include <gio/gio.h>
#include <libsoup/soup.h>

namespace zarvo {
namespace {

// Calls in flight to one host at most: every kind of call the client makes at once (state,
// current, start, stop, switch, billing pages, probes, downloads) with room to spare.
constexpr int kMaxConnectionsPerHost = 16;

// A GNetworkAddress that keeps the host name (so TLS sends it as the server name and checks the
// certificate against it) but connects to a fixed socket address: the stand-in's loopback port.
struct LoopbackAddress {
    GNetworkAddress parent;
    GSocketAddress* target;
};
struct LoopbackAddressClass {
    GNetworkAddressClass parentClass;
};

GType loopbackAddressGetType();

GSocketAddressEnumerator* loopbackEnumerate(GSocketConnectable* connectable) {
    auto* self = reinterpret_cast<LoopbackAddress*>(connectable);
    return g_socket_connectable_enumerate(G_SOCKET_CONNECTABLE(self->target));
}

void loopbackConnectableInit(gpointer gIface, gpointer) {
    auto* iface = static_cast<GSocketConnectableIface*>(gIface);
    iface->enumerate = loopbackEnumerate;
    // Loopback is reached directly, never through a proxy.
    iface->proxy_enumerate = loopbackEnumerate;
}

void loopbackFinalize(GObject* object) {
    auto* self = reinterpret_cast<LoopbackAddress*>(object);
    g_clear_object(&self->target);
    G_OBJECT_CLASS(g_type_class_peek_parent(G_OBJECT_GET_CLASS(object)))->finalize(object);
}

void loopbackClassInit(gpointer klass, gpointer) {
    G_OBJECT_CLASS(klass)->finalize = loopbackFinalize;
}
void loopbackInstanceInit(GTypeInstance* instance, gpointer) {
    reinterpret_cast<LoopbackAddress*>(instance)->target = nullptr;
}

GType loopbackAddressGetType() {
    static GType type = [] {
        GTypeInfo info{};
        info.class_size = sizeof(LoopbackAddressClass);
        info.class_init = loopbackClassInit;
        info.instance_size = sizeof(LoopbackAddress);
        info.instance_init = loopbackInstanceInit;
        GType t = g_type_register_static(G_TYPE_NETWORK_ADDRESS, "ZarvoLoopbackAddress", &info,
                                         GTypeFlags(0));
        GInterfaceInfo iface{};
        iface.interface_init = loopbackConnectableInit;
        g_type_add_interface_static(t, G_TYPE_SOCKET_CONNECTABLE, &iface);
        return t;
    }();
    return type;
}

GSocketConnectable* newLoopbackAddress(const std::string& host, const Deployment::Address& to) {
    auto* self = static_cast<LoopbackAddress*>(g_object_new(
        loopbackAddressGetType(), "hostname", host.c_str(), "port", guint(443), nullptr));
    self->target = g_inet_socket_address_new_from_string(to.ip.c_str(), to.port);
    return G_SOCKET_CONNECTABLE(self);
}

std::string hostOf(const std::string& url) {
    auto uri = adoptRef(g_uri_parse(url.c_str(), G_URI_FLAGS_NONE, nullptr));
    if (!uri)
        return {};
    const char* host = g_uri_get_host(uri.get());
    return host ? host : "";
}

struct PendingExchange {
    SendCompletion completion;
    GRef<SoupMessage> message;
    // Exchanges that end after the client is gone stay silent. They end on the context of the
    // thread that sent them, which is the one that destroys the client.
    OwnerWatch client;
};

void exchangeFinished(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<PendingExchange> pending(static_cast<PendingExchange*>(data));
    GErrorHolder error;
    auto bytes =
        adoptRef(soup_session_send_and_read_finish(SOUP_SESSION(source), result, error.out()));
    std::optional<std::string> body;
    std::optional<HttpResponse> response;
    std::optional<TransportError> failure;
    if (error) {
        failure = TransportError{error->message, g_error_matches(error.get(), G_IO_ERROR,
                                                                 G_IO_ERROR_TIMED_OUT) != FALSE};
    } else {
        HttpResponse r;
        r.status = int(soup_message_get_status(pending->message.get()));
        SoupMessageHeadersIter iter;
        soup_message_headers_iter_init(&iter,
                                       soup_message_get_response_headers(pending->message.get()));
        const char* name = nullptr;
        const char* value = nullptr;
        while (soup_message_headers_iter_next(&iter, &name, &value))
            r.headers.emplace_back(name, value);
        response = std::move(r);
        gsize size = 0;
        const void* raw = bytes ? g_bytes_get_data(bytes.get(), &size) : nullptr;
        body = std::string(static_cast<const char*>(raw ? raw : ""), size);
    }
    bytes.reset();
    auto completion = std::move(pending->completion);
    const bool alive = pending->client.alive();
    pending.reset();
    if (alive)
        completion(std::move(body), std::move(response), std::move(failure));
}

} // namespace

Result<TlsTrust> deploymentTrust(const Deployment& deployment) {
    if (deployment.caCertificate.empty())
        return TlsTrust{};
    GErrorHolder error;
    auto database =
        adoptRef(g_tls_file_database_new(deployment.caCertificate.c_str(), error.out()));
    if (!database)
        return unexpected(Error{"cannot load the CA certificate " + deployment.caCertificate +
                                    ": " + error.message("unknown error"),
                                1});
    return TlsTrust(database.release(), [](GTlsDatabase* d) { g_object_unref(d); });
}

SoupSession* createServiceSession(const Deployment& deployment, const std::string& host) {
    auto trust = deploymentTrust(deployment);
    if (!trust) {
        g_warning("zarvo: %s", trust.error().message.c_str());
        return nullptr;
    }
    GRef<GSocketConnectable> connectable;
    if (auto address = deployment.connectAddress(host))
        connectable = adoptRef(newLoopbackAddress(host, *address));
    // No timeout of libsoup's own: the caller's watchdog decides when an exchange has taken too
    // long. A new session has neither a cookie jar nor a cache. libsoup's default of two
    // connections per host would hold a health probe or a "live/stop" behind two slow calls
    // until their time-outs, and the probe's or the stop's own timer runs meanwhile.
    SoupSession* session = soup_session_new_with_options(
        "timeout", 0u, "remote-connectable", connectable.get(), "max-conns-per-host",
        kMaxConnectionsPerHost, "max-conns", kMaxConnectionsPerHost * 4, nullptr);
    if (*trust)
        soup_session_set_tls_database(session, trust->get());
    return session;
}

SoupHttpClient::SoupHttpClient(Deployment deployment) : deployment_(std::move(deployment)) {}

SoupHttpClient::~SoupHttpClient() {
    life_.invalidate(); // the aborts below end the exchanges in flight silently
    for (auto& [host, session] : sessions_)
        soup_session_abort(session.get());
}

SoupSession* SoupHttpClient::sessionFor(const std::string& host) {
    auto it = sessions_.find(host);
    if (it != sessions_.end())
        return it->second.get();
    auto session = adoptRef(createServiceSession(deployment_, host));
    if (!session)
        return nullptr;
    return (sessions_[host] = std::move(session)).get();
}

std::function<void()> SoupHttpClient::send(const HttpRequest& request, SendCompletion completion) {
    auto message = adoptRef(soup_message_new(request.method.c_str(), request.url.c_str()));
    if (!message) {
        completion(std::nullopt, std::nullopt, TransportError{"invalid URL " + request.url, false});
        return [] {};
    }
    soup_message_add_flags(message.get(), SOUP_MESSAGE_NO_REDIRECT);
    SoupMessageHeaders* headers = soup_message_get_request_headers(message.get());
    for (const auto& [name, value] : request.headers)
        soup_message_headers_append(headers, name.c_str(), value.c_str());
    if (request.body) {
        auto bytes = adoptRef(g_bytes_new(request.body->data(), request.body->size()));
        // No content type here: the caller's own header keeps its place in the order.
        soup_message_set_request_body_from_bytes(message.get(), nullptr, bytes.get());
    }
    SoupSession* session = sessionFor(hostOf(request.url));
    if (!session) {
        completion(std::nullopt, std::nullopt,
                   TransportError{"the deployment's CA certificate cannot be loaded", false});
        return [] {};
    }
    struct Cancellation {
        GRef<GCancellable> cancellable = adoptRef(g_cancellable_new());
        GRef<GMainContext> context = adoptRef(g_main_context_ref_thread_default());
    };
    auto cancellation = std::make_shared<Cancellation>();
    SoupMessage* sent = message.get();
    soup_session_send_and_read_async(
        session, sent, G_PRIORITY_DEFAULT, cancellation->cancellable.get(), exchangeFinished,
        new PendingExchange{std::move(completion), std::move(message), life_.watch()});
    // Cancel on the session's own context: libsoup reacts to cancellation on the calling thread.
    return [cancellation] {
        g_main_context_invoke_full(
            cancellation->context.get(), G_PRIORITY_DEFAULT,
            [](gpointer data) -> gboolean {
                g_cancellable_cancel(G_CANCELLABLE(data));
                return G_SOURCE_REMOVE;
            },
            retainRef(cancellation->cancellable.get()).release(), g_object_unref);
    };
}

} // namespace zarvo
