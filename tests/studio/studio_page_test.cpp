// The studio page in the engine that ships it: state pushes render, user actions post the
// bridge's messages with the right value types, application calls never post back, the video
// slot is reported and uncovered, the bill lists page and fail in place, and both themes apply.
#include "tests/studio/studio_web_view.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <set>

namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using zarvo::test::GObjectRef;
using zarvo::test::GText;
using zarvo::test::StudioWebView;

constexpr auto kLoadDeadline = 60s;
constexpr auto kScriptDeadline = 30s;
constexpr int kWidth = 1100; // the window's minimum size
constexpr int kHeight = 800;

// A small JPEG data URL of one colour, like the gallery's inline thumbnails.
std::string thumbnail(guint32 rgba) {
    GObjectRef<GdkPixbuf> pixbuf(gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 120, 80));
    gdk_pixbuf_fill(pixbuf.get(), rgba);
    gchar* buffer = nullptr;
    gsize size = 0;
    if (!gdk_pixbuf_save_to_buffer(pixbuf.get(), &buffer, &size, "jpeg", nullptr, "quality", "65",
                                   nullptr))
        return "data:image/jpeg;base64,";
    GText base64(g_base64_encode(reinterpret_cast<const guchar*>(buffer), size));
    g_free(buffer);
    return std::string("data:image/jpeg;base64,") + base64.get();
}

Json galleryEntry(const std::string& stored, const std::string& name, guint32 colour) {
    return Json{{"sha", std::string(64, 'a')},
                {"name", name},
                {"path", "/home/user/.local/share/Zarvo/references/" + stored},
                {"size", 48213},
                {"width", 1600},
                {"height", 1067},
                {"image", thumbnail(colour)}};
}

// A state object as the application builds it for an idle account without a reference image.
Json idleState() {
    Json gallery = Json::array(
        {galleryEntry("3F2A9C1B-beach.png", "beach.png", 0x3b82c4ff),
         galleryEntry("7C01D2E4-studio-portrait.jpg", "studio-portrait.jpg", 0xc47a3bff),
         galleryEntry("A0B1C2D3-city-night.jpg", "city-night.jpg", 0x2a2f5aff)});
    return Json{
        {"active", false},
        {"duration", "本次运行 00:00"},
        {"state", "未开启 AI"},
        {"estimate", 0},
        {"remaining", "预计可用 2 分 5 秒"},
        {"mode", 1},
        {"cameras", {"集成摄像头 (usb-0000:00:14.0-5)", "USB 高清摄像头"}},
        {"camera", 0},
        {"mirror", true},
        {"points", "125  积分"},
        {"pointsValue", 125},
        {"status", "摄像头预览中"},
        {"sync", "已同步 10:24:31 · 可用 125 积分"},
        {"reference", "请选择参考图"},
        {"networkState", "online"},
        {"sessionState", "IDLE"},
        {"hasSession", false},
        {"presets",
         {{{"id", "5E0C3F6A-0B7D-4C2E-9E44-4A0E8B7D1C11"},
           {"name", "直播间 · 海边背景"},
           {"mode", 2},
           {"reference", "/home/user/.local/share/Zarvo/references/3F2A9C1B-beach.png"},
           {"camera", "usb-0000:00:14.0-5"},
           {"mirror", true}},
          {{"id", "9A1B7E20-55C3-4F0B-8D1E-2B6C4D8E0F22"},
           {"name", "试穿 · 风衣"},
           {"mode", 1},
           {"reference", "/home/user/.local/share/Zarvo/references/gone.png"},
           {"camera", ""},
           {"mirror", false}}}},
        {"billConfirmed", false},
        {"hasUsage", true},
        {"syncAge", 3},
        {"online", true},
        {"billingProtection", "本次启动窗口约 115 秒（含连接准备）· 未消费积分退回"},
        {"switchNotice", ""},
        {"resetTimedOut", false},
        {"canStart", false},
        {"startDisabledReason", "请选择参考图"},
        {"networkStale", false},
        {"gallery", gallery},
        {"galleryRevision", 1},
        {"selectedReference", ""},
        {"paid", 100},
        {"gift", 25},
        {"consumedPaid", 0},
        {"consumedGift", 0},
        {"estimated", false},
        {"update",
         {{"current", "1.0.29"},
          {"status", "发现新版本 1.0.30"},
          {"checking", false},
          {"downloading", false},
          {"installing", false},
          {"ready", false},
          {"available", true},
          {"canInstall", false},
          {"latest", "1.0.30"},
          {"notes", "· 画面切换更平滑\n· 修复账单分页偶尔重复的问题"},
          {"published", "2026-12-01"},
          {"checkedAt", "12-09 10:20"}}},
        {"routes",
         {{"mode", "auto"},
          {"activeRoute", "primary"},
          {"switching", false},
          {"pendingMode", ""},
          {"lastError", ""},
          {"routes",
           {{{"id", "primary"},
             {"status", "healthy"},
             {"latencyMs", 48},
             {"checkedAt", 1796000000000.0},
             {"probe", true}},
            {{"id", "secondary"},
             {"status", "failed"},
             {"latencyMs", -1},
             {"checkedAt", 1796000000500.0},
             {"probe", true}}}}}},
    };
}

// The same account with a reference chosen and a session running, gallery unchanged.
Json runningState() {
    Json state = idleState();
    state.erase("gallery");
    state.erase("galleryRevision");
    state["active"] = true;
    state["state"] = "AI 运行中";
    state["sessionState"] = "RUNNING";
    state["hasSession"] = true;
    state["duration"] = "本次运行 01:42";
    state["points"] = "83  积分（预计）";
    state["pointsValue"] = 83;
    state["estimated"] = true;
    state["estimate"] = 42;
    state["consumedGift"] = 25;
    state["consumedPaid"] = 17;
    state["paid"] = 83;
    state["gift"] = 0;
    state["remaining"] = "预计可用 1 分 23 秒";
    state["reference"] = "beach.png";
    state["selectedReference"] = "/home/user/.local/share/Zarvo/references/3F2A9C1B-beach.png";
    state["canStart"] = false;
    state["startDisabledReason"] = "请先结束当前会话";
    state["switchNotice"] = "已切换到新参考图";
    return state;
}

Json ledgerPage() {
    return Json{{"page", 1},
                {"page_size", 20},
                {"total", 23},
                {"total_pages", 2},
                {"has_more", true},
                {"items",
                 {{{"entry_id", 3},
                   {"created_at", "2026-12-09T02:10:05Z"},
                   {"kind", "session_charge"},
                   {"session_id", "8d0f6c1e-4b59-4d6c-b9a4-1f0c2e3d4a5b"},
                   {"points", -42},
                   {"paid_points", -17},
                   {"gift_points", -25},
                   {"balance_after", 83},
                   {"paid_balance_after", 83},
                   {"gift_balance_after", 0},
                   {"description", "AI 会话扣费 · 42 秒"}},
                  {{"entry_id", 2},
                   {"created_at", "2026-12-08T09:00:00Z"},
                   {"kind", "grant"},
                   {"session_id", nullptr},
                   {"points", 25},
                   {"paid_points", 0},
                   {"gift_points", 25},
                   {"balance_after", 125},
                   {"paid_balance_after", 100},
                   {"gift_balance_after", 25},
                   {"description", "赠送积分"}},
                  {{"entry_id", 1},
                   {"created_at", "2026-12-08T08:59:00Z"},
                   {"kind", "grant"},
                   {"points", 100},
                   {"paid_points", 100},
                   {"gift_points", 0},
                   {"balance_after", 100},
                   {"description", "充值积分"}}}}};
}

Json sessionPage() {
    return Json{{"page", 1},
                {"page_size", 20},
                {"total", 2},
                {"total_pages", 1},
                {"has_more", false},
                {"items",
                 {{{"session_id", "8d0f6c1e-4b59-4d6c-b9a4-1f0c2e3d4a5b"},
                   {"editing_type", "background_replacement"},
                   {"state", "ENDED"},
                   {"started_at", "2026-12-09T02:09:20Z"},
                   {"ended_at", "2026-12-09T02:10:05Z"},
                   {"elapsed_seconds", 42},
                   {"reserved_points", 115},
                   {"consumed_points", 42},
                   {"consumed_paid_points", 17},
                   {"consumed_gift_points", 25},
                   {"refunded_points", 73},
                   {"bill_confirmed", true},
                   {"confirmed_bill", 42},
                   {"end_reason", "client_stop"}},
                  {{"session_id", "1a2b3c4d-0000-4000-8000-000000000001"},
                   {"editing_type", "virtual_tryon"},
                   {"state", "RECONCILE_REQUIRED"},
                   {"started_at", "2026-12-09T03:00:00Z"},
                   {"ended_at", nullptr},
                   {"elapsed_seconds", 7},
                   {"reserved_points", 80},
                   {"consumed_points", 7},
                   {"refunded_points", 0},
                   {"bill_confirmed", false},
                   {"confirmed_bill", nullptr},
                   {"end_reason", nullptr}}}}};
}

std::string pagePath() {
    return ZARVO_STUDIO_PAGE;
}

// One page in one view; each test starts from a fresh load.
class PageDriver {
public:
    explicit PageDriver(const std::string& theme, int width = kWidth, int height = kHeight)
        : view_(theme, width, height) {}

    // Loads the page and waits for the slot report that every load starts with. The slot is
    // reported once the window has its size, which a busy machine may give it some frames after
    // the load finished, so this waits for the report itself and then lets the page settle.
    Json load() {
        if (!view_.loadFile(pagePath(), kLoadDeadline))
            return Json();
        Json rect;
        StudioWebView::waitUntil(
            [&] {
                for (const std::string& text : view_.takeMessages()) {
                    Json message = Json::parse(text);
                    if (message.value("action", "") == "rect")
                        rect = message;
                }
                return rect.is_object();
            },
            kLoadDeadline);
        for (const Json& message : settle())
            if (message.value("action", "") == "rect")
                rect = message;
        return rect;
    }

    Json eval(const std::string& script) {
        auto result = view_.evaluate(script, kScriptDeadline);
        EXPECT_TRUE(result.has_value()) << "script failed: " << script;
        return result ? Json::parse(*result) : Json();
    }

    void push(const Json& state) { eval("window.refreshStudio(" + state.dump() + "); true"); }

    // Runs a script and returns every message the page posted because of it, including those
    // posted a few animation frames later (the slot report waits for one). A marker posted after
    // three frames closes the list, so nothing depends on how fast the machine is.
    std::vector<Json> postedBy(const std::string& script) {
        eval(script + "; true");
        return settle();
    }

    std::vector<Json> settle() {
        eval("(function(){var n=0;function f(){if(++n<4)requestAnimationFrame(f);else "
             "window.webkit.messageHandlers.studio.postMessage({action:'__marker__'});}"
             "requestAnimationFrame(f);})(); true");
        std::vector<Json> posted;
        bool marked = false;
        StudioWebView::waitUntil(
            [&] {
                for (const std::string& text : view_.takeMessages()) {
                    Json message = Json::parse(text);
                    if (message.value("action", "") == "__marker__")
                        marked = true;
                    else if (!marked)
                        posted.push_back(message);
                }
                return marked;
            },
            kScriptDeadline);
        EXPECT_TRUE(marked) << "the page stopped running animation frames";
        return posted;
    }

    std::vector<Json> click(const std::string& selector) {
        return postedBy("document.querySelector(" + Json(selector).dump() + ").click()");
    }

    std::string text(const std::string& selector) {
        Json value =
            eval("(document.querySelector(" + Json(selector).dump() + ")||{}).textContent||''");
        return value.is_string() ? value.get<std::string>() : std::string();
    }

    bool visible(const std::string& selector) {
        return eval("(function(e){if(!e)return false;var b=e.getBoundingClientRect();"
                    "return b.width>0&&b.height>0&&getComputedStyle(e).visibility!=='hidden';})"
                    "(document.querySelector(" +
                    Json(selector).dump() + "))") == Json(true);
    }

    int count(const std::string& selector) {
        return eval("document.querySelectorAll(" + Json(selector).dump() + ").length").get<int>();
    }

    std::string visiblePage() {
        return eval("['live','bill','settings'].filter(function(p){return "
                    "!document.getElementById('page-'+p).hasAttribute('hidden')}).join(',')")
            .get<std::string>();
    }

    bool snapshot(const std::filesystem::path& file) {
        StudioWebView::pumpFor(300ms); // let the last layout paint
        return view_.snapshot(file.string(), kScriptDeadline);
    }

private:
    StudioWebView view_;
};

Json only(const std::vector<Json>& posted) {
    EXPECT_EQ(posted.size(), 1u) << Json(posted).dump();
    return posted.empty() ? Json() : posted.front();
}

class StudioPage : public ::testing::Test {
protected:
    static void SetUpTestSuite() { driver = new PageDriver("light"); }
    static void TearDownTestSuite() {
        delete driver;
        driver = nullptr;
    }
    void SetUp() override {
        firstRect = driver->load();
        ASSERT_TRUE(firstRect.is_object()) << "the page did not report its video slot at load";
    }

    static PageDriver* driver;
    Json firstRect;
};

PageDriver* StudioPage::driver = nullptr;

TEST_F(StudioPage, StatePushRendersSessionGalleryAndPresetsAndKeepsTheLastGallery) {
    PageDriver& page = *driver;
    EXPECT_TRUE(page.postedBy("window.refreshStudio(" + idleState().dump() + ")").empty());

    EXPECT_EQ(page.text("#session-badge"), "未开启 AI");
    EXPECT_EQ(page.text("#points-value"), "125");
    EXPECT_EQ(page.text("#points-unit"), "积分");
    EXPECT_EQ(page.text("#bill-points"), "125 积分");
    EXPECT_EQ(page.text("#points-split"), "付费 100 · 赠送 25");
    EXPECT_EQ(page.eval("document.getElementById('start-ai').disabled"), Json(true));
    EXPECT_TRUE(page.visible("#start-reason"));
    EXPECT_EQ(page.text("#start-reason"), "请选择参考图");
    EXPECT_EQ(page.text("#billing-protection"),
              "本次启动窗口约 115 秒（含连接准备）· 未消费积分退回");
    EXPECT_EQ(page.count("#gallery .thumb"), 3);
    EXPECT_EQ(page.count("#gallery .thumb img[src^='data:image/jpeg;base64,']"), 3);
    EXPECT_EQ(page.count("#presets .preset"), 2);
    EXPECT_NE(page.text("#presets").find("参考图已删除"), std::string::npos)
        << "a preset whose image left the gallery says so";
    EXPECT_EQ(page.eval("document.querySelector('.mode[data-mode=\"1\"]').getAttribute('aria-"
                        "pressed')"),
              Json("true"));
    EXPECT_EQ(page.eval("document.getElementById('camera-select').selectedIndex"), Json(0));
    EXPECT_EQ(page.eval("document.getElementById('mirror').getAttribute('aria-checked')"),
              Json("true"));
    EXPECT_TRUE(page.eval("!!document.getElementById('software-update')").get<bool>());
    EXPECT_EQ(page.text("#update-latest"), "1.0.30");

    // The figures come from the number beside the label's text, never parsed out of it; before
    // the first account reply there is no number.
    Json numbers = idleState();
    numbers["points"] = "9  积分";
    numbers["pointsValue"] = 12345;
    page.push(numbers);
    EXPECT_EQ(page.text("#points-value"), "12,345");
    EXPECT_EQ(page.text("#bill-points"), "12,345 积分");
    numbers["points"] = "—  积分";
    numbers["pointsValue"] = nullptr;
    page.push(numbers);
    EXPECT_EQ(page.text("#points-value"), "—");
    EXPECT_EQ(page.text("#bill-points"), "—");

    // A push without "gallery" means the gallery is unchanged.
    page.push(runningState());
    EXPECT_EQ(page.count("#gallery .thumb"), 3);
    EXPECT_EQ(page.count("#gallery .thumb.selected"), 1);
    EXPECT_EQ(page.text("#session-badge"), "AI 运行中");
    EXPECT_EQ(page.text("#points-value"), "83");
    EXPECT_EQ(page.text("#points-unit"), "积分（预计）");
    EXPECT_EQ(page.text("#bill-points"), "83 积分");
    EXPECT_EQ(page.text("#estimate"), "42 积分");
    EXPECT_EQ(page.text("#start-reason"), "请先结束当前会话");
    EXPECT_EQ(page.eval("document.getElementById('stop-ai').disabled"), Json(false));
    EXPECT_TRUE(page.visible("#switch-notice"));
    EXPECT_EQ(page.eval("document.getElementById('camera-select').disabled"), Json(true));

    // An empty gallery replaces the old one and shows the empty state.
    Json empty = runningState();
    empty["gallery"] = Json::array();
    empty["presets"] = Json::array();
    page.push(empty);
    EXPECT_EQ(page.count("#gallery .thumb"), 0);
    EXPECT_TRUE(page.visible("#gallery-empty"));
    EXPECT_EQ(page.count("#presets .preset"), 0);
}

TEST_F(StudioPage, PartialOrMalformedStateNeverThrows) {
    PageDriver& page = *driver;
    const char* states[] = {
        "{}",
        "null",
        "undefined",
        "[]",
        R"({"gallery":"x","presets":5,"cameras":null,"camera":"1","update":[],"routes":3,
            "points":7,"state":null,"paid":"12","gift":{"a":1},"mode":"2","syncAge":"x"})",
        R"({"gallery":[null,1,{"path":5},{"path":"/a.png"}],"presets":[null,{"id":3},
            {"id":"p","mode":99,"reference":7}],"routes":{"routes":[null,{"id":"primary"}]},
            "update":{"available":true,"notes":null}})",
    };
    for (const char* state : states) {
        Json result = page.eval(std::string("(function(){try{window.refreshStudio(") + state +
                                ");return 'ok';}catch(e){return String(e);}})()");
        EXPECT_EQ(result, Json("ok")) << state;
    }
    EXPECT_EQ(page.eval("window.Studio.renderErrors"), Json(0));
    EXPECT_EQ(page.text("#session-badge"), "未开启 AI");
    EXPECT_EQ(page.count("#gallery .thumb"), 1) << "only entries with a path are listed";
    EXPECT_EQ(page.count("#presets .preset"), 1) << "only presets with a string id are listed";
}

TEST_F(StudioPage, UserActionsPostBridgeMessagesWithTheRightValueTypes) {
    PageDriver& page = *driver;
    Json ready = idleState();
    ready["canStart"] = true;
    ready["startDisabledReason"] = "";
    page.push(ready);

    Json start = only(page.click("#start-ai"));
    EXPECT_EQ(start, Json({{"action", "start"}})) << "start carries no value";

    page.push(runningState());
    EXPECT_TRUE(page.click("#start-ai").empty()) << "a disabled start posts nothing";
    EXPECT_EQ(only(page.click("#stop-ai")), Json({{"action", "stop"}}));

    Json mode = only(page.click(".mode[data-mode='2']"));
    EXPECT_EQ(mode["action"], "mode");
    EXPECT_TRUE(mode["value"].is_number_integer());
    EXPECT_EQ(mode["value"], 2);

    EXPECT_EQ(only(page.click("#enlarge")), Json({{"action", "enlarge"}}));
    EXPECT_EQ(only(page.click("#show-local")), Json({{"action", "local"}}));
    EXPECT_EQ(only(page.click("#show-ai")), Json({{"action", "ai"}}));
    EXPECT_EQ(only(page.click("#mirror")), Json({{"action", "mirror"}}));
    EXPECT_EQ(only(page.click("#refresh-points")), Json({{"action", "refresh"}}));
    EXPECT_EQ(only(page.click("#import-image")), Json({{"action", "image"}}));

    Json pick = only(page.click("#gallery .thumb:nth-child(2) .thumb-pick"));
    EXPECT_EQ(pick["action"], "selectReference");
    EXPECT_EQ(pick["value"],
              "/home/user/.local/share/Zarvo/references/7C01D2E4-studio-portrait.jpg");
    EXPECT_EQ(only(page.click("#gallery .thumb:nth-child(1) [aria-label^='预览']"))["action"],
              "previewReference");
    EXPECT_EQ(only(page.click("#gallery .thumb:nth-child(1) [aria-label^='删除']"))["action"],
              "removeReference");
    Json apply = only(page.click("#presets .preset:nth-child(1) .btn"));
    EXPECT_EQ(apply,
              Json({{"action", "applyPreset"}, {"value", "5E0C3F6A-0B7D-4C2E-9E44-4A0E8B7D1C11"}}));
    EXPECT_EQ(only(page.click("#presets .preset:nth-child(2) .icon-btn"))["action"],
              "deletePreset");
    EXPECT_EQ(only(page.postedBy("document.getElementById('preset-name').value='  晚间直播  ';"
                                 "document.getElementById('save-preset').click()")),
              Json({{"action", "savePreset"}, {"value", "晚间直播"}}));
    EXPECT_EQ(only(page.click("#save-preset")), Json({{"action", "savePreset"}}))
        << "without a name the application asks for one";

    Json idle = idleState();
    idle.erase("gallery");
    page.push(idle);
    Json camera = only(page.postedBy("var s=document.getElementById('camera-select');"
                                     "s.selectedIndex=1;s.dispatchEvent(new Event('change'))"));
    EXPECT_EQ(camera, Json({{"action", "camera"}, {"value", 1}}));
    EXPECT_TRUE(camera["value"].is_number_integer());
}

// Why a message breaks the bridge contract, or empty when it keeps it: a known action with a
// value of the type its row names.
std::string contractProblem(const Json& message) {
    if (!message.is_object() || !message.contains("action") || !message["action"].is_string())
        return "no string action";
    const std::string action = message["action"].get<std::string>();
    const bool hasValue = message.contains("value");
    const Json value = hasValue ? message["value"] : Json();
    auto none = [&] { return hasValue ? action + " carries a value" : std::string(); };
    auto string = [&] { return value.is_string() ? std::string() : action + " needs a string"; };
    auto integer = [&](long low) {
        return value.is_number_integer() && value.get<long>() >= low
                   ? std::string()
                   : action + " needs an integer from " + std::to_string(low);
    };
    static const std::set<std::string> plain = {
        "routeProbe",   "enlarge",     "start",          "stop",          "local",
        "ai",           "image",       "refresh",        "cameraSetup",   "diagnostics",
        "checkUpdates", "updateNotes", "downloadUpdate", "installUpdate", "restartClient",
        "mirror",       "bill",        "settings",       "signOut"};
    static const std::set<std::string> text = {"routeMode",       "applyPreset",
                                               "deletePreset",    "previewReference",
                                               "selectReference", "removeReference"};
    if (plain.count(action))
        return none();
    if (text.count(action))
        return string();
    if (action == "rect") {
        for (const char* key : {"x", "y", "width", "height"})
            if (!value.is_object() || !value.contains(key) || !value[key].is_number())
                return "rect needs four numbers";
        return "";
    }
    if (action == "appearance")
        return value == "light" || value == "dark" ? "" : "appearance is light or dark";
    if (action == "page")
        return value == "live" || value == "bill" || value == "settings" ? "" : "unknown page";
    if (action == "savePreset" || action == "notice")
        return hasValue ? string() : "";
    if (action == "billing" || action == "sessionBilling")
        return integer(1);
    if (action == "signInCode" || action == "signIn") {
        for (const char* key : {"phone", "code"}) {
            if (std::string(key) == "code" && action == "signInCode")
                continue;
            if (!value.is_object() || !value.contains(key) || !value[key].is_string())
                return action + " needs text members";
        }
        return "";
    }
    if (action == "cameraCheck" || action == "camera")
        return integer(0);
    if (action == "mode")
        return value.is_number_integer() && value.get<int>() >= 0 && value.get<int>() < 4
                   ? ""
                   : "mode needs an index 0 to 3";
    return "unknown action " + action;
}

TEST_F(StudioPage, EveryButtonPostsOnlyContractMessages) {
    PageDriver& page = *driver;
    Json state = idleState();
    state["canStart"] = true;
    state["startDisabledReason"] = "";
    state["hasSession"] = true;
    state["sessionState"] = "RECONCILE_REQUIRED";
    state["resetTimedOut"] = true;
    state["update"]["ready"] = true;
    state["update"]["canInstall"] = true;
    page.push(state);
    page.eval("window.receiveBilling(" + ledgerPage().dump() + ");window.receiveSessionBilling(" +
              sessionPage().dump() + ")");

    // Every enabled button of every page, in document order, as a user could press them.
    auto posted = page.postedBy(
        "Array.prototype.forEach.call(document.querySelectorAll('button'),function(b){"
        "if(!b.disabled)b.click();})");
    std::set<std::string> seen;
    for (const Json& message : posted) {
        EXPECT_EQ(contractProblem(message), "") << message.dump();
        seen.insert(message.value("action", ""));
    }
    for (const char* action :
         {"start", "stop", "mode", "page", "billing", "sessionBilling", "routeMode", "appearance",
          "cameraCheck", "installUpdate", "selectReference", "applyPreset"})
        EXPECT_TRUE(seen.count(action)) << action << " was never posted";
}

TEST_F(StudioPage, NavigationReportsThePageAndLoadsItsData) {
    PageDriver& page = *driver;
    page.push(idleState());

    auto bill = page.click("[data-nav='bill']");
    ASSERT_EQ(bill.size(), 3u) << Json(bill).dump();
    EXPECT_EQ(bill[0], Json({{"action", "page"}, {"value", "bill"}}));
    EXPECT_EQ(bill[1], Json({{"action", "billing"}, {"value", 1}}));
    EXPECT_EQ(bill[2], Json({{"action", "sessionBilling"}, {"value", 1}}));
    EXPECT_TRUE(bill[1]["value"].is_number_integer());
    EXPECT_EQ(page.visiblePage(), "bill");

    auto settings = page.click("[data-nav='settings']");
    ASSERT_EQ(settings.size(), 2u) << Json(settings).dump();
    EXPECT_EQ(settings[0], Json({{"action", "page"}, {"value", "settings"}}));
    EXPECT_EQ(settings[1]["action"], "cameraCheck");
    ASSERT_TRUE(settings[1]["value"].is_number_integer());
    EXPECT_EQ(page.visiblePage(), "settings");

    // Only the answer to the latest check counts.
    int ticket = settings[1]["value"].get<int>();
    page.eval("window.receiveCameraCheck(false," + std::to_string(ticket - 1) + ")");
    EXPECT_EQ(page.text("#vcam-text"), "正在检测虚拟摄像头…");
    page.eval("window.receiveCameraCheck(true," + std::to_string(ticket) + ")");
    EXPECT_EQ(page.text("#vcam-text"), "虚拟摄像头已就绪");

    EXPECT_EQ(only(page.click("[data-route='secondary']")),
              Json({{"action", "routeMode"}, {"value", "secondary"}}));
    EXPECT_EQ(only(page.click("#route-probe")), Json({{"action", "routeProbe"}}));
    EXPECT_EQ(only(page.click("#update-check")), Json({{"action", "checkUpdates"}}));
    EXPECT_EQ(only(page.click("#update-download")), Json({{"action", "downloadUpdate"}}));
    EXPECT_EQ(only(page.click("#diagnostics")), Json({{"action", "diagnostics"}}));
    EXPECT_EQ(only(page.click("#restart-client")), Json({{"action", "restartClient"}}));
    EXPECT_EQ(only(page.click("#vcam-setup")), Json({{"action", "cameraSetup"}}));

    // Back on the live page the region shows again where it was: the slot did not move.
    EXPECT_EQ(only(page.click("[data-nav='live']")), Json({{"action", "page"}, {"value", "live"}}));
    EXPECT_EQ(page.visiblePage(), "live");
}

TEST_F(StudioPage, ApplicationCallsNeverPostBack) {
    PageDriver& page = *driver;
    EXPECT_TRUE(page.postedBy("window.refreshStudio(" + idleState().dump() +
                              ");window.refreshStudio(" + runningState().dump() + ")")
                    .empty());
    for (const char* name : {"bill", "settings", "live", "bill"}) {
        auto posted = page.postedBy(std::string("window.openStudioPage('") + name + "')");
        EXPECT_TRUE(posted.empty()) << name << ": " << Json(posted).dump();
        EXPECT_EQ(page.visiblePage(), name);
    }
    EXPECT_TRUE(page.postedBy("window.openStudioPage('nowhere')").empty());
    EXPECT_EQ(page.visiblePage(), "bill") << "an unknown page changes nothing";
    EXPECT_TRUE(page.postedBy("window.receiveBilling(" + ledgerPage().dump() +
                              ");window.receiveSessionBilling(" + sessionPage().dump() +
                              ");window.receiveCameraCheck(true,0)")
                    .empty());
    EXPECT_TRUE(page.postedBy("window.refreshStudio(" + runningState().dump() + ")").empty());
}

TEST_F(StudioPage, VideoSlotIsReportedInViewCoordinatesAndNothingLiesOverIt) {
    PageDriver& page = *driver;
    for (const char* key : {"x", "y", "width", "height"})
        ASSERT_TRUE(firstRect["value"][key].is_number()) << firstRect.dump();
    Json box = page.eval("(function(){var b=document.getElementById('video-slot')"
                         ".getBoundingClientRect();return [b.left,b.top,b.width,b.height];})()");
    EXPECT_NEAR(firstRect["value"]["x"].get<double>(), box[0].get<double>(), 1.0);
    EXPECT_NEAR(firstRect["value"]["y"].get<double>(), box[1].get<double>(), 1.0);
    EXPECT_NEAR(firstRect["value"]["width"].get<double>(), box[2].get<double>(), 1.0);
    EXPECT_NEAR(firstRect["value"]["height"].get<double>(), box[3].get<double>(), 1.0);
    // At the minimum window size the slot is still a usable picture.
    EXPECT_GE(box[2].get<double>(), 480.0);
    EXPECT_GE(box[3].get<double>(), 300.0);

    // Whatever the state shows, nothing is drawn inside the slot's box and the slot stays put.
    Json busy = runningState();
    busy["resetTimedOut"] = true;
    busy["cameras"] = Json::array();
    busy["status"] = std::string(300, 'x');
    EXPECT_TRUE(page.postedBy("window.refreshStudio(" + busy.dump() + ")").empty());
    Json covered = page.eval(R"((function(){
        var slot=document.getElementById('video-slot'), b=slot.getBoundingClientRect(), hits=[];
        if (slot.childNodes.length) hits.push('children');
        for (var i=0;i<=4;i++) for (var j=0;j<=4;j++) {
          // Inside the rounded corners, which the region masks as well.
          var x=b.left+14+(b.width-28)*i/4, y=b.top+14+(b.height-28)*j/4;
          var top=document.elementFromPoint(x,y);
          if (top!==slot) hits.push((top&&(top.id||top.className))+'@'+x+','+y);
        }
        return hits;})())");
    EXPECT_EQ(covered, Json::array());
}

TEST_F(StudioPage, BillListsPageAndShowEmptyAndErrorStatesInPlace) {
    PageDriver& page = *driver;
    page.eval("window.openStudioPage('bill')");
    EXPECT_TRUE(page.visible("#ledger-state")) << "lists not yet loaded say so";
    EXPECT_EQ(page.count("#ledger-state button"), 1);

    page.eval("window.receiveBilling(" + ledgerPage().dump() + ")");
    EXPECT_EQ(page.count("#ledger-rows tr"), 3);
    EXPECT_FALSE(page.visible("#ledger-state"));
    EXPECT_EQ(page.text("#ledger-page"), "第 1 / 2 页");
    EXPECT_EQ(page.text("#ledger-info"), "共 23 条");
    EXPECT_NE(page.text("#ledger-rows").find("付费 −17 · 赠送 −25"), std::string::npos);
    EXPECT_EQ(page.eval("document.getElementById('ledger-prev').disabled"), Json(true));
    EXPECT_EQ(only(page.click("#ledger-next")), Json({{"action", "billing"}, {"value", 2}}));

    page.eval("window.receiveBilling({error:'网络连接失败，请检查网络'})");
    EXPECT_TRUE(page.visible("#ledger-state"));
    EXPECT_NE(page.text("#ledger-state").find("网络连接失败，请检查网络"), std::string::npos);
    EXPECT_EQ(only(page.click("#ledger-state button")), Json({{"action", "billing"}, {"value", 2}}))
        << "retry asks for the same page";
    page.eval("window.receiveBilling(null)");
    EXPECT_NE(page.text("#ledger-state").find("账单加载失败"), std::string::npos);

    page.eval("document.getElementById('tab-sessions').click()");
    page.eval("window.receiveSessionBilling({page:1,total:0,total_pages:0,has_more:false,"
              "items:[]})");
    EXPECT_TRUE(page.visible("#session-state"));
    EXPECT_NE(page.text("#session-state").find("还没有 AI 会话记录"), std::string::npos);
    page.eval("window.receiveSessionBilling(" + sessionPage().dump() + ")");
    EXPECT_EQ(page.count("#session-rows tr"), 2);
    std::string rows = page.text("#session-rows");
    EXPECT_NE(rows.find("42 积分"), std::string::npos);
    EXPECT_NE(rows.find("待结算"), std::string::npos);
    EXPECT_NE(rows.find("115 / 42 / 73"), std::string::npos);
    EXPECT_NE(rows.find("手动停止"), std::string::npos);
    EXPECT_EQ(page.eval("document.getElementById('session-next').disabled"), Json(true));
}

// The update panel before any check names the running version with its day and claims nothing
// about newer ones; after a check that found nothing it says the version is the newest.
TEST_F(StudioPage, TheUpdatePanelShowsTheRunningVersionAndNoVerdictBeforeACheck) {
    PageDriver& page = *driver;
    EXPECT_EQ(page.text("#update-latest"), "尚未检查") << "before the first push";
    Json state = idleState();
    state["update"] = {{"current", "1.0.29"},
                       {"currentDate", "2026-12-09"},
                       {"status", "启动时自动检查更新"},
                       {"checking", false},
                       {"downloading", false},
                       {"installing", false},
                       {"ready", false},
                       {"available", false},
                       {"canInstall", false},
                       {"latest", ""},
                       {"notes", ""},
                       {"published", ""},
                       {"checkedAt", "尚未检查"}};
    page.push(state);
    EXPECT_EQ(page.text("#update-current"), "1.0.29 · 2026-12-09");
    EXPECT_EQ(page.text("#update-latest"), "尚未检查");
    EXPECT_EQ(page.text("#update-checked"), "尚未检查");
    EXPECT_EQ(page.text("#update-badge"), "当前版本");
    state["update"]["checkedAt"] = "12-09 10:20";
    page.push(state);
    EXPECT_EQ(page.text("#update-latest"), "已是最新");
    EXPECT_EQ(page.text("#update-badge"), "已是最新");
}

// Radio groups are one tab stop that the arrow keys move through, choosing as they go; icons are
// hidden from assistive technology; animations stop when the system asks for less motion.
TEST_F(StudioPage, RadioGroupsFollowTheArrowKeysAndDecorationStaysSilent) {
    PageDriver& page = *driver;
    page.push(idleState()); // route mode "auto", the first radio
    page.eval("window.openStudioPage('settings')");
    auto tabStops = [&](const std::string& group) {
        return page.eval("Array.from(document.querySelectorAll('" + group +
                         "')).map(function (b) { return b.tabIndex; })");
    };
    EXPECT_EQ(tabStops("[data-route]"), Json::array({0, -1, -1}));
    auto key = [&](const std::string& selector, const std::string& name) {
        return page.postedBy("document.querySelector(" + Json(selector).dump() +
                             ").dispatchEvent(new KeyboardEvent('keydown', {key: '" + name +
                             "', bubbles: true, cancelable: true}))");
    };
    EXPECT_EQ(only(key("[data-route='auto']", "ArrowDown")),
              Json({{"action", "routeMode"}, {"value", "primary"}}));
    EXPECT_EQ(page.eval("document.activeElement.getAttribute('data-route')"), Json("primary"));
    EXPECT_EQ(only(key("[data-route='auto']", "ArrowLeft")),
              Json({{"action", "routeMode"}, {"value", "secondary"}}))
        << "the arrows wrap around";
    Json moved = idleState();
    moved["routes"]["mode"] = "secondary";
    page.push(moved);
    EXPECT_EQ(tabStops("[data-route]"), Json::array({-1, -1, 0}));

    EXPECT_EQ(only(key("[data-theme-choice='light']", "ArrowRight")),
              Json({{"action", "appearance"}, {"value", "dark"}}));
    EXPECT_EQ(page.eval("document.documentElement.dataset.theme"), Json("dark"));
    EXPECT_EQ(tabStops("[data-theme-choice]"), Json::array({-1, 0}));
    page.postedBy("document.querySelector('[data-theme-choice=\"light\"]').click()");

    EXPECT_EQ(page.count("svg:not([aria-hidden='true'])"), 0);
    EXPECT_EQ(page.count("svg use"), page.count("svg[aria-hidden='true'] use"));
    // The motion rule is in the style sheet the page loads.
    EXPECT_EQ(page.eval("Array.from(document.styleSheets).some(function (sheet) {"
                        " return Array.from(sheet.cssRules).some(function (rule) {"
                        " return rule.media && rule.media.mediaText.indexOf("
                        "'prefers-reduced-motion: reduce') >= 0 &&"
                        " rule.cssText.indexOf('animation-duration') >= 0; }); })"),
              Json(true));
}

double luminance(PageDriver& page, const std::string& script) {
    Json rgb = page.eval("(function(){var m=(" + script +
                         ").match(/\\d+(\\.\\d+)?/g);return m.slice(0,3).map(Number);})()");
    return (0.2126 * rgb[0].get<double>() + 0.7152 * rgb[1].get<double>() +
            0.0722 * rgb[2].get<double>()) /
           255.0;
}

TEST(StudioPageTheme, DocumentStartThemeAppliesAndTheAppearanceChoiceIsPosted) {
    PageDriver dark("dark");
    ASSERT_TRUE(dark.load().is_object());
    EXPECT_EQ(dark.eval("document.documentElement.dataset.theme"), Json("dark"));
    EXPECT_LT(luminance(dark, "getComputedStyle(document.body).backgroundColor"), 0.15);
    EXPECT_GT(luminance(dark, "getComputedStyle(document.body).color"), 0.8);
    EXPECT_EQ(dark.eval("document.querySelector('[data-theme-choice=\"dark\"]')"
                        ".getAttribute('aria-checked')"),
              Json("true"));

    EXPECT_EQ(only(dark.click("[data-theme-choice='light']")),
              Json({{"action", "appearance"}, {"value", "light"}}));
    EXPECT_EQ(dark.eval("document.documentElement.dataset.theme"), Json("light"));
    EXPECT_GT(luminance(dark, "getComputedStyle(document.body).backgroundColor"), 0.85);
    EXPECT_LT(luminance(dark, "getComputedStyle(document.body).color"), 0.2);
}

// Pictures of the three pages in both themes for a person to look at; written when
// ZARVO_STUDIO_SNAPSHOTS names a folder.
TEST(StudioPageSnapshots, ThreePagesInBothThemes) {
    const char* folder = std::getenv("ZARVO_STUDIO_SNAPSHOTS");
    if (!folder || !*folder)
        GTEST_SKIP() << "ZARVO_STUDIO_SNAPSHOTS is not set";
    std::filesystem::create_directories(folder);
    for (const char* theme : {"light", "dark"}) {
        PageDriver page(theme);
        ASSERT_TRUE(page.load().is_object());
        // What the user sees before the first state push.
        EXPECT_TRUE(page.snapshot(std::filesystem::path(folder) /
                                  (std::string("studio-live-first-") + theme + ".png")));
        page.push(idleState());
        page.push(runningState());
        page.eval("window.receiveBilling(" + ledgerPage().dump() +
                  ");window.receiveSessionBilling(" + sessionPage().dump() + ")");
        page.eval("window.receiveCameraCheck(false,0)");
        for (const char* name : {"live", "bill", "settings"}) {
            page.eval(std::string("window.openStudioPage('") + name + "')");
            auto file = std::filesystem::path(folder) /
                        (std::string("studio-") + name + "-" + theme + ".png");
            EXPECT_TRUE(page.snapshot(file)) << file;
        }
        // The idle page with its start reason and keyboard focus on a mode, and the session list.
        page.push(idleState());
        page.eval("window.openStudioPage('live');document.querySelector('.mode').focus()");
        EXPECT_TRUE(page.snapshot(std::filesystem::path(folder) /
                                  (std::string("studio-live-idle-") + theme + ".png")));
        page.eval("document.getElementById('tab-presets').click()");
        EXPECT_TRUE(page.snapshot(std::filesystem::path(folder) /
                                  (std::string("studio-live-presets-") + theme + ".png")));
        page.eval("window.openStudioPage('bill');document.getElementById('tab-sessions').click()");
        EXPECT_TRUE(page.snapshot(std::filesystem::path(folder) /
                                  (std::string("studio-bill-sessions-") + theme + ".png")));
        page.eval("window.receiveSessionBilling({error:'网络连接失败，请检查网络'})");
        EXPECT_TRUE(page.snapshot(std::filesystem::path(folder) /
                                  (std::string("studio-bill-error-") + theme + ".png")));
    }
    // A larger window than the minimum.
    PageDriver wide("light", 1440, 900);
    ASSERT_TRUE(wide.load().is_object());
    wide.push(idleState());
    wide.push(runningState());
    EXPECT_TRUE(wide.snapshot(std::filesystem::path(folder) / "studio-live-wide-light.png"));
}

} // namespace
