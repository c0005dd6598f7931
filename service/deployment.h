// Where the service lives: the three host names and, for a loopback stand-in, the CA to trust and
// the address each host is really reached at. Production values are compiled in; a development
// deployment is read from the JSON file named by ZARVO_DEPLOYMENT.
#pragma once

#include "foundation/json.h"
#include "foundation/result.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace zarvo {

struct Deployment {
    std::string primaryHost;
    std::string secondaryHost;
    std::string downloadHost;
    std::string caCertificate;                  // absolute PEM path; empty: the system's trust
    std::map<std::string, std::string> connect; // host name → "127.0.0.1:PORT"
    std::string accountToken;                   // the development account's bearer token
    std::string rtcGateway;                     // "wss://<primary host>/rtc"
    bool rtcRelayOnly = false;  // video only through the service's TURN relays ("rtc_relay_only")
    std::filesystem::path file; // the file it came from; empty for production

    bool isDevelopment() const { return !file.empty(); }
    // The loopback address a host is reached at, when the connect map names it.
    struct Address {
        std::string ip;
        uint16_t port = 0;
    };
    std::optional<Address> connectAddress(const std::string& host) const;
};

// The compiled-in production hosts (decoded from base64 on first use).
const Deployment& productionDeployment();

// Reads and checks a deployment file; the error text names the file and the problem.
Result<Deployment> readDeploymentFile(const std::filesystem::path& file);
Result<Deployment> parseDeployment(const std::string& text, const std::filesystem::path& file);
// The file's JSON form, as the stand-in writes it.
Json deploymentToJson(const Deployment& deployment);

// Production, or the file named by ZARVO_DEPLOYMENT when that is set and not empty. A missing or
// malformed file is an error: the caller reports it and stops rather than reaching production.
Result<Deployment> loadDeployment();

// The deployment in use by this process. Programs load and install it in main, where a broken file
// stops them; the first call here loads it otherwise (tests), and a load failure at that point is a
// program fault that aborts rather than fall back to production.
std::shared_ptr<const Deployment> currentDeployment();
// Installs the deployment to use from now on (process entry after loadDeployment, tests).
void setCurrentDeployment(Deployment deployment);
// Forgets the deployment in use; the next currentDeployment() loads it again.
void clearCurrentDeployment();

} // namespace zarvo
