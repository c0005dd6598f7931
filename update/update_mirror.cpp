#include "update/update_mirror.h"

#include "foundation/owned.h"
#include "service/service_endpoint.h"
#include "update/release_validation.h"
#include "update/url_error.h"

#include <glib.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace zarvo::UpdateMirror {

std::vector<std::string> manifests() {
    return {ServiceEndpoint::origin() + std::string(ReleaseValidation::downloadPath) +
            "latest.json"};
}

std::vector<std::string> packages(const ClientRelease& release) {
    auto uri = adoptRef(g_uri_parse(release.url.c_str(), G_URI_FLAGS_NONE, nullptr));
    if (!uri) {
        std::fputs("zarvo: a package URL does not parse\n", stderr);
        std::abort();
    }
    std::string path = g_uri_get_path(uri.get());
    std::vector<std::string> urls;
    for (const std::string& origin : {ServiceEndpoint::downloadOrigin(), ServiceEndpoint::origin()})
        urls.push_back(origin + path);
    return urls;
}

namespace {

struct ManifestWalk : std::enable_shared_from_this<ManifestWalk> {
    Fetch fetch;
    std::function<void(std::optional<ClientRelease>)> done;
    std::vector<std::string> urls = manifests();

    void attempt(size_t index) {
        auto self = shared_from_this();
        const std::string url = urls[index];
        fetch(url, [self, index, url](std::optional<std::string> body,
                                      std::optional<HttpResponseInfo> response,
                                      std::optional<Error> error) {
            if (auto release = self->accept(url, body, response, error))
                return self->done(std::move(release));
            if (index + 1 < self->urls.size())
                return self->attempt(index + 1);
            self->done(std::nullopt);
        });
    }

    static std::optional<ClientRelease> accept(const std::string& url,
                                               const std::optional<std::string>& body,
                                               const std::optional<HttpResponseInfo>& response,
                                               const std::optional<Error>& error) {
        if (error || !response || response->status != 200 || response->url != url || !body ||
            body->size() > ReleaseValidation::maximumManifestSize)
            return std::nullopt;
        auto json = parseJsonObject(*body);
        auto release = json ? ClientRelease::fromJson(*json) : std::nullopt;
        if (!release || !ReleaseValidation::trusted(*release))
            return std::nullopt;
        return release;
    }
};

} // namespace

void loadManifest(Fetch fetch, std::function<void(std::optional<ClientRelease>)> done) {
    auto walk = std::make_shared<ManifestWalk>();
    walk->fetch = std::move(fetch);
    walk->done = std::move(done);
    walk->attempt(0);
}

bool mayFallbackDownload(const std::optional<Error>& error, std::optional<int> status,
                         const std::optional<std::string>& responseURL,
                         const std::string& expected) {
    if (responseURL && *responseURL != expected)
        return false;
    if (error) {
        if (!URLError::isURLLoading(*error))
            return false;
        switch (error->code) {
        case URLError::kTimedOut:
        case URLError::kCannotFindHost:
        case URLError::kCannotConnectToHost:
        case URLError::kNetworkConnectionLost:
        case URLError::kDnsLookupFailed:
        case URLError::kNotConnectedToInternet:
            return true;
        default:
            return false;
        }
    }
    return retryableStatus(status.value_or(0));
}

bool retryableStatus(int status) {
    switch (status) {
    case 500:
    case 502:
    case 503:
    case 504:
    case 408:
    case 429:
        return true;
    default:
        return false;
    }
}

// Scanned by hand: a header can be long, and the standard library's regular expressions recurse
// once per character.
bool lengthText(std::string_view text) {
    if (!text.empty() && (text[0] == '+' || text[0] == '-'))
        text.remove_prefix(1);
    if (text.empty() || text.size() > 18)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

bool strongETag(std::string_view text) {
    if (text.size() < 3 || text.front() != '"' || text.back() != '"')
        return false;
    for (char c : text.substr(1, text.size() - 2))
        if (c < 0x21 || c > 0x7e || c == '"')
            return false;
    return true;
}

} // namespace zarvo::UpdateMirror
