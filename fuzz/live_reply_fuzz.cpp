// The session routes' replies ("client/state", "live/current", "live/start", "live/stop",
// "live/switch") into the real application core (scripted service, virtual time). Each line of the
// input is "@<route> <body>" (that route's answer from now on, raw bytes; "!" for an unreachable
// service) or one of the user's and the clock's steps: "start", "stop", "switch", "state", "tick".
// Whatever the replies say, the window never shows a negative count of points, the expected
// consumption stays within what is reserved, a session joins only with a start reply that named
// its RTC credentials and render uid, and no second start goes out while one is unanswered.
#include "fuzz/fuzz_support.h"
#include "tests/app/session_fixture.h"

namespace {

using namespace zarvo;
using namespace zarvo::testing;

// The integer that follows `marker` in `text`, if any.
std::optional<int64_t> numberAfter(const std::string& text, std::string_view marker) {
    const size_t at = text.find(marker);
    if (at == std::string::npos)
        return std::nullopt;
    size_t i = at + marker.size();
    bool negative = i < text.size() && text[i] == '-';
    if (negative)
        i++;
    if (i >= text.size() || text[i] < '0' || text[i] > '9')
        return std::nullopt;
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++)
        value = value > INT64_MAX / 10 ? INT64_MAX : value * 10 + (text[i] - '0');
    return negative ? -value : value;
}

void checkLabels(const App& app) {
    if (auto shown = numberAfter(app.pointsLabel.text, ""))
        ZARVO_FUZZ_CHECK(*shown >= 0);
    if (auto available = numberAfter(app.syncLabel.text, "可用 "))
        ZARVO_FUZZ_CHECK(*available >= 0);
    const std::string& duration = app.durationLabel.text;
    if (auto consumed = numberAfter(duration, "预计消耗 ")) {
        ZARVO_FUZZ_CHECK(*consumed >= 0);
        if (app.usageSnapshot)
            ZARVO_FUZZ_CHECK(*consumed <= jsonInteger(*app.usageSnapshot, "reserved_points", 0));
    }
    if (auto bill = numberAfter(duration, "实际扣费 "))
        ZARVO_FUZZ_CHECK(*bill >= 0);
    if (auto left = numberAfter(duration, "剩余 "))
        ZARVO_FUZZ_CHECK(*left >= 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 16 * 1024)
        return 0;
    const std::filesystem::path folder = fuzz::scratch() / "live";
    std::filesystem::remove_all(folder);
    setenv("XDG_DATA_HOME", (folder / "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);

    VirtualLoop loop;
    ScriptedService service{loop};
    answerStartableAccount(service);
    // The joins must come from a start reply with credentials and a uid.
    size_t startsAnswered = 0, usableStarts = 0;
    service.intercept([&](const RecordedRequest& request, SendCompletion& complete) {
        if (request.path != "live/start")
            return false;
        complete = [&, inner = std::move(complete)](std::optional<std::string> body,
                                                    std::optional<HttpResponse> response,
                                                    std::optional<TransportError> error) {
            startsAnswered++;
            if (auto json = body ? parseJsonObject(*body) : std::nullopt;
                json && !error && response && response->status / 100 == 2)
                if (const Json* rtc = jsonMember(*json, "rtc");
                    rtc && rtc->is_object() && jsonString(*json, "render_uid"))
                    usableStarts++;
            inner(std::move(body), std::move(response), std::move(error));
        };
        return false;
    });
    AppFakes fakes(loop);
    UserDefaults defaults(folder / "config" / "Zarvo" / "defaults.json");
    {
        App app(loop, defaults, fakes.hosts.hosts(), fakes.wiring(service));
        app.selectedReferenceData = "reference";
        app.routes.check();
        loop.runUntilIdle();

        for (const std::string& line : fuzz::lines(data, size, 32)) {
            if (line.starts_with("@")) {
                const size_t space = line.find(' ');
                const std::string route = line.substr(1, space - 1);
                const std::string reply = space == std::string::npos ? "" : line.substr(space + 1);
                service.answer(route, reply == "!" ? ScriptedReply::failure()
                                                   : ScriptedReply{200, reply, std::nullopt, {}});
                continue;
            }
            const size_t startsBefore = service.count("live/start");
            const bool startOpen = app.aiBusy || app.aiActive;
            if (line == "start")
                app.startAI();
            else if (line == "stop")
                app.stopAI();
            else if (line == "switch")
                app.switchLive("other", 2, {});
            else if (line == "state")
                app.refreshState();
            else if (line == "tick")
                loop.advance(std::chrono::seconds(1));
            else
                continue;
            loop.runUntilIdle();
            checkLabels(app);
            if (startOpen)
                ZARVO_FUZZ_CHECK(service.count("live/start") == startsBefore);
            ZARVO_FUZZ_CHECK(size_t(fakes.video.joins) <= usableStarts);
            ZARVO_FUZZ_CHECK(startsAnswered <= service.count("live/start"));
        }
        if (app.aiActive || app.aiBusy) {
            app.stopAI();
            loop.runUntilIdle();
        }
    }
    loop.runUntilIdle();
    return 0;
}
