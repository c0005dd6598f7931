// The relays in a start reply's "rtc" credentials: whatever the service sends, the engine is given
// only URIs of webrtcbin's two forms whose every part is where it belongs: the host and port as
// given, the user name and credential percent-encoded so that they decode back unchanged and
// nothing in them can move the host, the port or the transport.
#include "fuzz/fuzz_support.h"
#include "media/rtc/ice_servers.h"

namespace {

using namespace zarvo;

bool unreserved(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The percent-encoded text decoded; none when it holds anything but unreserved characters and
// upper-case escapes.
std::optional<std::string> decoded(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (unreserved(text[i])) {
            out += text[i];
            continue;
        }
        if (text[i] != '%' || i + 2 >= text.size())
            return std::nullopt;
        const int high = hexValue(text[i + 1]), low = hexValue(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

// "host:port" with a host of name characters or a bracketed address, and a port of 1 to 65535.
bool hostAndPort(std::string_view text) {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0)
        return false;
    const std::string_view host = text.substr(0, colon), port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5)
        return false;
    int number = 0;
    for (char c : port) {
        if (c < '0' || c > '9')
            return false;
        number = number * 10 + (c - '0');
    }
    if (number < 1 || number > 65535)
        return false;
    if (host.front() == '[')
        return host.back() == ']' &&
               host.find_first_not_of("0123456789abcdefABCDEF:.", 1) == host.size() - 1;
    return host.find_first_not_of(
               "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") ==
           std::string_view::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto credentials = parseJsonObject(fuzz::text(data, size));
    if (!credentials)
        return 0;
    const auto servers = iceServersOf(*credentials);
    size_t turnURLs = 0;
    for (const auto& server : servers) {
        ZARVO_FUZZ_CHECK(!server.urls.empty());
        for (const auto& url : server.urls)
            if (!url.starts_with("stun:"))
                turnURLs++;
    }
    const auto uris = webrtcIceURIs(servers);
    ZARVO_FUZZ_CHECK(uris.turnServers.size() == turnURLs);
    if (!uris.stunServer.empty()) {
        ZARVO_FUZZ_CHECK(uris.stunServer.starts_with("stun://"));
        ZARVO_FUZZ_CHECK(hostAndPort(std::string_view(uris.stunServer).substr(7)));
    }
    for (const auto& uri : uris.turnServers) {
        ZARVO_FUZZ_CHECK(uri.starts_with("turn://"));
        std::string_view rest = std::string_view(uri).substr(7);
        const size_t at = rest.find('@');
        ZARVO_FUZZ_CHECK(at != std::string_view::npos && rest.find('@', at + 1) == rest.npos);
        const std::string_view userinfo = rest.substr(0, at);
        std::string_view address = rest.substr(at + 1);
        if (const size_t query = address.find('?'); query != address.npos) {
            const std::string_view transport = address.substr(query);
            ZARVO_FUZZ_CHECK(transport == "?transport=udp" || transport == "?transport=tcp");
            address = address.substr(0, query);
        }
        ZARVO_FUZZ_CHECK(hostAndPort(address));
        const size_t colon = userinfo.find(':');
        ZARVO_FUZZ_CHECK(colon != userinfo.npos && userinfo.find(':', colon + 1) == userinfo.npos);
        const auto user = decoded(userinfo.substr(0, colon));
        const auto secret = decoded(userinfo.substr(colon + 1));
        ZARVO_FUZZ_CHECK(user && secret);
        // It is one of the servers' own user name and credential, unchanged.
        bool found = false;
        for (const auto& server : servers)
            found = found || (server.username == *user && server.credential == *secret);
        ZARVO_FUZZ_CHECK(found);
    }
    return 0;
}
