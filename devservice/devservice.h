// The service stand-in, in process: three HTTPS listeners on loopback (primary and secondary API
// host, download host) with the stand-in's own CA, a deployment file for ZARVO_DEPLOYMENT, the
// health probe, the API front with its bearer check, fault injection and a record of requests.
// The servers run on their own thread with their own GMainContext; handlers run there.
#pragma once

#include "devservice/api_handler.h"
#include "devservice/fault_injection.h"
#include "foundation/glib_loop.h"
#include "foundation/json.h"
#include "foundation/result.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

typedef struct _SoupServer SoupServer;
typedef struct _SoupWebsocketConnection SoupWebsocketConnection;

namespace zarvo::devservice {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct DevServiceOptions {
    std::filesystem::path stateDirectory; // CA, certificate, deployment file; created when missing
    std::string primaryHost = "api.zarvo.test";
    std::string secondaryHost = "api2.zarvo.test";
    std::string downloadHost = "download.zarvo.test";
    // 0: the port of the previous start's deployment file when it is free, else an ephemeral one.
    uint16_t primaryPort = 0;
    uint16_t secondaryPort = 0;
    uint16_t downloadPort = 0;
    // The plain-HTTP admin listener on 127.0.0.1. Every call needs "Authorization: Bearer" with
    // the admin token (made at random on each start, kept 0600 in the state folder as
    // "admin-token"), a loopback Host and no Origin, so no web page can drive it.
    bool adminEndpoint = false;
    uint16_t adminPort = 0;
    // Request bodies above this are refused with 413: from Content-Length before reading, and a
    // streamed body is no longer kept once it passes the limit.
    size_t maxBodyBytes = 16 * 1024 * 1024;
    // The development account's bearer token; empty: the one kept in the state folder
    // ("account-token"), made at random on first start.
    std::string accountToken;
};

// One request as received (the record tests read, and what path handlers get).
struct RecordedRequest {
    std::string host; // "primary", "secondary" or "download"
    std::string method;
    std::string path;  // without the query
    std::string query; // raw, without "?"; empty when none
    Headers headers;   // in the order received
    std::string body;
    Json toJson() const;
};

struct HttpReply {
    int status = 200;
    Headers headers; // "Content-Type" defaults to "application/octet-stream" when absent
    std::string body;
};

// A handler for paths outside "/api/v1/" and "/health" (release manifest, package downloads).
// Answers none to pass the request on (404 when nobody answers).
using PathHandler = std::function<std::optional<HttpReply>(const RecordedRequest& request)>;
// Takes an accepted WebSocket (keep a reference with g_object_ref to hold it open).
using WebSocketHandler =
    std::function<void(SoupWebsocketConnection* connection, const RecordedRequest& request)>;

class DevService {
public:
    explicit DevService(DevServiceOptions options);
    ~DevService(); // stops the servers and joins their thread
    DevService(const DevService&) = delete;
    DevService& operator=(const DevService&) = delete;

    // Makes the certificates, starts the listeners and writes the deployment file.
    Status<> start();
    void stop();

    // The server thread's loop (valid after start); business logic runs on it.
    GLibLoop& loop();
    // Runs `task` on the server thread and waits for it.
    void runOnServer(const std::function<void()>& task);

    std::filesystem::path deploymentFile() const;
    std::filesystem::path caCertificate() const;
    Json deployment() const;                      // the deployment file's content
    uint16_t port(const std::string& host) const; // "primary", "secondary", "download"
    uint16_t adminPort() const;
    std::string adminToken() const;
    std::string accountToken() const;
    // Changes the development account's token and rewrites the deployment file.
    void setAccountToken(const std::string& token);
    // Adds a member to the deployment file (for example the release signing key) and rewrites it.
    void setDeploymentMember(const std::string& key, Json value);

    // The business logic behind "/api/v1/"; called on the server thread. By default a
    // BillingService whose development account has the deployment's token (installBilling sets
    // one up with settings). Missing or malformed bearer credentials are refused with 401 before
    // the handler is asked.
    void setApiHandler(std::shared_ptr<ApiHandler> handler);
    // Serves WebSockets at `path` on both API hosts (for example "/rtc").
    void addWebSocketHandler(const std::string& path, WebSocketHandler handler);
    // Tried in the order added; `host` is "primary", "secondary", "download" or "*".
    void addPathHandler(const std::string& host, const std::string& pathPrefix,
                        PathHandler handler);
    // The SoupServer of a host (server thread only), for handlers that need libsoup itself.
    SoupServer* server(const std::string& host) const;

    FaultTable& faults();
    // Shorthand: "/health" on `host` answers 503 until the faults are cleared.
    void failHealth(const std::string& host);

    // The last 1000 requests, oldest first; bodies cut to 4 KiB and Authorization values masked.
    std::vector<RecordedRequest> requests() const;
    void clearRequests();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// How the record shows an Authorization value: the scheme and the credential's last four
// characters ("Bearer ****3f9a"), enough to tell tokens apart without keeping them.
std::string maskedAuthorization(std::string_view value);

// $XDG_STATE_HOME/zarvo-devservice, else ~/.local/state/zarvo-devservice.
std::filesystem::path defaultStateDirectory();

} // namespace zarvo::devservice
