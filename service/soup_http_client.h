// HTTP exchanges on libsoup 3 for the service's hosts: no cookies, no cache, redirects refused (a
// 3xx is the final response). For a development deployment each host's session trusts the
// deployment's CA and connects to the host's loopback address while the URL, the TLS server name
// and the certificate check keep the bare host name.
#pragma once

#include "service/deployment.h"
#include "service/route_transport.h"

#include <functional>
#include <map>
#include <memory>
#include <string>

typedef struct _SoupSession SoupSession;

namespace zarvo {

// A SoupSession for one host of the deployment (a new reference; g_object_unref it), or none
// when the deployment's CA cannot be loaded. Other
// transports (update downloads, the RTC signalling WebSocket) use it to reach the same hosts.
SoupSession* createServiceSession(const Deployment& deployment, const std::string& host);

// Create, use and destroy on one thread; completions run on the thread-default main context that
// was current when send was called.
class SoupHttpClient {
public:
    explicit SoupHttpClient(Deployment deployment);
    ~SoupHttpClient();
    SoupHttpClient(const SoupHttpClient&) = delete;
    SoupHttpClient& operator=(const SoupHttpClient&) = delete;

    // Starts one exchange; completion is called exactly once, also when cancelled (with an
    // error), but never after the client is destroyed. The returned function cancels it (safe
    // from any thread).
    std::function<void()> send(const HttpRequest& request, SendCompletion completion);

    // The session for a host (owned by this client), created on first use.
    SoupSession* sessionFor(const std::string& host);

private:
    Deployment deployment_;
    std::map<std::string, SoupSession*> sessions_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace zarvo
