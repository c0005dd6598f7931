// zarvo-devservice: the service stand-in on loopback. Prints where its deployment file is (point
// ZARVO_DEPLOYMENT at it) and runs until SIGINT or SIGTERM.
#include "devservice/billing/billing_front.h"
#include "devservice/devservice.h"
#include "devservice/release/release_server.h"
#include "devservice/rtc/rtc_front.h"
#include "foundation/owned.h"
#include "media/rtc/ice_servers.h"

#include <glib-unix.h>
#include <glib.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

void usage(FILE* out) {
    std::fputs(
        "usage: zarvo-devservice [--state DIR] [--primary-port N] [--secondary-port N]\n"
        "                        [--download-port N] [--admin-port N]\n"
        "                        [--ice-server URL [--ice-user NAME --ice-credential SECRET]]\n"
        "                        [--relay-only]\n"
        "Serves the primary, secondary and download hosts over HTTPS on 127.0.0.1 and\n"
        "writes DIR/deployment.json for ZARVO_DEPLOYMENT. Ports default to ephemeral ones.\n"
        "--ice-server (repeatable; \"stun:\", \"turn:\" or \"turns:\") is handed to clients with\n"
        "each session and used by the AI participant; --relay-only makes both sides send\n"
        "video only through the TURN servers.\n",
        out);
}

bool parsePort(const char* text, uint16_t& port) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (!end || *end || value < 1 || value > 65535)
        return false;
    port = uint16_t(value);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    using namespace zarvo::devservice;
    DevServiceOptions options;
    options.stateDirectory = defaultStateDirectory();
    options.adminEndpoint = true;
    zarvo::Json iceServers = zarvo::Json::array();
    bool relayOnly = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        }
        if (arg == "--relay-only") {
            relayOnly = true;
            continue;
        }
        if (i + 1 >= argc) {
            usage(stderr);
            return 2;
        }
        const char* value = argv[++i];
        bool ok = true;
        if (arg == "--state")
            options.stateDirectory = std::filesystem::absolute(value);
        else if (arg == "--primary-port")
            ok = parsePort(value, options.primaryPort);
        else if (arg == "--secondary-port")
            ok = parsePort(value, options.secondaryPort);
        else if (arg == "--download-port")
            ok = parsePort(value, options.downloadPort);
        else if (arg == "--admin-port")
            ok = parsePort(value, options.adminPort);
        else if (arg == "--ice-server")
            iceServers.push_back({{"urls", zarvo::Json::array({value})}});
        else if ((arg == "--ice-user" || arg == "--ice-credential") && !iceServers.empty())
            iceServers.back()[arg == "--ice-user" ? "username" : "credential"] = value;
        else
            ok = false;
        if (!ok) {
            std::fprintf(stderr, "zarvo-devservice: bad argument %s %s\n", arg.c_str(), value);
            usage(stderr);
            return 2;
        }
    }

    DevService service(options);
    if (auto started = service.start(); !started) {
        std::fprintf(stderr, "zarvo-devservice: %s\n", started.error().message.c_str());
        return 1;
    }
    auto billingConfig = programBillingConfig(options.stateDirectory);
    if (!billingConfig) {
        std::fprintf(stderr, "zarvo-devservice: %s\n", billingConfig.error().message.c_str());
        return 1;
    }
    // Handed out as given, read back as a client reads it: what the client would leave out is
    // refused here, so the stand-in never hands out a relay nobody can use.
    const auto relays = zarvo::iceServersOf(zarvo::Json{{"ice_servers", iceServers}});
    if (relays.size() != iceServers.size() ||
        (relayOnly && zarvo::webrtcIceURIs(relays).turnServers.empty())) {
        std::fprintf(stderr, "zarvo-devservice: --ice-server needs a \"stun:\", \"turn:\" or "
                             "\"turns:\" URL, TURN with --ice-user and --ice-credential; "
                             "--relay-only needs a TURN server\n");
        return 2;
    }
    billingConfig->iceServers = iceServers;
    if (relayOnly)
        service.setDeploymentMember("rtc_relay_only", true);
    auto billing = installBilling(service, std::move(*billingConfig));
    if (auto problem = billing->snapshotProblem(); !problem.empty())
        std::fprintf(stderr, "zarvo-devservice: %s\n", problem.c_str());
    auto rtcGateway = installRTCGateway(service, *billing);
    service.runOnServer([&] { rtcGateway->setRelays(relays, relayOnly); });
    auto releases = installReleaseServer(service, options.stateDirectory);
    std::printf("zarvo-devservice: primary 127.0.0.1:%u, secondary 127.0.0.1:%u, download "
                "127.0.0.1:%u\n",
                service.port("primary"), service.port("secondary"), service.port("download"));
    std::printf("zarvo-devservice: admin endpoint http://127.0.0.1:%u/ with "
                "\"Authorization: Bearer %s\" (also in %s)\n",
                service.adminPort(), service.adminToken().c_str(),
                (options.stateDirectory / "admin-token").c_str());
    std::printf("zarvo-devservice: releases from %s (scripts/make-release.sh)\n",
                releases->folder().c_str());
    std::printf("zarvo-devservice: deployment file %s\n", service.deploymentFile().c_str());
    std::printf("export ZARVO_DEPLOYMENT=%s\n", service.deploymentFile().c_str());
    std::fflush(stdout);

    auto main = zarvo::adoptRef(g_main_loop_new(nullptr, FALSE));
    auto quit = +[](gpointer data) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(data));
        return G_SOURCE_REMOVE;
    };
    g_unix_signal_add(SIGINT, quit, main.get());
    g_unix_signal_add(SIGTERM, quit, main.get());
    g_main_loop_run(main.get());
    service.stop();
    std::puts("zarvo-devservice: stopped");
    return 0;
}
