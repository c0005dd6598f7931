#include "service/soup_http_client.h"

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
    GUri* uri = g_uri_parse(url.c_str(), G_URI_FLAGS_NONE, nullptr);
    if (!uri)
        return {};
    std::string host = g_uri_get_host(uri) ? g_uri_get_host(uri) : "";
    g_uri_unref(uri);
    return host;
}

struct PendingExchange {
    SendCompletion completion;
    SoupMessage* message;
    std::shared_ptr<bool> clientAlive; // exchanges that end after the client is gone stay silent
};

void exchangeFinished(GObject* source, GAsyncResult* result, gpointer data) {
    auto* pending = static_cast<PendingExchange*>(data);
    GError* error = nullptr;
    GBytes* bytes = soup_session_send_and_read_finish(SOUP_SESSION(source), result, &error);
    std::optional<std::string> body;
    std::optional<HttpResponse> response;
    std::optional<TransportError> failure;
    if (error) {
        failure = TransportError{error->message,
                                 g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT) != FALSE};
        g_error_free(error);
    } else {
        HttpResponse r;
        r.status = int(soup_message_get_status(pending->message));
        SoupMessageHeadersIter iter;
        soup_message_headers_iter_init(&iter, soup_message_get_response_headers(pending->message));
        const char* name = nullptr;
        const char* value = nullptr;
        while (soup_message_headers_iter_next(&iter, &name, &value))
            r.headers.emplace_back(name, value);
        response = std::move(r);
        gsize size = 0;
        const void* raw = bytes ? g_bytes_get_data(bytes, &size) : nullptr;
        body = std::string(static_cast<const char*>(raw ? raw : ""), size);
    }
    if (bytes)
        g_bytes_unref(bytes);
    g_object_unref(pending->message);
    auto completion = std::move(pending->completion);
    bool alive = *pending->clientAlive;
    delete pending;
    if (alive)
        completion(std::move(body), std::move(response), std::move(failure));
}

} // namespace

Result<TlsTrust> deploymentTrust(const Deployment& deployment) {
    if (deployment.caCertificate.empty())
        return TlsTrust{};
    GError* error = nullptr;
    GTlsDatabase* database = g_tls_file_database_new(deployment.caCertificate.c_str(), &error);
    if (!database) {
        std::string message = "cannot load the CA certificate " + deployment.caCertificate + ": " +
                              (error ? error->message : "unknown error");
        if (error)
            g_error_free(error);
        return unexpected(Error{message, 1});
    }
    return TlsTrust(database, [](GTlsDatabase* d) { g_object_unref(d); });
}

SoupSession* createServiceSession(const Deployment& deployment, const std::string& host) {
    auto trust = deploymentTrust(deployment);
    if (!trust) {
        g_warning("zarvo: %s", trust.error().message.c_str());
        return nullptr;
    }
    GSocketConnectable* connectable = nullptr;
    if (auto address = deployment.connectAddress(host))
        connectable = newLoopbackAddress(host, *address);
    // No timeout of libsoup's own: the caller's watchdog decides when an exchange has taken too
    // long. A new session has neither a cookie jar nor a cache. libsoup's default of two
    // connections per host would hold a health probe or a "live/stop" behind two slow calls
    // until their time-outs, and the probe's or the stop's own timer runs meanwhile.
    SoupSession* session = soup_session_new_with_options(
        "timeout", 0u, "remote-connectable", connectable, "max-conns-per-host",
        kMaxConnectionsPerHost, "max-conns", kMaxConnectionsPerHost * 4, nullptr);
    if (connectable)
        g_object_unref(connectable);
    if (*trust)
        soup_session_set_tls_database(session, trust->get());
    return session;
}

SoupHttpClient::SoupHttpClient(Deployment deployment) : deployment_(std::move(deployment)) {}

SoupHttpClient::~SoupHttpClient() {
    *alive_ = false;
    for (auto& [host, session] : sessions_) {
        soup_session_abort(session);
        g_object_unref(session);
    }
}

SoupSession* SoupHttpClient::sessionFor(const std::string& host) {
    auto it = sessions_.find(host);
    if (it != sessions_.end())
        return it->second;
    SoupSession* session = createServiceSession(deployment_, host);
    if (session)
        sessions_[host] = session;
    return session;
}

std::function<void()> SoupHttpClient::send(const HttpRequest& request, SendCompletion completion) {
    SoupMessage* message = soup_message_new(request.method.c_str(), request.url.c_str());
    if (!message) {
        completion(std::nullopt, std::nullopt, TransportError{"invalid URL " + request.url, false});
        return [] {};
    }
    soup_message_add_flags(message, SOUP_MESSAGE_NO_REDIRECT);
    SoupMessageHeaders* headers = soup_message_get_request_headers(message);
    for (const auto& [name, value] : request.headers)
        soup_message_headers_append(headers, name.c_str(), value.c_str());
    if (request.body) {
        GBytes* bytes = g_bytes_new(request.body->data(), request.body->size());
        // No content type here: the caller's own header keeps its place in the order.
        soup_message_set_request_body_from_bytes(message, nullptr, bytes);
        g_bytes_unref(bytes);
    }
    SoupSession* session = sessionFor(hostOf(request.url));
    if (!session) {
        g_object_unref(message);
        completion(std::nullopt, std::nullopt,
                   TransportError{"the deployment's CA certificate cannot be loaded", false});
        return [] {};
    }
    struct Cancellation {
        GCancellable* cancellable = g_cancellable_new();
        GMainContext* context = g_main_context_ref_thread_default();
        ~Cancellation() {
            g_object_unref(cancellable);
            g_main_context_unref(context);
        }
    };
    auto cancellation = std::make_shared<Cancellation>();
    soup_session_send_and_read_async(session, message, G_PRIORITY_DEFAULT,
                                     cancellation->cancellable, exchangeFinished,
                                     new PendingExchange{std::move(completion), message, alive_});
    // Cancel on the session's own context: libsoup reacts to cancellation on the calling thread.
    return [cancellation] {
        g_main_context_invoke_full(
            cancellation->context, G_PRIORITY_DEFAULT,
            [](gpointer data) -> gboolean {
                g_cancellable_cancel(G_CANCELLABLE(data));
                return G_SOURCE_REMOVE;
            },
            g_object_ref(cancellation->cancellable), g_object_unref);
    };
}

} // namespace zarvo
