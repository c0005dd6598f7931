#include "foundation/atomic_file.h"
#include "service/deployment.h"
#include "service/service_endpoint.h"
#include "service/soup_http_client.h"

#include <gtest/gtest.h>

#include <csignal>

#include <cstdlib>
#include <unistd.h>

namespace zarvo {
namespace {

class DeploymentFile : public ::testing::Test {
protected:
    DeploymentFile() {
        dir = std::filesystem::temp_directory_path() / ("zarvo-deploy-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        ca = dir / "ca.pem";
        (void)writeFileAtomically(ca, "-----BEGIN CERTIFICATE-----\n");
    }
    ~DeploymentFile() override {
        unsetenv("ZARVO_DEPLOYMENT");
        clearCurrentDeployment();
        std::filesystem::remove_all(dir);
    }
    Json valid() const {
        return Json{{"primary_host", "api.zarvo.test"},
                    {"secondary_host", "api2.zarvo.test"},
                    {"download_host", "download.zarvo.test"},
                    {"ca_certificate", ca.string()},
                    {"connect", {{"api.zarvo.test", "127.0.0.1:41001"}}},
                    {"account_token", "dev-token"},
                    {"rtc_gateway", "wss://api.zarvo.test/rtc"}};
    }
    std::filesystem::path dir, ca;
};

TEST_F(DeploymentFile, ReadsEveryMember) {
    Json file = valid();
    file["rtc_relay_only"] = true;
    auto d = parseDeployment(file.dump(), dir / "deployment.json");
    ASSERT_TRUE(d) << d.error().message;
    EXPECT_TRUE(d->rtcRelayOnly);
    EXPECT_EQ(d->primaryHost, "api.zarvo.test");
    EXPECT_EQ(d->downloadHost, "download.zarvo.test");
    EXPECT_EQ(d->caCertificate, ca.string());
    EXPECT_EQ(d->accountToken, "dev-token");
    EXPECT_TRUE(d->isDevelopment());
    auto address = d->connectAddress("api.zarvo.test");
    ASSERT_TRUE(address);
    EXPECT_EQ(address->ip, "127.0.0.1");
    EXPECT_EQ(address->port, 41001);
    EXPECT_FALSE(d->connectAddress("api2.zarvo.test"));

    // What the stand-in writes reads back the same.
    auto again = parseDeployment(deploymentToJson(*d).dump(), d->file);
    ASSERT_TRUE(again);
    EXPECT_EQ(deploymentToJson(*again), deploymentToJson(*d));
    // Also without a CA of its own.
    d->caCertificate.clear();
    again = parseDeployment(deploymentToJson(*d).dump(), d->file);
    ASSERT_TRUE(again) << again.error().message;
    EXPECT_EQ(again->caCertificate, "");
}

TEST_F(DeploymentFile, ACertificateAuthorityThatDoesNotLoadFailsEveryTransport) {
    auto d = parseDeployment(valid().dump(), dir / "deployment.json");
    ASSERT_TRUE(d) << d.error().message;
    // The file exists but holds no certificate: never the system's trust instead.
    auto trust = deploymentTrust(*d);
    ASSERT_FALSE(trust);
    EXPECT_NE(trust.error().message.find(ca.string()), std::string::npos);
    EXPECT_EQ(createServiceSession(*d, "api.zarvo.test"), nullptr);
    SoupHttpClient client(*d);
    std::optional<TransportError> failure;
    bool answered = false;
    client.send({"GET", "https://api.zarvo.test/health", {}, std::nullopt, seconds(3)},
                [&](std::optional<std::string> body, std::optional<HttpResponse> response,
                    std::optional<TransportError> error) {
                    answered = true;
                    EXPECT_FALSE(body);
                    EXPECT_FALSE(response);
                    failure = error;
                });
    EXPECT_TRUE(answered);
    EXPECT_TRUE(failure);

    // Without a CA of its own a deployment trusts the system's store.
    d->caCertificate.clear();
    auto system = deploymentTrust(*d);
    ASSERT_TRUE(system);
    EXPECT_EQ(*system, nullptr);
}

TEST_F(DeploymentFile, RefusesWhatWouldLeaveTheBareHostOrTheLoopback) {
    auto problem = [&](Json json) {
        auto d = parseDeployment(json.dump(), dir / "deployment.json");
        return d ? std::string() : d.error().message;
    };
    EXPECT_NE(problem(Json::array()), "");
    Json j = valid();
    j["primary_host"] = "api.zarvo.test:8443";
    EXPECT_NE(problem(j).find("primary_host"), std::string::npos);
    j = valid();
    j["secondary_host"] = "https://api2.zarvo.test";
    EXPECT_NE(problem(j), "");
    j = valid();
    j.erase("download_host");
    EXPECT_NE(problem(j).find("download_host"), std::string::npos);
    j = valid();
    j["connect"]["api2.zarvo.test"] = "localhost";
    EXPECT_NE(problem(j).find("connect"), std::string::npos);
    j["connect"]["api2.zarvo.test"] = "127.0.0.1:70000";
    EXPECT_NE(problem(j), "");
    j = valid();
    j["ca_certificate"] = "ca.pem";
    EXPECT_NE(problem(j).find("absolute"), std::string::npos);
    j["ca_certificate"] = (dir / "missing.pem").string();
    EXPECT_NE(problem(j), "");
    j = valid();
    j["rtc_relay_only"] = "yes";
    EXPECT_NE(problem(j).find("rtc_relay_only"), std::string::npos);
    j = valid();
    j.erase("rtc_gateway");
    auto d = parseDeployment(j.dump(), dir / "d.json");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->rtcGateway, "wss://api.zarvo.test/rtc");
    EXPECT_FALSE(d->rtcRelayOnly);
}

TEST_F(DeploymentFile, EnvironmentNamesTheFileAndNeverFallsBackToProduction) {
    unsetenv("ZARVO_DEPLOYMENT");
    auto production = loadDeployment();
    ASSERT_TRUE(production);
    EXPECT_FALSE(production->isDevelopment());
    EXPECT_TRUE(production->primaryHost.ends_with(".example")) << production->primaryHost;
    EXPECT_TRUE(production->downloadHost.ends_with(".example"));

    setenv("ZARVO_DEPLOYMENT", (dir / "absent.json").c_str(), 1);
    auto missing = loadDeployment();
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.error().message.find("absent.json"), std::string::npos);

    (void)writeFileAtomically(dir / "d.json", valid().dump());
    setenv("ZARVO_DEPLOYMENT", (dir / "d.json").c_str(), 1);
    clearCurrentDeployment();
    EXPECT_EQ(ServiceEndpoint::origin(), "https://api.zarvo.test");
    EXPECT_EQ(ServiceEndpoint::secondaryOrigin(), "https://api2.zarvo.test");
    EXPECT_EQ(ServiceEndpoint::downloadOrigin(), "https://download.zarvo.test");
}

// The programs load the file in main and exit 1 with its message; a library caller that reaches a
// broken file anyway must stop, never fall back to the production hosts.
TEST_F(DeploymentFile, MalformedFileStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    (void)writeFileAtomically(dir / "bad.json", "{\"primary_host\": ");
    EXPECT_EXIT(
        {
            setenv("ZARVO_DEPLOYMENT", (dir / "bad.json").c_str(), 1);
            clearCurrentDeployment();
            ServiceEndpoint::host();
        },
        ::testing::KilledBySignal(SIGABRT), "bad.json");
}

} // namespace
} // namespace zarvo
