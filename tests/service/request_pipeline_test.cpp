#include "fake_sender.h"

#include <thread>

namespace zarvo::test {
namespace {

struct Outcome {
    int calls = 0;
    std::optional<Json> json;
    std::optional<std::string> error;
    bool onLoop = false;
};

class Pipeline : public RouteTest {
protected:
    RequestDone record(Outcome& outcome) {
        return [this, &outcome](std::optional<Json> json, std::optional<std::string> error) {
            ++outcome.calls;
            outcome.json = std::move(json);
            outcome.error = std::move(error);
            outcome.onLoop = loop.isLoopThread();
        };
    }
    // An auto-mode layer whose check confirmed `route`.
    void confirm(const std::string& route) {
        make();
        transport->check();
        size_t p = find(kPrimaryHealth), s = find(kSecondaryHealth);
        if (route == "primary") {
            answerHealthy(p);
            failTransport(s);
        } else {
            failTransport(p);
            answerHealthy(s);
        }
        ASSERT_TRUE(transport->confirmed());
        sent.clear();
    }
    static std::string header(const HttpRequest& request, const std::string& name) {
        for (const auto& [n, v] : request.headers)
            if (n == name)
                return v;
        return "<absent>";
    }
};

TEST_F(Pipeline, UnsafePathsAreRefusedWithNothingSent) {
    make();
    for (const char* path : {"/live/current", "live/../admin", "..", "https://evil.test/x",
                             "client/billing?page=1 2"}) {
        Outcome outcome;
        transport->request(path, std::nullopt, "t", record(outcome));
        EXPECT_EQ(outcome.calls, 1) << path;
        EXPECT_EQ(outcome.error, "请求路径无效") << path;
    }
    EXPECT_TRUE(sent.empty());
}

TEST_F(Pipeline, ReadFailsOverWithinItsBudget) {
    make();
    Outcome outcome;
    transport->request("live/current", std::nullopt, "tok", record(outcome));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].request.url, "https://api.zarvo.test/api/v1/live/current");
    EXPECT_EQ(sent[0].request.method, "GET");
    EXPECT_EQ(sent[0].request.timeout, seconds(3.25));
    EXPECT_FALSE(sent[0].request.body);

    loop.advance(seconds(3.25)); // the first route stalls: the watchdog cuts it
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(outcome.calls, 0);
    EXPECT_EQ(sent[1].request.url, "https://api2.zarvo.test/api/v1/live/current");
    EXPECT_EQ(sent[1].request.timeout, seconds(3.25));
    EXPECT_EQ(transport->snapshot()["routes"][0]["status"], "failed");

    loop.advance(milliseconds(200));
    answer(1, 200, R"({"state":"IDLE"})");
    ASSERT_EQ(outcome.calls, 1);
    EXPECT_EQ((*outcome.json)["state"], "IDLE");
    EXPECT_EQ(transport->activeRoute(), "secondary");
    EXPECT_EQ(transport->routeRevision(), 1);
    EXPECT_TRUE(transport->confirmed());
    Json secondary = transport->snapshot()["routes"][1];
    EXPECT_EQ(secondary["latencyMs"], 200);
    EXPECT_EQ(secondary["probe"], false);
    answer(0, 200, "{}"); // the stalled route's late reply changes nothing
    EXPECT_EQ(outcome.calls, 1);
}

TEST_F(Pipeline, SecondTryEndsWithTheBudget) {
    make();
    Outcome outcome;
    transport->request("client/state", std::nullopt, std::nullopt, record(outcome));
    EXPECT_EQ(sent[0].request.timeout, seconds(6));
    loop.advance(seconds(1));
    answer(0, 502, "{}");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].request.timeout, seconds(11)) << "the rest of the 12 s budget";
    loop.advance(seconds(11));
    EXPECT_EQ(outcome.error, "网络连接失败，请检查网络");
    EXPECT_EQ(sent.size(), 2u) << "one fail-over only";
    EXPECT_EQ(transport->lastError(), "业务连接暂不可用，积分以最后确认数据为准。");
}

TEST_F(Pipeline, PinnedModeTriesOnceWithTheWholeBudget) {
    defaults->set("networkRouteMode", "primary");
    make();
    Outcome outcome;
    transport->request("live/current", std::nullopt, "tok", record(outcome));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].request.timeout, seconds(6.5));
    loop.advance(seconds(6.5));
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_EQ(outcome.error, "网络连接失败，请检查网络");
}

TEST_F(Pipeline, FailedWriteIsNeverRepeated) {
    confirm("primary");
    Outcome outcome;
    transport->request("live/stop", Json::object(), "tok", record(outcome));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].request.method, "POST");
    EXPECT_EQ(sent[0].request.body, "{}");
    EXPECT_EQ(sent[0].request.timeout, seconds(15));
    answer(0, 500, "oops");
    EXPECT_EQ(outcome.error, "服务暂不可用");
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_EQ(transport->lastError(), "业务连接暂不可用，积分以最后确认数据为准。");

    Outcome second;
    transport->request("live/start", Json{{"editing_type", "style_transfer"}}, "tok",
                       record(second));
    // The route just failed, so the write first waits for a fresh check.
    ASSERT_EQ(sent.size(), 3u);
    answerHealthy(1);
    answerHealthy(2);
    loop.advance(milliseconds(30));
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[3].request.timeout, seconds(90));
    failTransport(3);
    EXPECT_EQ(second.error, "网络连接失败，请检查网络");
    EXPECT_EQ(sent.size(), 4u);
}

TEST_F(Pipeline, ServerRefusalKeepsTheRouteHealthy) {
    make();
    transport->check();
    failTransport(0);
    failTransport(1);
    ASSERT_EQ(transport->lastError(), "暂时无法连接服务，请检查网络后重试。");

    Outcome outcome;
    transport->request("client/state", std::nullopt, "bad", record(outcome));
    answer(2, 401, R"({"detail":"登录已失效"})");
    EXPECT_EQ(outcome.error, "登录已失效");
    EXPECT_EQ(sent.size(), 3u) << "a 4xx is the server's answer, not a reason to fail over";
    EXPECT_EQ(transport->snapshot()["routes"][0]["status"], "healthy");
    EXPECT_EQ(transport->lastError(), "暂时无法连接服务，请检查网络后重试。");
}

TEST_F(Pipeline, NonObjectSuccessIsARouteFailure) {
    defaults->set("networkRouteMode", "primary");
    make();
    Outcome outcome;
    transport->request("client/billing?page=2", std::nullopt, "tok", record(outcome));
    EXPECT_EQ(sent[0].request.url, "https://api.zarvo.test/api/v1/client/billing?page=2");
    answer(0, 200, R"([{"detail":"x"}])");
    EXPECT_EQ(outcome.error, "服务暂不可用");
    EXPECT_EQ(transport->snapshot()["routes"][0]["status"], "failed");
    EXPECT_EQ(transport->lastError(), "业务连接暂不可用，积分以最后确认数据为准。");
}

TEST_F(Pipeline, RedirectIsTheFinalAnswer) {
    make();
    Outcome outcome;
    transport->request("client/state", std::nullopt, "tok", record(outcome));
    sent[0].answered = true;
    auto complete = sent[0].complete;
    complete(std::string("moved"),
             HttpResponse{302, {{"Location", "https://elsewhere.test/api/v1/client/state"}}},
             std::nullopt);
    EXPECT_EQ(outcome.error, "服务暂不可用");
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_EQ(transport->lastError(), "");
    EXPECT_EQ(transport->snapshot()["routes"][0]["status"], "healthy");
}

TEST_F(Pipeline, DetailOnlyCountsWhenItIsAString) {
    confirm("primary");
    Outcome outcome;
    transport->request("live/switch", Json::object(), "tok", record(outcome));
    answer(0, 409, R"({"detail":{"code":1}})");
    EXPECT_EQ(outcome.error, "服务暂不可用");
}

TEST_F(Pipeline, WriteInAutoModeWaitsForTheFirstCheck) {
    make();
    Outcome outcome;
    transport->request("live/start", Json{{"idempotency_key", "K"}}, "tok", record(outcome));
    ASSERT_EQ(sent.size(), 2u) << "the write started a check";
    EXPECT_TRUE(transport->switching());
    loop.advance(milliseconds(100));
    answerHealthy(1);
    answerHealthy(0);
    EXPECT_EQ(sent.size(), 2u) << "the write goes at the next 0.03 s step";
    loop.advance(milliseconds(19));
    EXPECT_EQ(sent.size(), 2u);
    loop.advance(milliseconds(1));
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[2].request.body, R"({"idempotency_key":"K"})");
    answer(2, 200, R"({"render_uid":7})");
    EXPECT_EQ((*outcome.json)["render_uid"], 7);
}

TEST_F(Pipeline, WriteFailsWhenNoRouteIsConfirmed) {
    make();
    Outcome outcome;
    transport->request("live/start", Json::object(), "tok", record(outcome));
    loop.advance(seconds(2.99));
    EXPECT_EQ(outcome.calls, 0);
    loop.advance(milliseconds(10)); // both probes end at their watchdog, then the wait ends
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.error, "暂时无法连接服务，请检测线路后重试");
    EXPECT_EQ(sent.size(), 2u);
}

TEST_F(Pipeline, HeadersInOrderAndTokenOnlyWhenGiven) {
    confirm("secondary");
    Outcome a, b;
    transport->request("live/start", Json{{"image_url", "x"}}, "T0K", record(a));
    transport->request("client/state", std::nullopt, std::nullopt, record(b));
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].request.url, "https://api2.zarvo.test/api/v1/live/start");
    EXPECT_EQ(sent[0].request.headers, (HttpHeaders{{"Cache-Control", "no-cache, no-store"},
                                                    {"Content-Type", "application/json"},
                                                    {"Authorization", "Bearer T0K"}}));
    EXPECT_EQ(sent[1].request.headers, (HttpHeaders{{"Cache-Control", "no-cache, no-store"},
                                                    {"Content-Type", "application/json"}}));
}

TEST_F(Pipeline, UnserialisableBodyIsRefused) {
    confirm("primary");
    Outcome outcome;
    transport->request("live/start", Json{{"name", std::string("\xff\xfe")}}, "tok",
                       record(outcome));
    EXPECT_EQ(outcome.error, "请求数据无效");
    EXPECT_TRUE(sent.empty());
}

TEST_F(Pipeline, LateSuccessAfterARouteChangeLeavesRouteStateAlone) {
    make();
    Outcome outcome;
    transport->request("client/state", std::nullopt, "tok", record(outcome));
    transport->select("secondary");
    answerHealthy(1);
    int64_t revision = transport->routeRevision();
    answer(0, 200, R"({"paid_points":5})");
    ASSERT_EQ(outcome.calls, 1);
    EXPECT_EQ((*outcome.json)["paid_points"], 5);
    EXPECT_EQ(transport->activeRoute(), "secondary");
    EXPECT_EQ(transport->routeRevision(), revision);
    EXPECT_EQ(transport->snapshot()["routes"][0]["status"], "unknown");
}

TEST_F(Pipeline, AnswersFromAnotherThreadArriveOnTheLoopOnce) {
    make();
    Outcome outcome;
    transport->request("live/current", std::nullopt, "tok", record(outcome));
    auto complete = sent[0].complete;
    std::thread network([&] {
        complete(std::string(R"({"state":"IDLE"})"), HttpResponse{200, {}}, std::nullopt);
        complete(std::string("{}"), HttpResponse{500, {}}, std::nullopt);
    });
    network.join();
    EXPECT_EQ(outcome.calls, 0);
    loop.runUntilIdle();
    loop.advance(seconds(10));
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_TRUE(outcome.onLoop);
    EXPECT_TRUE(outcome.json);
}

} // namespace
} // namespace zarvo::test
