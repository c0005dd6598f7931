// The bridge in the real engine: Zarvo's WebKitGTK view loads the studio page shipped in the
// bundle, with the application core behind it on the GLib loop. Run under Xvfb.
#include "../app/session_fixture.h"
#include "studio_fakes.h"

#include "foundation/glib_loop.h"
#include "studio/webkit_studio_view.h"

#include <gtk/gtk.h>

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

// Runs the main context until `done` holds; generous, as a loaded machine starts WebKit slowly.
bool spinUntil(const std::function<bool()>& done,
               std::chrono::seconds limit = std::chrono::seconds(90)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    guint wake = g_timeout_add(
        20, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    while (!done() && std::chrono::steady_clock::now() < deadline)
        g_main_context_iteration(nullptr, TRUE);
    g_source_remove(wake);
    return done();
}

class WebKitBridgeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(gtk_init_check()) << "no display; run under xvfb-run";
        folder =
            std::filesystem::temp_directory_path() / ("zarvo-webkit-" + std::to_string(getpid()));
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        // A copy, so that a file next to the page folder can prove the page cannot reach it.
        std::filesystem::copy(ZARVO_STUDIO_RESOURCES, folder / "page",
                              std::filesystem::copy_options::recursive);
        setenv("XDG_DATA_HOME", (folder / "data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);

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

        window = gtk_window_new();
        gtk_window_set_default_size(GTK_WINDOW(window), 1240, 840);
        web = new WebKitStudioView();
        gtk_window_set_child(GTK_WINDOW(window), web->widget());
        gtk_window_present(GTK_WINDOW(window));
        host = new FakeHost();
        support = new FakeSupport();
        parts = new FakeStudioParts();
        studio = new ExactInterface(*app, *web, *host, *support, folder / "page" / "index.html",
                                    parts->parts());
        ASSERT_TRUE(spinUntil([] { return web->loaded(); })) << "the page did not load";
    }
    static void TearDownTestSuite() {
        delete studio;
        delete parts;
        delete support;
        delete host;
        delete web;
        if (window)
            gtk_window_destroy(GTK_WINDOW(window));
        delete app;
        delete defaults;
        delete video;
        delete service;
        delete loop;
        std::filesystem::remove_all(folder);
    }

    static std::optional<Json> eval(const std::string& script) {
        bool answered = false;
        std::optional<Json> result;
        web->evaluate(script, [&](std::optional<Json> value) {
            result = std::move(value);
            answered = true;
        });
        EXPECT_TRUE(spinUntil([&] { return answered; })) << script;
        return result;
    }

    static inline std::filesystem::path folder;
    static inline GLibLoop* loop = nullptr;
    static inline ScriptedService* service = nullptr;
    static inline FakeVideo* video = nullptr;
    static inline UserDefaults* defaults = nullptr;
    static inline App* app = nullptr;
    static inline GtkWidget* window = nullptr;
    static inline WebKitStudioView* web = nullptr;
    static inline FakeHost* host = nullptr;
    static inline FakeSupport* support = nullptr;
    static inline FakeStudioParts* parts = nullptr;
    static inline ExactInterface* studio = nullptr;
};

TEST_F(WebKitBridgeTest, TheLoadedPageIsProbedThemedAndPlacesTheVideoRegionOverItsSlot) {
    EXPECT_TRUE(spinUntil([] { return support->launchReady == 1; }));
    EXPECT_EQ(eval("document.documentElement.dataset.theme + '/' + window.nativeAppearance"),
              Json("light/light"));
    // The region follows the slot's box as the page lays it out (fonts may still move it).
    auto slotBox = [] {
        return eval("(function(){var b=document.getElementById('video-slot')"
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
    EXPECT_EQ(eval("(function () { var keep = []; for (var i = 0; i < 300; i++) { keep = [];"
                   " for (var j = 0; j < 10000; j++) keep.push({j: j, s: 'x' + j}); }"
                   " return typeof window.webkit.messageHandlers.studio.postMessage; })()"),
              Json("function"));
    eval("document.querySelector('[data-nav=bill]').click(); 0");
    EXPECT_TRUE(spinUntil([] { return host->videoVisible == false; }));
    studio->openStudioPage("live");
    EXPECT_TRUE(spinUntil([] { return host->videoVisible == true; }));
}

TEST_F(WebKitBridgeTest, APushedStateShowsInThePage) {
    app->sessionBadge.text = "徽章 · 测试 \"引号\" </script>";
    studio->refresh();
    EXPECT_TRUE(spinUntil([] {
        return eval("document.getElementById('session-badge').textContent") ==
               Json("徽章 · 测试 \"引号\" </script>");
    }));
    EXPECT_EQ(eval("Studio.renderErrors"), Json(0));
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
        return eval(startState) == Json::array({true, "至少需要 10 积分开启 AI，剩余积分保留"});
    })) << eval(startState).value_or(Json()).dump();
    eval("document.getElementById('start-ai').click()");
    spinUntil([] { return false; }, std::chrono::seconds(1));
    EXPECT_EQ(service->count("live/current"), 0u);

    service->answer("client/state", accountReply(100));
    app->refreshState();
    ASSERT_TRUE(spinUntil([&] {
        return eval(startState) == Json::array({false, ""});
    })) << eval(startState).value_or(Json()).dump();
    eval("document.getElementById('start-ai').click()");
    EXPECT_TRUE(spinUntil([] { return service->count("live/current") == 1; }));
}

TEST_F(WebKitBridgeTest, AnEmbeddedFrameCannotReachTheHandler) {
    eval("var f = document.createElement('iframe'); f.id = 'embedded'; f.style.display = 'none';"
         "f.srcdoc = '<script>window.postFromFrame = function (a) { try {"
         " window.webkit.messageHandlers.studio.postMessage({action: a}); return \"posted\"; }"
         " catch (e) { return \"blocked\"; } };<\\/script>';"
         "document.body.appendChild(f); 0");
    ASSERT_TRUE(spinUntil([] {
        return eval("typeof document.getElementById('embedded').contentWindow.postFromFrame") ==
               Json("function");
    }));
    EXPECT_EQ(eval("document.getElementById('embedded').contentWindow.postFromFrame('enlarge')"),
              Json("blocked"));
    // A top-frame message sent afterwards arrives after anything the frame could have sent.
    eval("window.webkit.messageHandlers.studio.postMessage({action:'notice',value:'顶层'})");
    ASSERT_TRUE(spinUntil([] { return !host->alerts.empty(); }));
    EXPECT_EQ(host->enlarged, 0);
    EXPECT_EQ(host->alerts.back(), "Zarvo|顶层");
    // The page cannot replace the forwarding handler either.
    EXPECT_EQ(eval("window.webkit.messageHandlers.studio = null; delete "
                   "window.webkit.messageHandlers.studio; typeof "
                   "window.webkit.messageHandlers.studio.postMessage"),
              Json("function"));
    eval("document.getElementById('embedded').remove(); 0");
}

// The user opens the settings page: the region hides, the page looks for the virtual camera and
// the answer, found off the main thread, comes back to the check that asked.
TEST_F(WebKitBridgeTest, OpeningSettingsHidesTheRegionAndChecksTheVirtualCamera) {
    host->cameraName = "Zarvo 虚拟摄像头";
    eval("document.querySelector('[data-nav=settings]').click(); 0");
    ASSERT_TRUE(spinUntil([] { return host->videoVisible == false; }));
    EXPECT_EQ(eval("document.getElementById('page-settings').hidden"), Json(false));
    EXPECT_TRUE(spinUntil([] {
        return eval("document.getElementById('vcam-text').textContent") == Json("虚拟摄像头已就绪");
    }));
    EXPECT_EQ(eval("document.getElementById('software-update') !== null"), Json(true));

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
    EXPECT_EQ(eval("document.getElementById('page-live').hidden"), Json(false));
}

TEST_F(WebKitBridgeTest, ThePageCannotLeaveItsFolderOrNavigateAway) {
    std::ofstream(folder / "secret.txt") << "secret";
    eval("var x = new XMLHttpRequest(); window.leak = 'none';"
         "x.onload = function () { window.leak = x.responseText; };"
         "x.onerror = function () { window.leak = 'refused'; };"
         "x.open('GET', '%2e%2e/secret.txt'); x.send(); 0");
    EXPECT_TRUE(spinUntil([] { return eval("window.leak") != Json("none"); }));
    EXPECT_NE(eval("window.leak"), Json("secret"));
    eval("window.location.href = 'https://example.invalid/'; 0");
    eval("window.location.href = 'file://" + (folder / "secret.txt").string() + "'; 0");
    spinUntil([] { return false; }, std::chrono::seconds(1));
    EXPECT_EQ(eval("document.getElementById('software-update') !== null"), Json(true));
}

} // namespace
} // namespace zarvo::testing
