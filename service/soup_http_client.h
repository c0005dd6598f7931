// HTTP exchanges on libsoup 3 for the service's hosts: no cookies, no cache, redirects refused (a
// 3xx is the final response). For a development deployment each host's session trusts the
// deployment's CA and connects to the host's loopback address while the URL, the TLS server name
// and the certificate check keep the bare host name.
#pragma once

#include "foundation/owned.h"
#include "foundation/weak_owner.h"
#include "service/deployment.h"
#include "service/route_transport.h"

#include <functional>
#include <map>
#include <memory>
#include <string>

typedef struct _SoupSession SoupSession;
typedef struct _GTlsDatabase GTlsDatabase;

namespace zarvo {

// Certificates trusted for the deployment's hosts; none means the system's trust store.
using TlsTrust = std::shared_ptr<GTlsDatabase>;

// The one place the trust for the deployment's hosts is built, for every transport that reaches
// them (service calls, downloads, the RTC signalling): the deployment's CA alone when it names
// one, else the system's trust. A CA that does not load is an error, never a fall-back.
Result<TlsTrust> deploymentTrust(const Deployment& deployment);

// A SoupSession for one host of the deployment (a new reference; g_object_unref it), or none
// when the deployment's CA cannot be loaded. Every session allows enough connections per host
// that a probe or a stop never queues behind slow calls. The update download and the diagnostics
// upload use it to reach the same hosts; the RTC signalling takes only deploymentTrust.
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
    std::map<std::string, GRef<SoupSession>> sessions_;
    WeakOwner life_;
};

} // namespace zarvo
