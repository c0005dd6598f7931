// The studio end to end: the real page in WebKitGTK under Xvfb with the application's own
// controller, gallery, presets, bill lists and camera chooser behind it, talking over TLS to the
// service stand-in. Only the native dialogs are answered by the test, and the demo cameras are
// unplugged through their device seam. Every wait is for the page to show the result.
#include "studio_fakes.h"
#include "studio_window_fixture.h"

#include "../app/fake_hosts.h"
#include "app/app.h"
#include "devservice/billing/billing_front.h"
#include "devservice/devservice.h"
#include "foundation/atomic_file.h"
#include "foundation/encoding.h"
#include "foundation/glib_loop.h"
#include "media/camera/camera_monitor.h"
#include "service/deployment.h"
#include "studio/gdk_gallery_codec.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <map>

namespace zarvo::testing {
namespace {

constexpr int kLedgerRecords = 45;

// No session runs in these tests; the video link is never joined.
class IdleVideo : public SessionVideo {
public:
    Status<> join(const Json&, const std::string&) override { return Ok{}; }
    void stop() override {}
    bool resetting() const override { return false; }
    bool hasEngine() const override { return true; }
    void setCameraID(const std::string& id) override { camera_ = id; }
    std::string cameraID() const override { return camera_; }
    RemoteFrameStats frameStats() const override { return {}; }

private:
    std::string camera_;
};

void writePicture(const std::filesystem::path& file, const char* type, guint32 rgba) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 640, 480);
    gdk_pixbuf_fill(pixbuf, rgba);
    ASSERT_TRUE(gdk_pixbuf_save(pixbuf, file.c_str(), type, nullptr, nullptr));
    g_object_unref(pixbuf);
}

// The stand-in's billing snapshot for `token`: two grants, then a charge per session, numbered
// in their descriptions so a page shows which records it holds.
std::string seededBilling(const std::string& token) {
    Json ledger = Json::array();
    int64_t paid = 0, gift = 0;
    auto at = parseIso8601("2026-11-01T09:00:00Z").value();
    for (int id = 1; id <= kLedgerRecords; ++id) {
        int64_t paidDelta = 0, giftDelta = 0;
        std::string kind = "grant";
        if (id == 1)
            paidDelta = 3000;
        else if (id == 2)
            giftDelta = 600;
        else {
            kind = "session_charge";
            const int64_t charge = 20 + id % 5 * 10;
            giftDelta = -std::min(gift, charge);
            paidDelta = -(charge + giftDelta);
        }
        paid += paidDelta;
        gift += giftDelta;
        ledger.push_back(Json{{"entry_id", id},
                              {"created_at", formatIso8601(at + std::chrono::hours(id))},
                              {"kind", kind},
                              {"session_id", nullptr},
                              {"points", paidDelta + giftDelta},
                              {"paid_points", paidDelta},
                              {"gift_points", giftDelta},
                              {"balance_after", paid + gift},
                              {"paid_balance_after", paid},
                              {"gift_balance_after", gift},
                              {"description", "记录 " + std::to_string(id)}});
    }
    Json account{{"token", token},
                 {"name", "开发账号"},
                 {"available_paid_points", paid},
                 {"available_gift_points", gift},
                 {"next_entry_id", kLedgerRecords + 1},
                 {"ledger", ledger}};
    return Json{{"format", 1}, {"accounts", Json::array({account})}}.dump();
}

class StudioEndToEndTest : public StudioWindowTest {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(openScratchFolder("zarvo-studio-e2e"));
        std::filesystem::create_directories(folder / "pictures");

        const std::string token = "studio-e2e-account-token-0123456789abcdef";
        ASSERT_TRUE(writeFileAtomically(folder / "billing.json", seededBilling(token)).ok());
        devservice::DevServiceOptions options;
        options.stateDirectory = folder / "stand-in";
        options.accountToken = token;
        service = new devservice::DevService(options);
        ASSERT_TRUE(service->start().ok());
        devservice::BillingConfig billingConfig;
        billingConfig.snapshotPath = folder / "billing.json";
        billing = devservice::installBilling(*service, billingConfig);
        ASSERT_EQ(billing->snapshotProblem(), "");
        auto deployment = readDeploymentFile(service->deploymentFile());
        ASSERT_TRUE(deployment.ok()) << deployment.error().message;
        setCurrentDeployment(*deployment);

        loop = new GLibLoop();
        defaults = new UserDefaults(folder / "config" / "Zarvo" / "defaults.json");
        video = new IdleVideo();
        AppWiring wiring;
        wiring.video = video;
        wiring.credential = token;
        hosts = new zarvo::testing::FakeHosts();
        app = new App(*loop, *defaults, hosts->hosts(), std::move(wiring));
        // The bill's requests need a route; a first probe may time out on a loaded machine.
        ASSERT_TRUE(spinUntil([] {
            if (!app->routes.confirmed() && !app->routes.switching())
                app->routes.check();
            return app->routes.confirmed();
        })) << app->routes.lastError();

        openWindow();
        host = new FakeHost();
        support = new FakeSupport();
        dialogs = new FakeDialogs();
        cameras = std::make_shared<DemoCameraDeviceSource>(2);
        StudioParts parts;
        parts.galleryUI = dialogs;
        parts.presetUI = dialogs;
        parts.codec = std::make_shared<GdkGalleryCodec>();
        parts.cameras = cameras;
        parts.capture = std::make_shared<FakeCapture>();
        studio = new ExactInterface(*app, *web, *host, *support, ZARVO_STUDIO_PAGE, parts);
        link->controller = studio;
        ASSERT_TRUE(pageLoaded());
        // Garbage enough for the engine to collect whatever script objects nobody holds: the
        // page's way to the application must survive that.
        ASSERT_EQ(eval("(function () { var kept = 0; for (var i = 0; i < 300; i++) {"
                       " var a = []; for (var j = 0; j < 20000; j++) a.push({j: j});"
                       " kept += a.length; } return kept; })()"),
                  Json(6000000));
        // The page's modules may still run after the load is reported; the probe says when.
        ASSERT_TRUE(spinUntil([] { return support->launchReady > 0; }));
        ASSERT_TRUE(click("#refresh-points", {"refresh"}));
    }
    static void TearDownTestSuite() {
        link->controller = nullptr;
        delete studio;
        delete dialogs;
        delete support;
        delete host;
        closeWindow();
        delete app;
        delete hosts;
        delete video;
        delete defaults;
        delete loop;
        // The stand-in stops before the billing it calls goes.
        delete service;
        billing.reset();
        removeScratchFolder();
    }

    static Json eval(const std::string& script) {
        return evaluate(script).value_or(Json("<no value>"));
    }
    // Waits until the page shows `expected`; the last value seen otherwise, for the failure.
    static ::testing::AssertionResult pageShows(const std::string& script, const Json& expected) {
        Json seen;
        if (spinUntil([&] { return (seen = eval(script)) == expected; }))
            return ::testing::AssertionSuccess();
        // What the application and the page said, for a failure on a machine we cannot watch.
        return ::testing::AssertionFailure()
               << script << "\n  shows " << seen.dump() << "\n  wanted " << expected.dump()
               << "\n  status " << app->status.text << ", route " << app->routes.activeRoute()
               << (app->routes.confirmed() ? "" : " (unconfirmed) ") << app->routes.lastError()
               << "\n  bill " << eval("document.getElementById('ledger-state').textContent").dump();
    }
    // Runs a user action in the page and waits until the application received the messages it
    // posts, so a lost message fails here by name instead of as a page that never changes.
    static ::testing::AssertionResult act(const std::string& script,
                                          std::vector<std::string> actions) {
        std::map<std::string, int> before;
        for (const auto& action : actions)
            before[action] = link->received[action];
        eval(script + "; 0");
        for (const auto& action : actions)
            if (!spinUntil([&] { return link->received[action] > before[action]; }))
                return ::testing::AssertionFailure()
                       << "the application never received \"" << action << "\" from " << script;
        return ::testing::AssertionSuccess();
    }
    static ::testing::AssertionResult click(const std::string& selector,
                                            std::vector<std::string> actions) {
        return act("document.querySelector(" + Json(selector).dump() + ").click()",
                   std::move(actions));
    }

    static inline devservice::DevService* service = nullptr;
    static inline std::shared_ptr<devservice::BillingService> billing;
    static inline GLibLoop* loop = nullptr;
    static inline UserDefaults* defaults = nullptr;
    static inline IdleVideo* video = nullptr;
    static inline zarvo::testing::FakeHosts* hosts = nullptr;
    static inline App* app = nullptr;
    static inline FakeHost* host = nullptr;
    static inline FakeSupport* support = nullptr;
    static inline FakeDialogs* dialogs = nullptr;
    static inline std::shared_ptr<DemoCameraDeviceSource> cameras;
    static inline ExactInterface* studio = nullptr;
};

// Scripts reading the live page.
const std::string kThumbNames = "Array.from(document.querySelectorAll('#gallery .thumb-name'))"
                                ".map(function (e) { return e.textContent; })";
const std::string kSelectedThumb =
    "(document.querySelector('#gallery .thumb.selected .thumb-name') || {}).textContent || ''";
const std::string kPressedMode =
    "document.querySelector('.mode[aria-pressed=\"true\"]').getAttribute('data-mode')";
const std::string kCameraOptions = "Array.from(document.getElementById('camera-select').options)"
                                   ".map(function (o) { return o.textContent; })";
const std::string kSelectedCamera =
    "(function (s) { return s.selectedIndex < 0 ? '' : s.options[s.selectedIndex].textContent; })"
    "(document.getElementById('camera-select'))";
std::string pickThumb(const std::string& name) {
    return "Array.from(document.querySelectorAll('#gallery .thumb-pick')).filter(function (b) {"
           " return b.textContent.indexOf(" +
           Json(name).dump() + ") >= 0; })[0].click()";
}
std::string pickCamera(int index) {
    return "var s = document.getElementById('camera-select'); s.selectedIndex = " +
           std::to_string(index) + "; s.dispatchEvent(new Event('change'))";
}
const std::string kPresetNames = "Array.from(document.querySelectorAll('#presets strong'))"
                                 ".map(function (e) { return e.textContent; })";

TEST_F(StudioEndToEndTest, GalleryPresetsAndCamerasFollowTheUserAndTheDevices) {
    const Json both = Json::array({"Zarvo 演示摄像头", "Zarvo 演示摄像头 2"});
    ASSERT_TRUE(pageShows(kCameraOptions, both));

    // Two pictures through the file chooser, then the first one again: still two thumbnails,
    // and the repeated import selects the one already stored.
    writePicture(folder / "pictures" / "海边.png", "png", 0x3b82c4ff);
    writePicture(folder / "pictures" / "人像.jpg", "jpeg", 0xc47a3bff);
    dialogs->chosen = {folder / "pictures" / "海边.png", folder / "pictures" / "人像.jpg"};
    ASSERT_TRUE(click("#import-image", {"image"}));
    ASSERT_TRUE(pageShows(kThumbNames + ".sort()", Json::array({"人像.jpg", "海边.png"})));
    dialogs->chosen = {folder / "pictures" / "海边.png"};
    ASSERT_TRUE(click("#import-image", {"image"}));
    ASSERT_TRUE(pageShows(kSelectedThumb, "海边.png"));
    EXPECT_EQ(eval(kThumbNames + ".length"), Json(2));
    EXPECT_EQ(
        std::distance(std::filesystem::directory_iterator(folder / "data" / "Zarvo" / "references"),
                      std::filesystem::directory_iterator()),
        2);
    EXPECT_TRUE(dialogs->alerts.empty());

    // Mode 2, the portrait, the second camera and the mirror, saved under a prompted name.
    ASSERT_TRUE(click(".mode[data-mode=\"2\"]", {"mode"}));
    ASSERT_TRUE(act(pickThumb("人像"), {"selectReference"}));
    ASSERT_TRUE(act(pickCamera(1), {"camera"}));
    ASSERT_TRUE(click("#mirror", {"mirror"}));
    ASSERT_TRUE(pageShows(kSelectedThumb, "人像.jpg"));
    ASSERT_TRUE(pageShows(kPressedMode, "2"));
    ASSERT_TRUE(pageShows(kSelectedCamera, "Zarvo 演示摄像头 2"));
    ASSERT_TRUE(
        pageShows("document.getElementById('mirror').getAttribute('aria-checked')", "true"));
    dialogs->presetName = "  晨间直播  ";
    ASSERT_TRUE(act("document.getElementById('preset-name').value = '';"
                    "document.getElementById('preset-form').requestSubmit()",
                    {"savePreset"}));
    ASSERT_TRUE(pageShows(kPresetNames, Json::array({"晨间直播"})));
    auto stored = Json::parse(readFile(folder / "data" / "Zarvo" / "presets.json").value_or("[]"));
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0]["camera"], kSecondDemoCameraUniqueID);
    EXPECT_EQ(stored[0]["mode"], 2);
    EXPECT_EQ(stored[0]["mirror"], true);

    // Everything changed back by hand, then the preset's camera unplugged: the chooser drops it
    // and the preset is refused without touching anything.
    ASSERT_TRUE(click(".mode[data-mode=\"0\"]", {"mode"}));
    ASSERT_TRUE(act(pickThumb("海边"), {"selectReference"}));
    ASSERT_TRUE(act(pickCamera(0), {"camera"}));
    ASSERT_TRUE(click("#mirror", {"mirror"}));
    ASSERT_TRUE(pageShows(kSelectedThumb, "海边.png"));
    ASSERT_TRUE(pageShows(kPressedMode, "0"));
    ASSERT_TRUE(pageShows(kSelectedCamera, "Zarvo 演示摄像头"));
    cameras->setPlugged(kSecondDemoCameraUniqueID, false);
    ASSERT_TRUE(pageShows(kCameraOptions, Json::array({"Zarvo 演示摄像头"})));
    ASSERT_TRUE(click("#presets button.btn", {"applyPreset"}));
    ASSERT_TRUE(spinUntil([] { return !dialogs->alerts.empty(); }));
    EXPECT_EQ(dialogs->alerts.back(), "Zarvo|此预设的摄像头当前未连接");
    EXPECT_EQ(eval(kPressedMode), Json("0"));
    EXPECT_EQ(eval(kSelectedThumb), Json("海边.png"));
    EXPECT_EQ(eval("document.getElementById('mirror').getAttribute('aria-checked')"),
              Json("false"));

    // Plugged in again, the chooser offers it, and the preset now applies whole.
    cameras->setPlugged(kSecondDemoCameraUniqueID, true);
    ASSERT_TRUE(pageShows(kCameraOptions, both));
    ASSERT_TRUE(click("#presets button.btn", {"applyPreset"}));
    EXPECT_TRUE(pageShows(kPressedMode, "2"));
    EXPECT_TRUE(pageShows(kSelectedThumb, "人像.jpg"));
    EXPECT_TRUE(pageShows(kSelectedCamera, "Zarvo 演示摄像头 2"));
    EXPECT_TRUE(
        pageShows("document.getElementById('mirror').getAttribute('aria-checked')", "true"));
    EXPECT_EQ(dialogs->alerts.size(), 1u);
}

// With every camera unplugged the page gets an empty list, not the chooser's placeholder as a
// camera: it shows its own disabled entry and the hint, and the cameras come back by themselves.
TEST_F(StudioEndToEndTest, WithNoCameraThePageShowsItsDisabledEntryAndTheHint) {
    const Json both = Json::array({"Zarvo 演示摄像头", "Zarvo 演示摄像头 2"});
    ASSERT_TRUE(pageShows(kCameraOptions, both));
    const std::string chooser = "(function (s) { return [Array.from(s.options).map(function (o) {"
                                " return [o.textContent, o.disabled]; }), s.disabled,"
                                " document.getElementById('camera-hint').textContent]; })"
                                "(document.getElementById('camera-select'))";
    cameras->setPlugged(kDemoCameraUniqueID, false);
    cameras->setPlugged(kSecondDemoCameraUniqueID, false);
    const Json none = Json::array({Json::array({Json::array({"未检测到摄像头", true})}), true,
                                   "连接摄像头后会自动刷新，无需重启"});
    EXPECT_TRUE(pageShows(chooser, none));
    // Its entry is nothing to pick: a pick of it changes nothing.
    ASSERT_TRUE(act(pickCamera(0), {"camera"}));
    EXPECT_TRUE(pageShows(chooser, none));

    cameras->setPlugged(kDemoCameraUniqueID, true);
    cameras->setPlugged(kSecondDemoCameraUniqueID, true);
    EXPECT_TRUE(pageShows(kCameraOptions, both));
    EXPECT_TRUE(pageShows("document.getElementById('camera-select').disabled", false));
}

TEST_F(StudioEndToEndTest, TheBillPagesThroughTheServicesRecords) {
    const std::string rows = "Array.from(document.querySelectorAll('#ledger-rows tr'))"
                             ".map(function (r) { return r.cells[1].textContent; })";
    const std::string pageText = "document.getElementById('ledger-page').textContent";
    ASSERT_TRUE(click("[data-nav=\"bill\"]", {"billing", "sessionBilling"}));
    ASSERT_TRUE(pageShows(rows + ".length", 20));
    EXPECT_EQ(eval(rows + "[0]"), Json("AI 会话扣费记录 45"));
    EXPECT_TRUE(pageShows(pageText, "第 1 / 3 页"));
    EXPECT_EQ(eval("document.getElementById('ledger-info').textContent"), Json("共 45 条"));
    EXPECT_EQ(eval("document.getElementById('ledger-prev').disabled"), Json(true));

    ASSERT_TRUE(click("#ledger-next", {"billing"}));
    ASSERT_TRUE(pageShows(pageText, "第 2 / 3 页"));
    EXPECT_TRUE(pageShows(rows + "[0]", "AI 会话扣费记录 25"));
    ASSERT_TRUE(click("#ledger-next", {"billing"}));
    ASSERT_TRUE(pageShows(pageText, "第 3 / 3 页"));
    // The oldest five: the opening grants come last, with their split.
    EXPECT_TRUE(pageShows(rows + ".length", 5));
    EXPECT_EQ(eval(rows + "[4]"), Json("积分入账记录 1"));
    EXPECT_EQ(eval("document.querySelector('#ledger-rows tr:last-child').cells[2].textContent"),
              Json("+3,000付费 +3,000 · 赠送 0"));
    EXPECT_EQ(eval("document.getElementById('ledger-next').disabled"), Json(true));
    ASSERT_TRUE(click("#ledger-prev", {"billing"}));
    EXPECT_TRUE(pageShows(pageText, "第 2 / 3 页"));
    EXPECT_TRUE(pageShows(rows + ".length", 20));

    // The session list is asked for on its own and is empty for this account.
    EXPECT_TRUE(
        pageShows("document.getElementById('session-state').textContent", "还没有 AI 会话记录"));
}

// A newcomer signs in through the page: the number, Enter, the code from the stand-in's outbox,
// and the new account's balance in the session card. The page never holds the credential.
TEST_F(StudioEndToEndTest, ANewcomerSignsInThroughThePageWithTheCodeFromTheOutbox) {
    const std::string developmentToken = *app->credential;
    ASSERT_EQ(app->signOut(), std::nullopt);
    const std::string shown = "(function (id) { return !document.getElementById(id).hidden; })";
    ASSERT_TRUE(pageShows(shown + "('signin-card')", true));
    EXPECT_EQ(eval(shown + "('session-card')"), Json(false));

    // Enter in the number field asks for a code; the countdown holds the button.
    const std::string submit = "document.getElementById('signin-form').requestSubmit()";
    eval("document.getElementById('signin-phone').focus();"
         "document.getElementById('signin-phone').value = '138 1234 5678'; 0");
    ASSERT_TRUE(act(submit, {"signInCode"}));
    ASSERT_TRUE(pageShows("/^\\d+ 秒后重新获取$/.test("
                          "document.getElementById('signin-send').textContent)",
                          true));
    EXPECT_EQ(eval("document.getElementById('signin-send').disabled"), Json(true));
    eval("document.getElementById('signin-send').click(); 0"); // refused by the countdown
    const auto outbox = billing->outbox();
    ASSERT_FALSE(outbox.empty());
    EXPECT_EQ(outbox.back().phone, "13812345678");
    const std::string code = outbox.back().code;

    // A wrong code: the service's words.
    eval("document.getElementById('signin-code').value = '" +
         std::string(code == "000000" ? "111111" : "000000") + "'; 0");
    ASSERT_TRUE(act(submit, {"signIn"}));
    ASSERT_TRUE(pageShows("document.getElementById('signin-error').textContent",
                          "验证码错误，还可尝试 4 次"));

    eval("document.getElementById('signin-code').value = '" + code + "'; 0");
    ASSERT_TRUE(act(submit, {"signIn"}));
    ASSERT_TRUE(pageShows(shown + "('session-card')", true));
    EXPECT_EQ(eval(shown + "('signin-card')"), Json(false));
    EXPECT_TRUE(pageShows("document.getElementById('points-value').textContent", "600"));
    EXPECT_EQ(eval("document.getElementById('account-phone').textContent"), Json("138****5678"));
    EXPECT_EQ(billing->outbox().size(), outbox.size()) << "the countdown let a second code out";
    ASSERT_TRUE(app->credential);
    EXPECT_EQ(
        eval("document.documentElement.outerHTML.indexOf(" + Json(*app->credential).dump() + ")"),
        Json(-1));

    // Signed out from the settings page: the sign-in view again.
    ASSERT_TRUE(click("#sign-out", {"signOut"}));
    ASSERT_TRUE(pageShows(shown + "('signin-card')", true));
    EXPECT_FALSE(app->credential);
    app->credential = developmentToken;
    app->refreshState();
}

} // namespace
} // namespace zarvo::testing
