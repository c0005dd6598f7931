// The studio page's messages and the service's replies, against the real application core
// (scripted service, virtual time) and studio controller with a recording host. Each line of the
// input is a page message as the web view hands it over ("$G" in it: the gallery folder), or
// "@<route> <body>" (the service's next
// answers on that route, raw bytes; "!" for an unreachable service) or "@tick" (a second passes).
// A message may change only what its own action owns: no session starts or stops, relaunch,
// appearance or video placement comes from another action, no file outside the gallery is
// previewed or removed; and whatever the replies say, the points the page is shown are never
// negative.
#include "fuzz/fuzz_support.h"
#include "tests/app/session_fixture.h"
#include "tests/studio/studio_fakes.h"

#include <cstdlib>

namespace {

using namespace zarvo;
using namespace zarvo::testing;

// Previews must stay inside the gallery folder.
struct Dialogs final : FakeDialogs {
    std::filesystem::path gallery;
    bool showPreview(const std::string& title, const std::filesystem::path& path) override {
        ZARVO_FUZZ_CHECK(path.parent_path() == gallery);
        return FakeDialogs::showPreview(title, path);
    }
};

struct Observed {
    size_t starts, stops;
    int relaunches, terminations, diagnostics, cameraSetups;
    size_t checks;
    std::optional<bool> dark;
    std::optional<VideoFrame> frame;
};

Observed observe(const ScriptedService& service, const FakeHost& host, const FakeSupport& support) {
    return {service.count("live/start"), service.count("live/stop"), host.relaunches,
            host.terminations,           support.diagnostics,        support.cameraSetups,
            support.checks.size(),       host.darkAppearance,        host.frame};
}

void checkPush(const Json& state) {
    for (const char* key :
         {"paid", "gift", "consumedPaid", "consumedGift", "estimate", "pointsValue", "syncAge"})
        if (const Json* v = jsonMember(state, key); v && v->is_number_integer())
            ZARVO_FUZZ_CHECK(v->get<int64_t>() >= 0);
    for (const char* key : {"paid", "gift", "consumedPaid", "consumedGift"})
        if (const Json* v = jsonMember(state, key); v && v->is_number())
            ZARVO_FUZZ_CHECK(v->get<double>() >= 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 16 * 1024)
        return 0;
    const std::filesystem::path folder = fuzz::scratch() / "studio";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    setenv("XDG_DATA_HOME", (folder / "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
    // A file beside the gallery that no message may touch.
    const auto outside = fuzz::writeScratch("studio/data/keep.jpg", "IMG keep");

    VirtualLoop loop;
    ScriptedService service{loop};
    answerStartableAccount(service, Json{{"available_points", 100},
                                         {"available_paid_points", 70},
                                         {"available_gift_points", 30},
                                         {"reserved_points", 0},
                                         {"session_state", "IDLE"}});
    AppFakes fakes(loop);
    UserDefaults defaults(folder / "config" / "Zarvo" / "defaults.json");
    App app(loop, defaults, fakes.hosts.hosts(), fakes.wiring(service));
    app.routes.check();
    loop.runUntilIdle();

    FakeWebView web;
    FakeHost host;
    FakeSupport support;
    FakeStudioParts fakeParts;
    Dialogs dialogs;
    StudioParts parts = fakeParts.parts();
    parts.galleryUI = &dialogs;
    parts.presetUI = &dialogs;
    dialogs.gallery = parts.galleryPaths.folder;
    const std::string gallery = parts.galleryPaths.folder.string();
    std::filesystem::create_directories(parts.galleryPaths.folder);
    ZARVO_FUZZ_CHECK(writeFileAtomically(parts.galleryPaths.folder / "a.jpg", "IMG a").ok());
    {
        ExactInterface studio(app, web, host, support, folder / "page" / "index.html",
                              std::move(parts));
        ZARVO_FUZZ_CHECK(loop.runUntil([&] { return !studio.cameras().devices().empty(); },
                                       std::chrono::seconds(60)));
        ZARVO_FUZZ_CHECK(
            loop.runUntil([&] { return !studio.gallery().working(); }, std::chrono::seconds(60)));
        app.refreshState();
        loop.runUntilIdle();

        for (const std::string& line : fuzz::lines(data, size, 24)) {
            if (line == "@tick") {
                web.scripts.clear();
                loop.advance(std::chrono::seconds(1));
                loop.runUntilIdle();
                for (const Json& state : web.pushes())
                    checkPush(state);
                continue;
            }
            if (line.starts_with("@")) {
                const size_t space = line.find(' ');
                const std::string route = line.substr(1, space - 1);
                const std::string reply = space == std::string::npos ? "" : line.substr(space + 1);
                service.answer(route, reply == "!" ? ScriptedReply::failure()
                                                   : ScriptedReply{200, reply, std::nullopt, {}});
                continue;
            }
            // "$G" stands for the gallery folder, whose path differs from run to run.
            std::string message = line;
            for (size_t at = message.find("$G"); at != std::string::npos;
                 at = message.find("$G", at + gallery.size()))
                message.replace(at, 2, gallery);
            Json body = Json::parse(message, nullptr, false);
            if (body.is_discarded())
                continue;
            std::string action;
            if (body.is_object())
                if (auto a = jsonString(body, "action"))
                    action = *a;

            const Observed before = observe(service, host, support);
            web.scripts.clear();
            studio.didReceiveMessage(body, true);
            loop.runUntil([&] { return !studio.gallery().working(); }, std::chrono::seconds(60));
            loop.runUntilIdle();
            const Observed after = observe(service, host, support);

            if (action != "start")
                ZARVO_FUZZ_CHECK(after.starts == before.starts);
            if (action != "stop" && action != "start")
                ZARVO_FUZZ_CHECK(after.stops == before.stops);
            if (action != "restartClient")
                ZARVO_FUZZ_CHECK(after.relaunches == before.relaunches &&
                                 after.terminations == before.terminations);
            if (action != "appearance")
                ZARVO_FUZZ_CHECK(after.dark == before.dark);
            if (action != "rect")
                ZARVO_FUZZ_CHECK(after.frame == before.frame);
            if (after.frame)
                ZARVO_FUZZ_CHECK(after.frame->width >= 0 && after.frame->height >= 0);
            if (action != "diagnostics")
                ZARVO_FUZZ_CHECK(after.diagnostics == before.diagnostics);
            if (action != "cameraSetup")
                ZARVO_FUZZ_CHECK(after.cameraSetups == before.cameraSetups);
            if (action != "checkUpdates")
                ZARVO_FUZZ_CHECK(after.checks == before.checks);
            ZARVO_FUZZ_CHECK(std::filesystem::exists(outside));
            for (const Json& state : web.pushes())
                checkPush(state);
            if (host.terminations > 0)
                break; // the program would be gone
        }
        if (app.aiActive || app.aiBusy) {
            app.stopAI();
            loop.runUntilIdle();
        }
    }
    loop.runUntilIdle();
    return 0;
}
