// Where a release is fetched from: the manifest URL list and the package URLs on the download
// host and the primary API host, with the rules for moving from one to the next.
#pragma once

#include "foundation/result.h"
#include "update/client_release.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zarvo {

struct HttpResponseInfo {
    int status = 0;
    std::string url; // the final URL of the response
};

namespace UpdateMirror {

using FetchReply =
    std::function<void(std::optional<std::string> body, std::optional<HttpResponseInfo> response,
                       std::optional<Error> error)>;
// fetch(url, reply) must call reply exactly once.
using Fetch = std::function<void(const std::string& url, FetchReply reply)>;

std::vector<std::string> manifests();
// The release's package path on [download host, primary API host], in this order.
std::vector<std::string> packages(const ClientRelease& release);

// Walks `manifests` until one answers with an acceptable, trusted manifest; done is called once.
void loadManifest(Fetch fetch, std::function<void(std::optional<ClientRelease>)> done);

// Whether a failed package download may move on to the next package URL.
bool mayFallbackDownload(const std::optional<Error>& error, std::optional<int> status,
                         const std::optional<std::string>& responseURL,
                         const std::string& expected);

// Whether an HTTP status says the host is busy or failing for now (timeouts, overload, server
// errors): another host or a later try may answer.
bool retryableStatus(int status);

// A part's response headers, as the parallel download accepts them: a Content-Length of an
// optional sign and 1 to 18 digits, and a strong ETag (a quoted run of visible characters
// without '"').
bool lengthText(std::string_view text);
bool strongETag(std::string_view text);

} // namespace UpdateMirror
} // namespace zarvo
