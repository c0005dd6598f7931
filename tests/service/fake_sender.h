// A scripted network for route-layer tests: records every request and lets the test answer it.
#pragma once

#include "foundation/virtual_loop.h"
#include "service/deployment.h"
#include "service/route_transport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <unistd.h>
#include <vector>

namespace zarvo::test {

struct SentRequest {
    HttpRequest request;
    SendCompletion complete;
    bool answered = false;
};

inline Deployment testDeployment() {
    Deployment d;
    d.primaryHost = "api.zarvo.test";
    d.secondaryHost = "api2.zarvo.test";
    d.downloadHost = "download.zarvo.test";
    d.rtcGateway = "wss://api.zarvo.test/rtc";
    d.file = "/nonexistent/deployment.json";
    return d;
}

class RouteTest : public ::testing::Test {
protected:
    RouteTest() {
        dir = std::filesystem::temp_directory_path() /
              ("zarvo-route-" + std::to_string(getpid()) + "-" + std::to_string(counter()++));
        std::filesystem::create_directories(dir);
        defaults = std::make_unique<UserDefaults>(dir / "defaults.json");
        setCurrentDeployment(testDeployment());
    }
    ~RouteTest() override {
        transport.reset();
        std::filesystem::remove_all(dir);
    }
    static int& counter() {
        static int n = 0;
        return n;
    }

    RouteTransport& make() {
        transport = std::make_unique<RouteTransport>(
            loop, *defaults, Clock{}, [this](const HttpRequest& request, SendCompletion complete) {
                sent.push_back({request, std::move(complete)});
            });
        return *transport;
    }

    void answer(size_t index, int status, const std::string& body) {
        ASSERT_LT(index, sent.size());
        sent[index].answered = true;
        auto complete = sent[index].complete; // answering may send more and grow `sent`
        complete(body, HttpResponse{status, {}}, std::nullopt);
    }
    void answerHealthy(size_t index) { answer(index, 200, R"({"status":"ok","product":"Zarvo"})"); }
    void failTransport(size_t index) {
        ASSERT_LT(index, sent.size());
        sent[index].answered = true;
        auto complete = sent[index].complete;
        complete(std::nullopt, std::nullopt, TransportError{"refused", false});
    }
    // The request in flight to a host, by URL.
    size_t find(const std::string& url) const {
        for (size_t i = 0; i < sent.size(); ++i)
            if (sent[i].request.url == url && !sent[i].answered)
                return i;
        ADD_FAILURE() << "no request to " << url;
        return sent.size();
    }

    static constexpr const char* kPrimaryHealth = "https://api.zarvo.test/health";
    static constexpr const char* kSecondaryHealth = "https://api2.zarvo.test/health";

    std::filesystem::path dir;
    VirtualLoop loop;
    std::unique_ptr<UserDefaults> defaults;
    std::vector<SentRequest> sent;
    std::unique_ptr<RouteTransport> transport;
};

} // namespace zarvo::test
