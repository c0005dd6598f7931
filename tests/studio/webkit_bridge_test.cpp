// The bridge in the real engine: Zarvo's WebKitGTK view loads a page honouring the studio
// contract, with the application core behind it on the GLib loop. Run under Xvfb.
#include "../app/session_fixture.h"
#include "studio_fakes.h"

#include "foundation/glib_loop.h"
#include "studio/webkit_studio_view.h"

#include <gtk/gtk.h>

#include <fstream>

namespace zarvo::testing {
namespace {

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
        std::filesystem::create_directories(folder / "page");
        std::filesystem::copy_file(ZARVO_STUDIO_FIXTURE, folder / "page" / "index.html");
        setenv("XDG_DATA_HOME", (folder / "data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);

        loop = new GLibLoop();
        service = new ScriptedService(*loop);
        service->answer("client/state", idleAccount());
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

TEST_F(WebKitBridgeTest, TheLoadedPageIsProbedThemedAndPlacesTheVideoRegion) {
    EXPECT_TRUE(spinUntil([] { return support->launchReady == 1; }));
    EXPECT_EQ(eval("document.documentElement.dataset.theme + '/' + window.nativeAppearance"),
              Json("light/light"));
    ASSERT_TRUE(spinUntil([] { return host->frame.has_value(); }));
    EXPECT_EQ(*host->frame, (VideoFrame{40, 60, 640, 360}));
}

TEST_F(WebKitBridgeTest, APushedStateShowsInThePage) {
    app->sessionBadge.text = "徽章 · 测试 \"引号\" </script>";
    studio->refresh();
    EXPECT_TRUE(spinUntil([] {
        return eval("document.getElementById('session-badge').textContent") ==
               Json("徽章 · 测试 \"引号\" </script>");
    }));
    // The first push after the load carried the gallery.
    EXPECT_EQ(eval("typeof window.lastState.syncAge"), Json("number"));
}

TEST_F(WebKitBridgeTest, AClickOnStartReachesTheSessionStart) {
    app->refreshState();
    ASSERT_TRUE(spinUntil([] { return app->usageSnapshot.has_value(); }));
    eval("document.getElementById('start-ai').click()");
    EXPECT_TRUE(spinUntil([] { return service->count("live/current") == 1; }));
}

TEST_F(WebKitBridgeTest, AnEmbeddedFrameCannotReachTheHandler) {
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
}

TEST_F(WebKitBridgeTest, CameraCheckAnswersReachThePageWithTheirTicket) {
    eval("window.webkit.messageHandlers.studio.postMessage({action:'cameraCheck',value:5})");
    EXPECT_TRUE(spinUntil(
        [] { return eval("JSON.stringify(window.cameraChecks)") == Json("[[false,5]]"); }));
}

TEST_F(WebKitBridgeTest, OpeningAPageHidesTheVideoRegionAndTheSnapshotIsAPng) {
    studio->openStudioPage("settings");
    ASSERT_TRUE(spinUntil([] { return host->videoVisible == false; }));
    EXPECT_EQ(eval("document.getElementById('page-settings').hidden"), Json(false));
    auto png = folder / "settings.png";
    std::optional<bool> saved;
    web->snapshotPNG(png, [&](bool ok) { saved = ok; });
    ASSERT_TRUE(spinUntil([&] { return saved.has_value(); }));
    EXPECT_TRUE(*saved);
    std::ifstream file(png, std::ios::binary);
    char signature[8] = {};
    file.read(signature, 8);
    EXPECT_EQ(std::string(signature + 1, 3), "PNG");
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
