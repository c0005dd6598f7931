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
        app = new App(*loop, *defaults, std::move(wiring));
        app->selectedReferenceData = "reference";
        app->routes.check();

        openWindow();
        host = new FakeHost();
        support = new FakeSupport();
        parts = new FakeStudioParts();
        studio = new ExactInterface(*app, *web, *host, *support, folder / "page" / "index.html",
                                    parts->parts());
        ASSERT_TRUE(pageLoaded());
    }
    static void TearDownTestSuite() {
        delete studio;
        delete parts;
        delete support;
        delete host;
        closeWindow();
        delete app;
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
    static inline App* app = nullptr;
    static inline FakeHost* host = nullptr;
    static inline FakeSupport* support = nullptr;
    static inline FakeStudioParts* parts = nullptr;
    static inline ExactInterface* studio = nullptr;
};

TEST_F(WebKitBridgeTest, TheLoadedPageIsProbedThemedAndPlacesTheVideoRegionOverItsSlot) {
    EXPECT_TRUE(spinUntil([] { return support->launchReady == 1; }));
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
    EXPECT_EQ(evaluate("(function () { var keep = []; for (var i = 0; i < 300; i++) { keep = [];"
                       " for (var j = 0; j < 10000; j++) keep.push({j: j, s: 'x' + j}); }"
                       " return typeof window.webkit.messageHandlers.studio.postMessage; })()"),
              Json("function"));
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

TEST_F(WebKitBridgeTest, AnEmbeddedFrameCannotReachTheHandler) {
    evaluate(
        "var f = document.createElement('iframe'); f.id = 'embedded'; f.style.display = 'none';"
        "f.srcdoc = '<script>window.postFromFrame = function (a) { try {"
        " window.webkit.messageHandlers.studio.postMessage({action: a}); return \"posted\"; }"
        " catch (e) { return \"blocked\"; } };<\\/script>';"
        "document.body.appendChild(f); 0");
    ASSERT_TRUE(spinUntil([] {
        return evaluate("typeof document.getElementById('embedded').contentWindow.postFromFrame") ==
               Json("function");
    }));
    EXPECT_EQ(
        evaluate("document.getElementById('embedded').contentWindow.postFromFrame('enlarge')"),
        Json("blocked"));
    // A top-frame message sent afterwards arrives after anything the frame could have sent.
    evaluate("window.webkit.messageHandlers.studio.postMessage({action:'notice',value:'顶层'})");
    ASSERT_TRUE(spinUntil([] { return !host->alerts.empty(); }));
    EXPECT_EQ(host->enlarged, 0);
    EXPECT_EQ(host->alerts.back(), "Zarvo|顶层");
    // The page cannot replace the forwarding handler either.
    EXPECT_EQ(evaluate("window.webkit.messageHandlers.studio = null; delete "
                       "window.webkit.messageHandlers.studio; typeof "
                       "window.webkit.messageHandlers.studio.postMessage"),
              Json("function"));
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
