#include "media/rtc/ice_servers.h"

#include <cstdio>
#include <optional>

namespace zarvo {
namespace {

struct IceURL {
    std::string scheme; // "stun", "turn" or "turns"
    std::string hostPort;
    std::string transport; // "udp", "tcp" or empty
};

bool hostCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-';
}

bool addressCharacter(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' ||
           c == '.';
}

// "host", "host:port", "[v6]" or "[v6]:port"; the port is filled in when missing. Anything that
// could be read as another part of webrtcbin's URI ('@', '/', '?', '%', spaces) is refused.
std::optional<std::string> hostAndPort(const std::string& text, int defaultPort) {
    std::string host;
    std::optional<std::string> port; // present when a ':' follows the host
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close < 2)
            return std::nullopt;
        for (size_t i = 1; i < close; ++i)
            if (!addressCharacter(text[i]))
                return std::nullopt;
        host = text.substr(0, close + 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':')
                return std::nullopt;
            port = text.substr(close + 2);
        }
    } else {
        const size_t colon = text.find(':');
        host = text.substr(0, colon);
        if (colon != std::string::npos)
            port = text.substr(colon + 1);
        for (char c : host)
            if (!hostCharacter(c))
                return std::nullopt;
    }
    if (host.empty())
        return std::nullopt;
    int number = defaultPort;
    if (port) {
        if (port->empty() || port->size() > 5)
            return std::nullopt;
        number = 0;
        for (char c : *port) {
            if (c < '0' || c > '9')
                return std::nullopt;
            number = number * 10 + (c - '0');
        }
        if (number < 1 || number > 65535)
            return std::nullopt;
    }
    return host + ":" + std::to_string(number);
}

std::optional<IceURL> parseIceURL(const std::string& url) {
    IceURL parsed;
    const size_t colon = url.find(':');
    if (colon == std::string::npos)
        return std::nullopt;
    parsed.scheme = url.substr(0, colon);
    if (parsed.scheme != "stun" && parsed.scheme != "turn" && parsed.scheme != "turns")
        return std::nullopt;
    std::string rest = url.substr(colon + 1);
    const size_t query = rest.find('?');
    if (query != std::string::npos) {
        const std::string parameters = rest.substr(query + 1);
        rest.resize(query);
        if (parsed.scheme == "stun")
            return std::nullopt;
        if (parameters == "transport=udp" && parsed.scheme == "turn")
            parsed.transport = "udp";
        else if (parameters == "transport=tcp")
            parsed.transport = "tcp";
        else
            return std::nullopt;
    }
    auto hostPort = hostAndPort(rest, parsed.scheme == "turns" ? 5349 : 3478);
    if (!hostPort)
        return std::nullopt;
    parsed.hostPort = *hostPort;
    return parsed;
}

std::string percentEncoded(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            out += escaped;
        }
    }
    return out;
}

bool usable(const IceURL& url, const std::string& username, const std::string& credential) {
    return url.scheme == "stun" || (!username.empty() && !credential.empty());
}

} // namespace

std::vector<RTCIceServer> iceServersOf(const Json& credentials) {
    std::vector<RTCIceServer> servers;
    const Json* list = jsonMember(credentials, "ice_servers");
    if (!list || !list->is_array())
        return servers;
    for (const Json& entry : *list) {
        if (!entry.is_object())
            continue;
        RTCIceServer server;
        server.username = jsonString(entry, "username", "");
        server.credential = jsonString(entry, "credential", "");
        std::vector<std::string> urls;
        if (const Json* given = jsonMember(entry, "urls"); given && given->is_string())
            urls.push_back(given->get<std::string>());
        else if (given && given->is_array())
            for (const Json& url : *given)
                if (url.is_string())
                    urls.push_back(url.get<std::string>());
        for (auto& url : urls)
            if (auto parsed = parseIceURL(url);
                parsed && usable(*parsed, server.username, server.credential))
                server.urls.push_back(std::move(url));
        if (!server.urls.empty())
            servers.push_back(std::move(server));
    }
    return servers;
}

WebRTCIceURIs webrtcIceURIs(const std::vector<RTCIceServer>& servers) {
    WebRTCIceURIs uris;
    for (const auto& server : servers) {
        for (const auto& url : server.urls) {
            auto parsed = parseIceURL(url);
            if (!parsed || !usable(*parsed, server.username, server.credential))
                continue;
            if (parsed->scheme == "stun") {
                if (uris.stunServer.empty())
                    uris.stunServer = "stun://" + parsed->hostPort;
                continue;
            }
            // libnice in this stack speaks no TLS to a relay: a "turns:" URL would reach it over
            // plain TCP anyway, so it says so. The media stays DTLS-SRTP encrypted end to end,
            // and the long-term credential is never sent, only its message digests.
            const bool tls = parsed->scheme == "turns";
            std::string uri = "turn://" + percentEncoded(server.username) + ":" +
                              percentEncoded(server.credential) + "@" + parsed->hostPort;
            const std::string transport = tls ? "tcp" : parsed->transport;
            if (!transport.empty())
                uri += "?transport=" + transport;
            uris.turnServers.push_back(std::move(uri));
        }
    }
    return uris;
}

} // namespace zarvo
