// The whole stand-in as the client meets it: a billed session started through the API, the
// engine joining over TLS at the deployment's "rtc_gateway" (bare host in the URL, loopback
// address from "connect", the stand-in's CA), edited video back, the session turning RUNNING and
// the picture following a "live/switch". This is the one real-media test of a switch.
#include "billing_test_support.h"
#include "devservice/billing/billing_front.h"
#include "devservice/devservice.h"
#include "devservice/rtc/rtc_front.h"
#include "foundation/child_process.h"
#include "media/rtc/ice_servers.h"
#include "media/rtc/rtc_engine_deployment.h"
#include "tests/support/media_samples.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <libsoup/soup.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

#include <arpa/inet.h>
#include <csignal>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zarvo::devservice {
namespace {

using namespace std::chrono_literals;

class CountingDelegate final : public RTCEngineDelegate {
public:
    bool onRemoteVideoSample(const std::string& uid, int, const RTCVideoDataSample& s) override {
        std::lock_guard lock(mutex);
        ++frames;
        lastUID = uid;
        // Mean red and blue of a sparse grid.
        double b = 0, r = 0;
        int n = 0;
        for (int y = 0; y < s.height; y += 36)
            for (int x = 0; x < s.width; x += 64, ++n) {
                b += s.data[size_t(y) * s.stride + x * 4];
                r += s.data[size_t(y) * s.stride + x * 4 + 2];
            }
        blue = b / n;
        red = r / n;
        cv.notify_all();
        return false;
    }
    bool onCaptureVideoSample(int, const RTCVideoDataSample&) override { return false; }
    int onGetVideoFormatPreference() override { return 0; }
    // Whether, within a minute, two seconds pass without an edited frame.
    bool pictureStops() {
        for (auto deadline = std::chrono::steady_clock::now() + 60s;
             std::chrono::steady_clock::now() < deadline;) {
            int64_t before = 0;
            {
                std::lock_guard lock(mutex);
                before = frames;
            }
            std::this_thread::sleep_for(2s);
            std::lock_guard lock(mutex);
            if (frames == before)
                return true;
        }
        return false;
    }
    void onConnectionFailure(int code) override {
        std::lock_guard lock(mutex);
        failure = code;
        cv.notify_all();
    }
    std::mutex mutex;
    std::condition_variable cv;
    int64_t frames = 0;
    int failure = 0;
    std::string lastUID;
    double blue = 0, red = 0;
};

// Grey 1280 × 720 frames at 25 fps into the engine until destroyed.
class Camera {
public:
    explicit Camera(RTCEngine& engine)
        : thread_([this, &engine] {
              auto next = std::chrono::steady_clock::now();
              while (!stop_) {
                  auto buffer = std::make_shared<PixelBuffer>();
                  buffer->width = 1280;
                  buffer->height = 720;
                  buffer->stride = 1280 * 4;
                  buffer->bytes.assign(1280 * 720 * 4, 128);
                  engine.pushExternalVideoFrame({buffer, 2, 0, 1280, 720, 1280 * 4, 0, nullptr}, 0);
                  next += 40ms;
                  std::this_thread::sleep_until(next);
              }
          }) {}
    ~Camera() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class RTCDevServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("zarvo-rtc-devservice-" + std::to_string(::getpid()));
        std::filesystem::remove_all(dir);
        DevServiceOptions options;
        options.stateDirectory = dir;
        options.adminEndpoint = true;
        dev = std::make_unique<DevService>(options);
        auto started = dev->start();
        ASSERT_TRUE(started.ok()) << started.error().message;
        BillingConfig config;
        config.reserveDelay = seconds(0.05);
        config.createDelay = seconds(0.05);
        // Nothing here polls "live/current", the client's heartbeat: on a loaded machine a test
        // outlasts the usual 30 s and the service would end its session under it.
        config.heartbeatTimeout = seconds(3600);
        config.iceServers = iceServers;
        billing = installBilling(*dev, config);
        gateway = installRTCGateway(*dev, *billing);
        auto deployment = readDeploymentFile(dev->deploymentFile());
        ASSERT_TRUE(deployment.ok()) << deployment.error().message;
        this->deployment = *deployment;
    }
    void TearDown() override {
        // The server thread stops first; the gateway goes while the loop its participants post
        // to still exists, as in the service's own main.
        dev->stop();
        gateway.reset();
        billing.reset();
        dev.reset();
        std::filesystem::remove_all(dir);
    }

    // A "live/switch" request body.
    static std::string switchBody(const std::string& key, const std::string& type,
                                  const std::string& jpeg) {
        return Json{{"idempotency_key", key},
                    {"editing_type", type},
                    {"image_url", testing::jpegDataURL(jpeg)}}
            .dump();
    }
    // Starts a session with background replacement; with `switched`, that "live/switch" is sent
    // in the same turn of the service, while the session is still RESERVED.
    Json startSession(std::optional<std::string> switched = std::nullopt) {
        ApiResponse response, early;
        dev->runOnServer([&] {
            response = billing->handle(testing::apiRequest(
                "POST", "live/start", deployment.accountToken,
                testing::startBody("rtc-test", "background_replacement",
                                   testing::jpegDataURL(testing::jpegBytes(64, 36)))
                    .dump()));
            if (switched)
                early = billing->handle(
                    testing::apiRequest("POST", "live/switch", deployment.accountToken, *switched));
        });
        EXPECT_EQ(response.status, 200) << response.body;
        if (switched) {
            EXPECT_EQ(early.status, 200) << early.body;
        }
        return response.body.value("data", response.body);
    }

    int join(RTCEngine& engine, const std::string& token, const std::string& channel = {},
             const std::string& user = {}) {
        std::mutex mutex;
        std::condition_variable cv;
        int result = -1;
        engine.setVideoEncoderConfiguration({1280, 720, 25, 0});
        engine.setExternalVideoSource(true, 0, 2);
        engine.registerVideoSampleObserver();
        engine.publishLocalVideoStream(true);
        auto given = [](const std::string& text) {
            return text.empty() ? std::nullopt : std::optional<std::string>(text);
        };
        EXPECT_EQ(engine.joinChannel(token, given(channel), given(user), "Zarvo",
                                     [&](int r, const std::string&, const std::string&, int) {
                                         std::lock_guard lock(mutex);
                                         result = r;
                                         cv.notify_one();
                                     }),
                  0);
        std::unique_lock lock(mutex);
        cv.wait_for(lock, 60s, [&] { return result != -1; });
        return result;
    }

    // A call to the admin endpoint over plain HTTP, as a tester's script makes it; the status.
    int admin(const char* method, const std::string& path, const std::string& body = {},
              Json* reply = nullptr) {
        auto session = adoptRef(soup_session_new());
        const std::string url = "http://127.0.0.1:" + std::to_string(dev->adminPort()) + path;
        auto message = adoptRef(soup_message_new(method, url.c_str()));
        soup_message_headers_replace(soup_message_get_request_headers(message.get()),
                                     "Authorization", ("Bearer " + dev->adminToken()).c_str());
        if (!body.empty()) {
            auto bytes = adoptRef(g_bytes_new(body.data(), body.size()));
            soup_message_set_request_body_from_bytes(message.get(), "application/json",
                                                     bytes.get());
        }
        auto answer =
            adoptRef(soup_session_send_and_read(session.get(), message.get(), nullptr, nullptr));
        if (reply && answer) {
            gsize size = 0;
            const auto* data = static_cast<const char*>(g_bytes_get_data(answer.get(), &size));
            *reply = Json::parse(std::string(data ? data : "", size), nullptr, false);
        }
        return int(soup_message_get_status(message.get()));
    }
    // The participant's link statistics of the session (summed over its streams).
    std::map<std::string, double> participantStats(const std::string& sessionID) {
        std::map<std::string, double> stats;
        dev->runOnServer([&] { stats = gateway->linkStats(sessionID); });
        return stats;
    }

    // What the service hands out with each session; set before SetUp runs.
    Json iceServers = Json::array();
    std::filesystem::path dir;
    std::unique_ptr<DevService> dev;
    std::shared_ptr<BillingService> billing;
    std::shared_ptr<RTCGateway> gateway;
    Deployment deployment;
};

TEST_F(RTCDevServiceTest, AJoinOverTlsBringsEditedVideoAndTheSessionRuns) {
    ASSERT_EQ(deployment.rtcGateway.rfind("wss://" + deployment.primaryHost + "/rtc", 0), 0u);
    // The mode changed right after the start, before the participant exists: style transfer with a
    // red reference is what the participant edits with when it joins.
    const Json session = startSession(switchBody(
        "switch-early", "style_transfer", zarvo::testing::solidJpeg(0xe0, 0x10, 0x10, 64, 36)));
    const std::string sessionID = session.value("session_id", "");
    const std::string renderUID = session.value("render_uid", "");
    const std::string token = session["rtc"].value("token", "");
    ASSERT_FALSE(token.empty()) << session;

    WebRTCEngineFactory factory(*rtcGatewayConfig(deployment));
    CountingDelegate delegate;
    auto engine = factory.sharedInstance(&delegate);
    ASSERT_EQ(join(*engine, token, session["rtc"].value("channel_id", ""),
                   session["rtc"].value("user_id", "")),
              0);

    auto camera = std::make_unique<Camera>(*engine);
    {
        std::unique_lock lock(delegate.mutex);
        EXPECT_TRUE(delegate.cv.wait_for(lock, 60s, [&] { return delegate.frames >= 10; }));
        EXPECT_EQ(delegate.lastUID, renderUID);
    }
    // The participant's edited video turns the session RUNNING (polled: the service's loop
    // applies it).
    std::string state;
    for (auto deadline = std::chrono::steady_clock::now() + 30s;
         state != "RUNNING" && std::chrono::steady_clock::now() < deadline;) {
        auto media = billing->sessionMedia(sessionID);
        state = media ? media->state : "";
        if (state != "RUNNING")
            std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(state, "RUNNING");
    {
        std::lock_guard lock(delegate.mutex);
        EXPECT_GT(delegate.red, delegate.blue + 40)
            << "the start's choice, not the newer switch: red " << delegate.red << " blue "
            << delegate.blue;
    }

    // A "live/switch" of the running session to background replacement with a blue reference:
    // a blue backdrop.
    ApiResponse switched;
    dev->runOnServer([&] {
        switched = billing->handle(
            testing::apiRequest("POST", "live/switch", deployment.accountToken,
                                switchBody("switch-1", "background_replacement",
                                           zarvo::testing::solidJpeg(0x10, 0x10, 0xe0, 64, 36))));
    });
    EXPECT_EQ(switched.status, 200) << switched.body;
    {
        std::unique_lock lock(delegate.mutex);
        EXPECT_TRUE(
            delegate.cv.wait_for(lock, 60s, [&] { return delegate.blue > delegate.red + 40; }))
            << "red " << delegate.red << " blue " << delegate.blue;
    }
    camera.reset();
    engine->unregisterVideoSampleObserver();
    engine->leaveChannel();
    engine.reset();
    factory.destroy();
}

// The fault "network" set through the admin endpoint while the session runs: with 5 % of the
// packets lost both ways the edited picture keeps coming and both ends repair what was lost; a
// link that loses everything stops it, and clearing the faults brings it back.
TEST_F(RTCDevServiceTest, ANetworkFaultFromTheAdminEndpointShapesTheRunningSession) {
    const Json session = startSession();
    const std::string sessionID = session.value("session_id", "");
    WebRTCEngineFactory factory(*rtcGatewayConfig(deployment));
    CountingDelegate delegate;
    auto engine = factory.sharedInstance(&delegate);
    ASSERT_EQ(join(*engine, session["rtc"].value("token", ""),
                   session["rtc"].value("channel_id", ""), session["rtc"].value("user_id", "")),
              0);
    auto camera = std::make_unique<Camera>(*engine);
    auto framesAfter = [&](int64_t more) {
        std::unique_lock lock(delegate.mutex);
        const int64_t target = delegate.frames + more;
        // Generous: a loaded two-core machine encodes, edits and decodes slowly.
        return delegate.cv.wait_for(lock, 120s, [&] { return delegate.frames >= target; });
    };
    ASSERT_TRUE(framesAfter(10)) << "no edited video before the fault";

    Json reply;
    EXPECT_EQ(admin("POST", "/faults", R"({"network":{"loss_percent":5,"delay_ms":20}})", &reply),
              200);
    EXPECT_EQ(reply["network"]["loss_percent"], 5.0) << reply;
    EXPECT_EQ(admin("POST", "/faults", R"({"network":{"loss_percent":101}})"), 400);
    EXPECT_EQ(admin("GET", "/faults", {}, &reply), 200);
    ASSERT_EQ(reply.size(), 1u) << reply;
    EXPECT_EQ(reply[0]["network"]["delay_ms"], 20) << reply;
    // Five seconds of video under loss.
    EXPECT_TRUE(framesAfter(125)) << "the picture stopped under the network fault";
    auto stats = participantStats(sessionID);
    // The client asked for the participant's lost packets again, and the participant for the
    // client's: the fault shapes both directions.
    EXPECT_GT(stats["outbound-rtp.nack-count"], 0);
    EXPECT_GT(stats["inbound-rtp.nack-count"], 0);

    // Changed while running: every packet lost stops the picture (ICE and RTCP pass, so the
    // connection itself holds)...
    EXPECT_EQ(admin("POST", "/faults", R"({"network":{"loss_percent":100}})"), 200);
    EXPECT_TRUE(delegate.pictureStops())
        << "edited frames still came through a link that loses every packet";
    // ...and once the faults are cleared it comes back (key-frame requests restart both
    // decoders).
    EXPECT_EQ(admin("DELETE", "/faults"), 200);
    EXPECT_EQ(admin("GET", "/faults", {}, &reply), 200);
    EXPECT_TRUE(reply.empty()) << reply;
    EXPECT_TRUE(framesAfter(25)) << "the picture did not come back after the fault was cleared"
                                 << " (connection failure " << delegate.failure << ")";
    camera.reset();
    engine->unregisterVideoSampleObserver();
    engine->leaveChannel();
    engine.reset();
    factory.destroy();
}

TEST_F(RTCDevServiceTest, ATokenOfNoLiveSessionIsRefusedOverTls) {
    startSession();
    WebRTCEngineFactory factory(*rtcGatewayConfig(deployment));
    CountingDelegate delegate;
    auto engine = factory.sharedInstance(&delegate);
    EXPECT_EQ(join(*engine, "rtc_not-a-session"), 110);
    factory.destroy();
}

TEST_F(RTCDevServiceTest, AGatewayCertificateFromAnotherAuthorityIsNotTrusted) {
    const Json session = startSession();
    RTCGatewayConfig config = *rtcGatewayConfig(deployment);
    // The system's trust store does not know the stand-in's CA.
    config.trust.reset();
    WebRTCEngineFactory factory(config);
    CountingDelegate delegate;
    auto engine = factory.sharedInstance(&delegate);
    EXPECT_EQ(join(*engine, session["rtc"].value("token", ""),
                   session["rtc"].value("channel_id", ""), session["rtc"].value("user_id", "")),
              kRTCErrGatewayUnreachable);
    factory.destroy();
}

// Where a relay on this machine is reached: its first IPv4 address off loopback. libnice pins
// each host candidate's sends to its own interface, so a relay on 127.0.0.1 would be out of reach
// of every candidate but a loopback one (which exists only where nothing else does).
in_addr relayAddress() {
    in_addr found{htonl(INADDR_LOOPBACK)};
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return found;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET ||
            !(entry->ifa_flags & IFF_UP) || (entry->ifa_flags & IFF_LOOPBACK))
            continue;
        found = reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr;
        break;
    }
    ::freeifaddrs(list);
    return found;
}

std::string textOf(in_addr address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

// A port on `host` free for both UDP and TCP just now (a TURN server listens on both).
uint16_t freePort(in_addr host) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        int udp = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr = host;
        socklen_t size = sizeof address;
        if (::bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(udp, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            ::close(udp);
            continue;
        }
        int tcp = ::socket(AF_INET, SOCK_STREAM, 0);
        const bool bothFree =
            ::bind(tcp, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(tcp);
        ::close(udp);
        if (bothFree)
            return ntohs(address.sin_port);
    }
    return 0;
}

// Debian's coturn, unprivileged, with one static user, relaying on one address of this machine
// (both ends of these tests are here, so loopback peers are allowed too).
class TurnServer {
public:
    TurnServer(const std::filesystem::path& folder, in_addr host, uint16_t port)
        : folder_(folder), host_(host), port_(port) {}
    ~TurnServer() { stop(); }

    ::testing::AssertionResult start() {
        std::filesystem::create_directories(folder_);
        ChildOptions options;
        const std::string host = textOf(host_), port = std::to_string(port_);
        options.argv = {"turnserver", "-n", "--no-cli", "--no-tls", "--no-dtls", "--simple-log"};
        const std::vector<std::vector<std::string>> settings = {
            {"--listening-ip", host},
            {"--relay-ip", host},
            {"-p", port},
            {"--lt-cred-mech", "--user", "zarvo:relay-secret", "--realm", "zarvo.test"},
            {"--allow-loopback-peers", "--no-multicast-peers"},
            {"--userdb", (folder_ / "turndb").string()},
            {"--pidfile", (folder_ / "turnserver.pid").string()},
            {"--log-file", (folder_ / "turnserver.log").string(), "--no-stdout-log"},
        };
        for (const auto& setting : settings)
            options.argv.insert(options.argv.end(), setting.begin(), setting.end());
        auto child = startChild(options);
        if (!child)
            return ::testing::AssertionFailure() << child.error().message;
        child_ = std::move(*child);
        // Ready once its TCP listener takes a connection (the UDP one opens with it).
        for (auto deadline = std::chrono::steady_clock::now() + 60s;
             std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(50ms)) {
            int probe = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port_);
            address.sin_addr = host_;
            const bool up =
                ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            ::close(probe);
            if (up)
                return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "turnserver did not come up on port " << port_;
    }
    void stop() {
        if (child_.pid() <= 0 || stopped_)
            return;
        stopped_ = true;
        ::kill(child_.pid(), SIGKILL);
        waitForChild(child_.pid());
    }

private:
    std::filesystem::path folder_;
    in_addr host_;
    uint16_t port_;
    StartedChild child_;
    bool stopped_ = false;
};

// Both ends allowed nothing but relays: the service hands its TURN server to the client with the
// session, and the AI participant uses the same one.
class RTCRelayTest : public RTCDevServiceTest {
protected:
    void SetUp() override {
        turnPort = freePort(turnHost);
        ASSERT_NE(turnPort, 0);
        const std::string address = textOf(turnHost) + ":" + std::to_string(turnPort);
        iceServers = Json::array({{{"urls", Json::array({"turn:" + address + query})},
                                   {"username", "zarvo"},
                                   {"credential", "relay-secret"}}});
        RTCDevServiceTest::SetUp();
        dev->runOnServer([&] {
            gateway->setRelays(iceServersOf(Json{{"ice_servers", iceServers}}), true);
        });
        deployment.rtcRelayOnly = true;
    }
    // Joins with the relays of the session's credentials, as the bridge does.
    int joinSession(RTCEngine& engine, const Json& session) {
        const Json& rtc = session["rtc"];
        engine.setIceServers(iceServersOf(rtc));
        return join(engine, rtc.value("token", ""), rtc.value("channel_id", ""),
                    rtc.value("user_id", ""));
    }

    in_addr turnHost = relayAddress();
    uint16_t turnPort = 0;
    std::string query = "?transport=udp";
};

// The relay reached over UDP and over TCP.
class RTCRelayTransportTest : public RTCRelayTest,
                              public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        query = std::string("?transport=") + GetParam();
        RTCRelayTest::SetUp();
    }
};

TEST_P(RTCRelayTransportTest, ARelayOnlySessionCarriesItsVideoThroughTheServicesTurnServer) {
    TurnServer turn(dir / "turn", turnHost, turnPort);
    ASSERT_TRUE(turn.start());
    const Json session = startSession();
    ASSERT_EQ(session["rtc"]["ice_servers"], iceServers) << session;
    WebRTCEngineFactory factory(*rtcGatewayConfig(deployment));
    CountingDelegate delegate;
    auto engine = factory.sharedInstance(&delegate);
    ASSERT_EQ(joinSession(*engine, session), 0);
    auto camera = std::make_unique<Camera>(*engine);
    {
        std::unique_lock lock(delegate.mutex);
        EXPECT_TRUE(delegate.cv.wait_for(lock, 120s, [&] { return delegate.frames >= 25; }))
            << "no edited video through the relay";
    }
    // The picture went nowhere but through the relay: without it, it stops.
    turn.stop();
    EXPECT_TRUE(delegate.pictureStops()) << "edited frames still came with the relay gone";
    camera.reset();
    engine->unregisterVideoSampleObserver();
    engine->leaveChannel();
    engine.reset();
    factory.destroy();
}

INSTANTIATE_TEST_SUITE_P(Transports, RTCRelayTransportTest, ::testing::Values("udp", "tcp"));

// Nothing listens where the relay should be: the channel fails through the engine's failure path
// instead of waiting for a picture that cannot come.
TEST_F(RTCRelayTest, ARelayThatIsDownFailsTheChannel) {
    const Json session = startSession();
    RTCGatewayConfig config = *rtcGatewayConfig(deployment);
    config.iceConnectTimeout = 3000ms;
    WebRTCEngineFactory factory(config);
    CountingDelegate delegate;
    auto engine = factory.sharedInstance(&delegate);
    ASSERT_EQ(joinSession(*engine, session), 0);
    auto camera = std::make_unique<Camera>(*engine);
    {
        std::unique_lock lock(delegate.mutex);
        ASSERT_TRUE(delegate.cv.wait_for(lock, 120s, [&] { return delegate.failure != 0; }))
            << "the channel neither connected nor failed";
        EXPECT_TRUE(delegate.failure == kRTCErrIceTimeout || delegate.failure == kRTCErrMediaFailed)
            << delegate.failure;
        EXPECT_EQ(delegate.frames, 0);
    }
    camera.reset();
    engine->unregisterVideoSampleObserver();
    engine->leaveChannel();
    engine.reset();
    factory.destroy();
}

} // namespace
} // namespace zarvo::devservice
