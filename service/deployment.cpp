#include "service/deployment.h"

#include "foundation/atomic_file.h"
#include "foundation/encoding.h"
#include "foundation/owned.h"
#include "service_hosts.h"

#include <gio/gio.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace zarvo {
namespace {

std::string decodeHost(const char* base64, const char* what) {
    auto decoded = base64Decode(base64);
    if (!decoded || decoded->empty() ||
        !g_utf8_validate(decoded->data(), decoded->size(), nullptr)) {
        std::fprintf(stderr, "zarvo: the compiled-in %s host is not valid base64 text\n", what);
        std::abort();
    }
    return *decoded;
}

// A bare host name: letters, digits, '-' and '.', no scheme, port or path.
bool isBareHost(const std::string& host) {
    if (host.empty() || host.size() > 253 || host.front() == '.' || host.back() == '.')
        return false;
    for (char c : host) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '.';
        if (!ok)
            return false;
    }
    return true;
}

std::optional<Deployment::Address> parseAddress(const std::string& text) {
    auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size())
        return std::nullopt;
    std::string ip = text.substr(0, colon);
    std::string portText = text.substr(colon + 1);
    if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    int port = std::stoi(portText);
    if (port < 1 || port > 65535)
        return std::nullopt;
    if (!adoptRef(g_inet_address_new_from_string(ip.c_str())))
        return std::nullopt;
    return Deployment::Address{ip, static_cast<uint16_t>(port)};
}

std::mutex currentMutex;
std::shared_ptr<const Deployment> current;

} // namespace

std::optional<Deployment::Address> Deployment::connectAddress(const std::string& host) const {
    auto it = connect.find(host);
    if (it == connect.end())
        return std::nullopt;
    return parseAddress(it->second);
}

const Deployment& productionDeployment() {
    static const Deployment production = [] {
        Deployment d;
        d.primaryHost = decodeHost(hosts::kPrimaryBase64, "primary");
        d.secondaryHost = decodeHost(hosts::kSecondaryBase64, "secondary");
        d.downloadHost = decodeHost(hosts::kDownloadBase64, "download");
        d.rtcGateway = "wss://" + d.primaryHost + "/rtc";
        return d;
    }();
    return production;
}

Result<Deployment> parseDeployment(const std::string& text, const std::filesystem::path& file) {
    auto fail = [&](const std::string& problem) {
        return unexpected(Error{"deployment file " + file.string() + ": " + problem, 1});
    };
    auto json = parseJsonObject(text);
    if (!json)
        return fail("not a JSON object");
    Deployment d;
    d.file = file;
    struct HostField {
        const char* key;
        std::string* target;
    };
    for (auto [key, target] :
         {HostField{"primary_host", &d.primaryHost}, HostField{"secondary_host", &d.secondaryHost},
          HostField{"download_host", &d.downloadHost}}) {
        auto value = jsonString(*json, key);
        if (!value)
            return fail(std::string("\"") + key + "\" is missing or not a string");
        if (!isBareHost(*value))
            return fail(std::string("\"") + key + "\" is not a bare host name: " + *value);
        *target = *value;
    }
    if (const Json* ca = jsonMember(*json, "ca_certificate")) {
        if (!ca->is_string())
            return fail("\"ca_certificate\" is not a string");
        std::filesystem::path path = ca->get<std::string>();
        if (!path.is_absolute())
            return fail("\"ca_certificate\" is not an absolute path");
        std::error_code ec;
        if (!std::filesystem::is_regular_file(path, ec))
            return fail("the CA certificate " + path.string() + " does not exist");
        d.caCertificate = path.string();
    }
    if (const Json* connect = jsonMember(*json, "connect")) {
        if (!connect->is_object())
            return fail("\"connect\" is not an object");
        for (auto it = connect->begin(); it != connect->end(); ++it) {
            if (!it.value().is_string() || !parseAddress(it.value().get<std::string>()))
                return fail("\"connect\" entry for " + it.key() + " is not \"IP:PORT\"");
            d.connect[it.key()] = it.value().get<std::string>();
        }
    }
    if (const Json* token = jsonMember(*json, "account_token")) {
        if (!token->is_string())
            return fail("\"account_token\" is not a string");
        d.accountToken = token->get<std::string>();
    }
    if (const Json* gateway = jsonMember(*json, "rtc_gateway")) {
        if (!gateway->is_string())
            return fail("\"rtc_gateway\" is not a string");
        d.rtcGateway = gateway->get<std::string>();
    } else {
        d.rtcGateway = "wss://" + d.primaryHost + "/rtc";
    }
    if (const Json* relayOnly = jsonMember(*json, "rtc_relay_only")) {
        if (!relayOnly->is_boolean())
            return fail("\"rtc_relay_only\" is not true or false");
        d.rtcRelayOnly = relayOnly->get<bool>();
    }
    return d;
}

Result<Deployment> readDeploymentFile(const std::filesystem::path& file) {
    auto text = readFile(file);
    if (!text)
        return unexpected(Error{"deployment file " + file.string() + " cannot be read", 1});
    return parseDeployment(*text, file);
}

Json deploymentToJson(const Deployment& d) {
    Json connect = Json::object();
    for (const auto& [host, address] : d.connect)
        connect[host] = address;
    Json json{{"primary_host", d.primaryHost},   {"secondary_host", d.secondaryHost},
              {"download_host", d.downloadHost}, {"connect", connect},
              {"account_token", d.accountToken}, {"rtc_gateway", d.rtcGateway}};
    if (d.rtcRelayOnly)
        json["rtc_relay_only"] = true;
    // No CA is no member: an empty path would not read back.
    if (!d.caCertificate.empty())
        json["ca_certificate"] = d.caCertificate;
    return json;
}

Result<Deployment> loadDeployment() {
    const char* named = std::getenv("ZARVO_DEPLOYMENT");
    if (!named || !*named)
        return productionDeployment();
    return readDeploymentFile(named);
}

std::shared_ptr<const Deployment> currentDeployment() {
    std::lock_guard lock(currentMutex);
    if (!current) {
        auto loaded = loadDeployment();
        if (!loaded) {
            std::fprintf(stderr, "zarvo: %s (ZARVO_DEPLOYMENT)\n", loaded.error().message.c_str());
            std::abort();
        }
        current = std::make_shared<const Deployment>(std::move(*loaded));
    }
    return current;
}

void setCurrentDeployment(Deployment deployment) {
    std::lock_guard lock(currentMutex);
    current = std::make_shared<const Deployment>(std::move(deployment));
}

void clearCurrentDeployment() {
    std::lock_guard lock(currentMutex);
    current.reset();
}

} // namespace zarvo
