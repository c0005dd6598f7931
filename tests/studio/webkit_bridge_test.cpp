// The bridge in the real engine: Zarvo's WebKitGTK view loads the studio page shipped in the
// bundle, with the application core behind it on the GLib loop. Run under Xvfb.
#include "../app/session_fixture.h"
#include "studio_fakes.h"
#include "studio_window_fixture.h"

#include "foundation/glib_loop.h"

#include <fstream>

namespace zarvo::testing {
namespace {

// The idle account reply as the service sends it, with `points` to spend.
Json accountReply(int64_t points) {
    return {{"available_points", points},
            {"available_paid_points", points},
            {"available_gift_points", 0},
            {"reserved_points", 0},
            {"session_id", nullptr},
            {"session_state", "IDLE"},
            {"session_running", false},
            {"estimated_consumed_points", 0},
            {"estimated_remaining_points", points},
            {"estimated_remaining_paid_points", points},
            {"estimated_remaining_gift_points", 0},
            {"safe_start_seconds", std::min<int64_t>(points, 600)},
            {"bill_confirmed", false},
            {"min_start_points", 10}};
}

class WebKitBridgeTest : public StudioWindowTest {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(openScratchFolder("zarvo-webkit"));
        // A copy, so that a file next to the page folder can prove the page cannot reach it.
        std::filesystem::copy(ZARVO_STUDIO_RESOURCES, folder / "page",
                              std::filesystem::copy_options::recursive);

        loop = new GLibLoop();
        service = new ScriptedService(*loop);
        service->answer("client/state", accountReply(5));
        service->answer("live/current", Json{{"state", "IDLE"}});
        service->hold("live/start"); // the start goes no further than asking the service
        video = new FakeVideo();
        defaults = new UserDefaults(folder / "config" / "Zarvo" / "defaults.json");
        AppWiring wiring;
        wiring.video = video;
        wiring.credential = "account-token";
        wiring.sender = service->sender();
        hosts = new zarvo::testing::FakeHosts();
        app = new App(*loop, *defaults, hosts->hosts(), std::move(wiring));
        app->selectedReferenceData = "reference";
        app->routes.check();

        openWindow();
        host = new FakeHost();
        support = new FakeSupport();
        parts = new FakeStudioParts();
        studio = new ExactInterface(*app, *web, *host, *support, folder / "page" / "index.html",
                                    parts->parts());
        link->controller = studio;
        ASSERT_TRUE(pageLoaded());
    }
    static void TearDownTestSuite() {
        link->controller = nullptr;
        delete studio;
        delete parts;
        delete support;
        delete host;
        closeWindow();
        delete app;
        delete hosts;
        delete defaults;
        delete video;
        delete service;
        delete loop;
        removeScratchFolder();
    }

    static inline GLibLoop* loop = nullptr;
    static inline ScriptedService* service = nullptr;
    static inline FakeVideo* video = nullptr;
    static inline UserDefaults* defaults = nullptr;
    static inline zarvo::testing::FakeHosts* hosts = nullptr;
    static inline App* app = nullptr;
    static inline FakeHost* host = nullptr;
    static inline FakeSupport* support = nullptr;
    static inline FakeStudioParts* parts = nullptr;
    static inline ExactInterface* studio = nullptr;
};

TEST_F(WebKitBridgeTest, TheLoadedPageIsProbedThemedAndPlacesTheVideoRegionOverItsSlot) {
    EXPECT_TRUE(spinUntil([] { return support->launchReady == 1; })) << support->launchReady;
    EXPECT_EQ(evaluate("document.documentElement.dataset.theme + '/' + window.nativeAppearance"),
              Json("light/light"));
    // The region follows the slot's box as the page lays it out (fonts may still move it).
    auto slotBox = [] {
        return evaluate("(function(){var b=document.getElementById('video-slot')"
                        ".getBoundingClientRect();return [Math.round(b.left),Math.round(b.top),"
                        "Math.round(b.width),Math.round(b.height)];})()");
    };
    EXPECT_TRUE(spinUntil([&] {
        auto box = slotBox();
        return host->frame && box && box->size() == 4 && (*box)[2].get<double>() > 0 &&
               *host->frame == VideoFrame{(*box)[0].get<double>(), (*box)[1].get<double>(),
                                          (*box)[2].get<double>(), (*box)[3].get<double>()};
    }));
}

// The engine recreates its namespace wrappers after a garbage collection; the page's handler must
// survive that, or every button of a long-running window falls silent.
TEST_F(WebKitBridgeTest, TheHandlerOutlivesAGarbageCollection) {
    // The page took its one hand-over of the handler; nothing is left on the window to take.
    EXPECT_EQ(evaluate("(function () { var keep = []; for (var i = 0; i < 300; i++) { keep = [];"
                       " for (var j = 0; j < 10000; j++) keep.push({j: j, s: 'x' + j}); }"
                       " return typeof window.__studioTakeBridge; })()"),
              Json("undefined"));
    evaluate("document.querySelector('[data-nav=bill]').click(); 0");
    EXPECT_TRUE(spinUntil([] { return host->videoVisible == false; }));
    studio->openStudioPage("live");
    EXPECT_TRUE(spinUntil([] { return host->videoVisible == true; }));
}

TEST_F(WebKitBridgeTest, APushedStateShowsInThePage) {
    app->sessionBadge.text = "徽章 · 测试 \"引号\" </script>";
    studio->refresh();
    EXPECT_TRUE(spinUntil([] {
        return evaluate("document.getElementById('session-badge').textContent") ==
               Json("徽章 · 测试 \"引号\" </script>");
    }));
    EXPECT_EQ(evaluate("Studio.renderErrors"), Json(0));
}

// The page's start button follows the application's start rule: disabled with the reason shown
// while the account cannot pay for a start, enabled once a start-ready account reply arrived, and
// then its click reaches the session start.
TEST_F(WebKitBridgeTest, StartFollowsTheAccountAndAClickReachesTheSessionStart) {
    const std::string startState =
        "(function(){var r=document.getElementById('start-reason');"
        "return [document.getElementById('start-ai').disabled, r.hidden ? '' : r.textContent];})()";
    app->refreshState();
    ASSERT_TRUE(spinUntil([] { return app->usageSnapshot.has_value(); }));
    EXPECT_TRUE(spinUntil([&] {
        return evaluate(startState) == Json::array({true, "至少需要 10 积分开启 AI，剩余积分保留"});
    })) << evaluate(startState).value_or(Json()).dump();
    evaluate("document.getElementById('start-ai').click()");
    spinUntil([] { return false; }, std::chrono::seconds(1));
    EXPECT_EQ(service->count("live/current"), 0u);

    service->answer("client/state", accountReply(100));
    app->refreshState();
    ASSERT_TRUE(spinUntil([&] {
        return evaluate(startState) == Json::array({false, ""});
    })) << evaluate(startState).value_or(Json()).dump();
    evaluate("document.getElementById('start-ai').click()");
    EXPECT_TRUE(spinUntil([] { return service->count("live/current") == 1; }));
}

// WebKitGTK does not say which frame posted, so no frame but the page itself may hold a way to
// the handler. A real same-origin frame, served from the page's own folder, tries every way it has:
// the top window's handler namespace and its names, the top window's globals, the page's bridge
// module loaded again, and script run in the top frame. Nothing it sends is dispatched.
TEST_F(WebKitBridgeTest, AnEmbeddedFrameCannotReachTheHandler) {
    std::ofstream(folder / "page" / "frame.html")
        << "<!doctype html><meta charset=\"utf-8\"><script type=\"module\" "
           "src=\"frame.js\"></script>";
    std::ofstream(folder / "page" / "frame.js") << R"js(
const tried = [];
function attempt(name, run) {
  try { run(); tried.push(name + ':sent'); } catch (e) { tried.push(name + ':refused'); }
}
const message = { action: 'enlarge' };
attempt('parent studio', () => parent.webkit.messageHandlers.studio.postMessage(message));
attempt('own studio', () => window.webkit.messageHandlers.studio.postMessage(message));
attempt('take', () => parent.__studioTakeBridge()(message));
const names = new Set(Object.getOwnPropertyNames(parent.webkit.messageHandlers));
for (const name in parent.webkit.messageHandlers) names.add(name);
for (const name of names)
  attempt('name ' + name, () => parent.webkit.messageHandlers[name].postMessage(message));
attempt('eval', () => parent.eval("import('./bridge.js').then(m => m.post('enlarge'))"));
attempt('function', () => new parent.Function(
  "webkit.messageHandlers.studio.postMessage({action:'enlarge'})")());
attempt('inline', () => {
  const script = parent.document.createElement('script');
  script.type = 'module';
  script.textContent = "import { post } from './bridge.js'; post('enlarge');";
  parent.document.head.appendChild(script);
});
const bridge = await import('./bridge.js');
attempt('own bridge', () => bridge.post('enlarge'));
window.sameOrigin = parent.document.getElementById('software-update') !== null;
window.tried = tried;
)js";
    evaluate("var f = document.createElement('iframe'); f.id = 'embedded'; f.src = 'frame.html';"
             "f.style.display = 'none'; document.body.appendChild(f); 0");
    ASSERT_TRUE(spinUntil([] {
        return evaluate("Array.isArray(document.getElementById('embedded').contentWindow.tried)") ==
               Json(true);
    }));
    EXPECT_EQ(evaluate("document.getElementById('embedded').contentWindow.sameOrigin"), Json(true));
    Json tried = evaluate("document.getElementById('embedded').contentWindow.tried").value();
    EXPECT_EQ(tried[0], "parent studio:refused") << tried.dump();
    EXPECT_EQ(tried[1], "own studio:refused") << tried.dump();
    EXPECT_EQ(tried[2], "take:refused") << tried.dump();
    // Clicks in the page itself reach the application, in order and after anything the frame
    // sent; two full round trips leave time for any of its asynchronous tries to land first.
    for (int clicks = 1; clicks <= 2; ++clicks) {
        evaluate("document.getElementById('enlarge').click(); 0");
        ASSERT_TRUE(spinUntil([&] { return host->enlarged >= clicks; }));
    }
    EXPECT_EQ(host->enlarged, 2) << tried.dump();
    EXPECT_EQ(evaluate("Studio.renderErrors"), Json(0));
    evaluate("document.getElementById('embedded').remove(); 0");
}

// The user opens the settings page: the region hides, the page looks for the virtual camera and
// the answer, found off the main thread, comes back to the check that asked.
TEST_F(WebKitBridgeTest, OpeningSettingsHidesTheRegionAndChecksTheVirtualCamera) {
    host->cameraName = "Zarvo 虚拟摄像头";
    evaluate("document.querySelector('[data-nav=settings]').click(); 0");
    ASSERT_TRUE(spinUntil([] { return host->videoVisible == false; }));
    EXPECT_EQ(evaluate("document.getElementById('page-settings').hidden"), Json(false));
    EXPECT_TRUE(spinUntil([] {
        return evaluate("document.getElementById('vcam-text').textContent") ==
               Json("虚拟摄像头已就绪");
    }));
    EXPECT_EQ(evaluate("document.getElementById('software-update') !== null"), Json(true));

    auto png = folder / "settings.png";
    std::optional<bool> saved;
    web->snapshotPNG(png, [&](bool ok) { saved = ok; });
    ASSERT_TRUE(spinUntil([&] { return saved.has_value(); }));
    EXPECT_TRUE(*saved);
    std::ifstream file(png, std::ios::binary);
    char signature[8] = {};
    file.read(signature, 8);
    EXPECT_EQ(std::string(signature + 1, 3), "PNG");

    studio->openStudioPage("live");
    EXPECT_TRUE(spinUntil([] { return host->videoVisible == true; }));
    EXPECT_EQ(evaluate("document.getElementById('page-live').hidden"), Json(false));
}

TEST_F(WebKitBridgeTest, ThePageCannotLeaveItsFolderOrNavigateAway) {
    std::ofstream(folder / "secret.txt") << "secret";
    evaluate("var x = new XMLHttpRequest(); window.leak = 'none';"
             "x.onload = function () { window.leak = x.responseText; };"
             "x.onerror = function () { window.leak = 'refused'; };"
             "x.open('GET', '%2e%2e/secret.txt'); x.send(); 0");
    EXPECT_TRUE(spinUntil([] { return evaluate("window.leak") != Json("none"); }));
    EXPECT_NE(evaluate("window.leak"), Json("secret"));
    evaluate("window.location.href = 'https://example.invalid/'; 0");
    evaluate("window.location.href = 'file://" + (folder / "secret.txt").string() + "'; 0");
    spinUntil([] { return false; }, std::chrono::seconds(1));
    EXPECT_EQ(evaluate("document.getElementById('software-update') !== null"), Json(true));
}

} // namespace
} // namespace zarvo::testing
