// The bridge's dispatch and push against the real application core (scripted service, virtual
// time), with a recording web view and window host.
#include "../app/session_fixture.h"
#include "studio_fakes.h"

#include "foundation/atomic_file.h"

namespace zarvo::testing {
namespace {

class StudioTest : public SessionTest {
protected:
    StudioTest() {
        studio = std::make_unique<ExactInterface>(*app, web, host, support,
                                                  folder / "page" / "index.html");
    }
    ~StudioTest() override { studio.reset(); }

    void send(const Json& body, bool mainFrame = true) {
        studio->didReceiveMessage(body, mainFrame);
    }
    Json lastPush() const {
        auto pushes = web.pushes();
        return pushes.empty() ? Json() : pushes.back();
    }

    FakeWebView web;
    FakeHost host;
    FakeSupport support;
    std::unique_ptr<ExactInterface> studio;
};

TEST_F(StudioTest, ConstructionLoadsThePageWithAccessToItsFolderOnlyAndPushesEverySecond) {
    EXPECT_EQ(web.loadedFile, folder / "page" / "index.html");
    EXPECT_EQ(web.loadedFolder, folder / "page");
    ASSERT_EQ(web.startScripts.size(), 1u);
    EXPECT_EQ(web.startScripts[0],
              "document.documentElement.dataset.theme='light';window.nativeAppearance='light';");
    EXPECT_EQ(web.pushCount(), 0u);
    loop.advance(seconds(3.0));
    EXPECT_EQ(web.pushCount(), 3u);
}

TEST_F(StudioTest, MessagesThatAreNotTopFrameActionsDoNothing) {
    send({{"action", "start"}}, /*mainFrame=*/false);
    send(Json::array({"start"}));
    send({{"action", 6}});
    send(Json("start"));
    loop.runUntilIdle();
    EXPECT_EQ(web.pushCount(), 0u);
    EXPECT_EQ(service.count("live/current"), 0u);
    EXPECT_FALSE(app->aiBusy);

    // Names are matched exactly: another letter case only pushes.
    send({{"action", "Start"}});
    loop.runUntilIdle();
    EXPECT_EQ(web.pushCount(), 1u);
    EXPECT_EQ(service.count("live/current"), 0u);
}

TEST_F(StudioTest, StartAndStopReachTheSessionLifecycle) {
    sync();
    send({{"action", "start"}});
    EXPECT_TRUE(app->aiBusy);
    loop.runUntilIdle();
    EXPECT_EQ(service.count("live/current"), 1u);
    ASSERT_TRUE(loop.runUntil([&] { return video.joins > 0; }));
    EXPECT_TRUE(lastPush()["active"].get<bool>());
    send({{"action", "stop"}});
    loop.runUntilIdle();
    EXPECT_EQ(service.count("live/stop"), 1u);
}

TEST_F(StudioTest, RectPlacesTheRegionInPageCoordinatesAndAnIncompleteRectKeepsIt) {
    send({{"action", "rect"}, {"value", {{"x", 10}, {"y", 20}, {"width", 300}, {"height", 200}}}});
    ASSERT_TRUE(host.frame);
    EXPECT_EQ(*host.frame, (VideoFrame{10, 20, 300, 200}));
    send({{"action", "rect"}, {"value", {{"x", 1.5}, {"y", 2}, {"width", 3}}}});
    send({{"action", "rect"}, {"value", {{"x", 1}, {"y", 2}, {"width", -3}, {"height", 4}}}});
    send({{"action", "rect"}, {"value", "10,20,300,200"}});
    EXPECT_EQ(*host.frame, (VideoFrame{10, 20, 300, 200}));
    EXPECT_EQ(web.pushCount(), 4u);
}

TEST_F(StudioTest, AppearanceAcceptsLightOrDarkOnlyAndFeedsTheNextLaunch) {
    send({{"action", "appearance"}, {"value", "blue"}});
    send({{"action", "appearance"}});
    EXPECT_EQ(web.pushCount(), 0u);
    EXPECT_FALSE(host.darkAppearance);
    EXPECT_FALSE(defaults->string("studioAppearance"));

    send({{"action", "appearance"}, {"value", "dark"}});
    EXPECT_EQ(web.pushCount(), 1u);
    EXPECT_EQ(host.darkAppearance, true);
    UserDefaults reread(defaults->file());
    EXPECT_EQ(reread.string("studioAppearance"), "dark");

    FakeWebView nextLaunch;
    ExactInterface next(*app, nextLaunch, host, support, folder / "index.html");
    EXPECT_EQ(nextLaunch.startScripts.at(0),
              "document.documentElement.dataset.theme='dark';window.nativeAppearance='dark';");
}

TEST_F(StudioTest, PageShowsTheVideoRegionOnlyOnTheLivePage) {
    send({{"action", "page"}, {"value", "bill"}});
    EXPECT_EQ(host.videoVisible, false);
    send({{"action", "page"}});
    EXPECT_EQ(host.videoVisible, true);
    send({{"action", "page"}, {"value", "settings"}});
    send({{"action", "page"}, {"value", "live"}});
    EXPECT_EQ(host.videoVisible, true);
    send({{"action", "page"}, {"value", "Live"}});
    EXPECT_EQ(host.videoVisible, false);
    EXPECT_EQ(web.pushCount(), 5u);
}

TEST_F(StudioTest, ModeAndCameraIndicesOutsideTheListsOnlyPush) {
    send({{"action", "mode"}, {"value", 2}});
    EXPECT_EQ(lastPush()["mode"], 2);
    for (Json bad : {Json(-1), Json(4), Json(1.5), Json("1"), Json(uint64_t(1) << 63)})
        send({{"action", "mode"}, {"value", bad}});
    EXPECT_EQ(lastPush()["mode"], 2);
    EXPECT_EQ(web.pushCount(), 6u);

    send({{"action", "camera"}, {"value", 1}});
    EXPECT_EQ(host.selected, 1);
    EXPECT_EQ(lastPush()["camera"], 1);
    EXPECT_EQ(lastPush()["cameras"], Json({"前置摄像头", "USB 摄像头"}));
    send({{"action", "camera"}, {"value", 2}});
    send({{"action", "camera"}, {"value", -1}});
    EXPECT_EQ(host.selected, 1);
    app->aiActive = true; // a camera change is refused while AI is busy
    send({{"action", "camera"}, {"value", 0}});
    EXPECT_EQ(host.selected, 1);
}

TEST_F(StudioTest, MirrorTogglesAndIsRemembered) {
    send({{"action", "mirror"}});
    EXPECT_TRUE(host.mirrorOn);
    EXPECT_TRUE(lastPush()["mirror"].get<bool>());
    send({{"action", "mirror"}});
    EXPECT_FALSE(host.mirrorOn);
    EXPECT_EQ(defaults->boolean("mirrorPreview"), false);
}

TEST_F(StudioTest, CameraCheckAnswersWithTheTicketAfterTheLookup) {
    host.cameraName = "Zarvo Virtual Camera";
    send({{"action", "cameraCheck"}, {"value", 7}});
    // The push comes at once, the answer after the lookup off the main thread.
    EXPECT_EQ(web.pushCount(), 1u);
    ASSERT_TRUE(loop.runUntil(
        [&] { return !web.scriptsStartingWith("window.receiveCameraCheck").empty(); }));
    EXPECT_EQ(web.scriptsStartingWith("window.receiveCameraCheck").back(),
              "window.receiveCameraCheck(true,7)");

    host.cameraName.reset();
    send({{"action", "cameraCheck"}, {"value", "7"}});
    ASSERT_TRUE(loop.runUntil(
        [&] { return web.scriptsStartingWith("window.receiveCameraCheck").size() == 2; }));
    EXPECT_EQ(web.scriptsStartingWith("window.receiveCameraCheck").back(),
              "window.receiveCameraCheck(false,0)");
}

TEST_F(StudioTest, AnAnswerAfterTheStudioIsGoneIsDropped) {
    send({{"action", "cameraCheck"}, {"value", 3}});
    studio.reset(); // joins the lookup; its answer finds no studio
    loop.runUntilIdle();
    EXPECT_TRUE(web.scriptsStartingWith("window.receiveCameraCheck").empty());
}

TEST_F(StudioTest, RestartIsRefusedWhileASessionMayStillBeBilled) {
    service.answer("client/state", runningAccount());
    sync();
    send({{"action", "restartClient"}});
    ASSERT_EQ(host.alerts.size(), 1u);
    EXPECT_EQ(host.alerts[0], "Zarvo|请先停止 AI 并等待结算，再重启客户端");
    EXPECT_EQ(host.relaunches + host.terminations, 0);
    EXPECT_EQ(web.pushCount(), 0u);

    service.answer("client/state", idleAccount());
    sync();
    app->aiStopping = true;
    send({{"action", "restartClient"}});
    EXPECT_EQ(host.alerts.size(), 2u);
    EXPECT_EQ(host.terminations, 0);

    app->aiStopping = false;
    send({{"action", "restartClient"}});
    EXPECT_EQ(host.relaunches, 1);
    EXPECT_EQ(host.terminations, 1);
    EXPECT_EQ(web.pushCount(), 1u);
}

TEST_F(StudioTest, RefreshAsksTheServiceOnceAndSaysSoWhileAsking) {
    service.hold("client/state");
    send({{"action", "refresh"}});
    EXPECT_TRUE(app->stateBusy);
    send({{"action", "refresh"}});
    loop.runUntilIdle();
    EXPECT_EQ(service.count("client/state"), 1u);
    EXPECT_EQ(app->syncLabel.text, "正在同步积分，请稍候…");
    EXPECT_EQ(lastPush()["sync"], "正在同步积分，请稍候…");
    service.release("client/state");
    loop.runUntilIdle();
}

TEST_F(StudioTest, UpdateAndDiagnosticActionsReachTheSupportObject) {
    send({{"action", "checkUpdates"}});
    send({{"action", "diagnostics"}});
    send({{"action", "cameraSetup"}});
    send({{"action", "notice"}, {"value", "虚拟摄像头已就绪"}});
    send({{"action", "notice"}});
    send({{"action", "bill"}});
    send({{"action", "enlarge"}});
    send({{"action", "local"}});
    EXPECT_EQ(support.checks, std::vector<bool>{true});
    EXPECT_EQ(support.diagnostics, 1);
    EXPECT_EQ(support.cameraSetups, 1);
    EXPECT_EQ(host.alerts, (std::vector<std::string>{"Zarvo|虚拟摄像头已就绪", "Zarvo|"}));
    EXPECT_EQ(web.scriptsStartingWith("window.openStudioPage('bill')").size(), 1u);
    EXPECT_EQ(host.videoVisible, false); // the page does not report pages it was told to open
    EXPECT_EQ(host.enlarged, 1);
    EXPECT_EQ(host.showing, "local");
    EXPECT_EQ(lastPush()["update"], Json({{"phase", "idle"}}));
    EXPECT_TRUE(lastPush()["routes"].is_object());
}

TEST_F(StudioTest, TheGalleryIsSentOnceAfterEachChangeAndAgainAfterEveryLoad) {
    for (int i = 0; i < 3; ++i)
        studio->gallery.push_back({{"path", "/refs/" + std::to_string(i) + ".jpg"}});
    ++studio->galleryRevision;
    studio->refresh();
    studio->refresh();
    auto pushes = web.pushes();
    ASSERT_EQ(pushes.size(), 2u);
    EXPECT_EQ(pushes[0]["gallery"].size(), 3u);
    EXPECT_EQ(pushes[0]["galleryRevision"], 1);
    EXPECT_FALSE(pushes[1].contains("gallery"));
    EXPECT_FALSE(pushes[1].contains("galleryRevision"));

    // A reload: the full push carries the gallery although it did not change.
    studio->didFinishLoad();
    EXPECT_EQ(lastPush()["gallery"].size(), 3u);
}

TEST_F(StudioTest, LoadCompletionChecksTheRouteAndMarksLaunchReadyOnlyOnATrueProbe) {
    size_t probes = service.count("/health");
    web.probeAnswer = Json(false);
    studio->didFinishLoad();
    loop.runUntilIdle();
    EXPECT_EQ(support.launchReady, 0);
    EXPECT_GT(service.count("/health"), probes);
    EXPECT_EQ(web.scriptsStartingWith("typeof window.refreshStudio === 'function'").size(), 1u);
    web.probeAnswer = Json("true");
    studio->didFinishLoad();
    EXPECT_EQ(support.launchReady, 0);
    web.probeAnswer = Json(true);
    studio->didFinishLoad();
    EXPECT_EQ(support.launchReady, 1);
}

TEST_F(StudioTest, RemovingAReferenceDeletesOnlyGalleryFilesAfterConfirmation) {
    auto references = folder / "references";
    std::filesystem::create_directories(references);
    auto kept = references / "kept.jpg", chosen = references / "chosen.jpg";
    ASSERT_TRUE(writeFileAtomically(kept, "k"));
    ASSERT_TRUE(writeFileAtomically(chosen, "c"));
    auto outside = folder / "outside.jpg";
    ASSERT_TRUE(writeFileAtomically(outside, "o"));
    studio->gallery = Json::array({{{"path", kept.string()}}, {{"path", chosen.string()}}});
    studio->selectedReference = chosen.string();
    defaults->set("referencePath", chosen.string());
    studio->presets = Json::array({{{"id", "p1"}, {"referencePath", chosen.string()}}});

    // Not a gallery entry: nothing deleted, no question, a push.
    send({{"action", "removeReference"}, {"value", outside.string()}});
    EXPECT_TRUE(std::filesystem::exists(outside));
    EXPECT_TRUE(host.confirms.empty());
    EXPECT_EQ(web.pushCount(), 1u);

    // Cancelled: nothing changes and nothing is pushed.
    host.confirmAnswer = false;
    send({{"action", "removeReference"}, {"value", kept.string()}});
    EXPECT_TRUE(std::filesystem::exists(kept));
    EXPECT_EQ(web.pushCount(), 1u);

    host.confirmAnswer = true;
    send({{"action", "removeReference"}, {"value", chosen.string()}});
    EXPECT_FALSE(std::filesystem::exists(chosen));
    EXPECT_TRUE(studio->selectedReference.empty());
    EXPECT_FALSE(defaults->string("referencePath"));
    EXPECT_FALSE(app->selectedReferenceData);
    EXPECT_EQ(app->referenceName.text, "请选择参考图");
    EXPECT_EQ(host.referenceCleared, 1);
    EXPECT_EQ(studio->presets[0]["referencePath"], chosen.string());
    EXPECT_EQ(lastPush()["startDisabledReason"], "等待积分同步");
    EXPECT_EQ(web.pushCount(), 2u);

    // Refused while AI is busy.
    app->aiBusy = true;
    send({{"action", "removeReference"}, {"value", kept.string()}});
    EXPECT_TRUE(std::filesystem::exists(kept));
    EXPECT_EQ(host.confirms.size(), 2u);
}

TEST_F(StudioTest, AReferenceThatCannotBeDeletedIsReportedAndNotPushed) {
    auto stubborn = folder / "references" / "stubborn";
    std::filesystem::create_directories(stubborn / "inside"); // a non-empty folder resists removal
    studio->gallery = Json::array({{{"path", stubborn.string()}}});
    send({{"action", "removeReference"}, {"value", stubborn.string()}});
    EXPECT_EQ(host.alerts, std::vector<std::string>{"Zarvo|无法删除参考图，请重试"});
    EXPECT_EQ(web.pushCount(), 0u);
}

TEST_F(StudioTest, DeletingAPresetAsksFirst) {
    studio->presets = Json::array({{{"id", "a"}}, {{"id", "b"}}, {{"id", 7}}});
    host.confirmAnswer = false;
    send({{"action", "deletePreset"}, {"value", "a"}});
    EXPECT_EQ(studio->presets.size(), 3u);
    host.confirmAnswer = true;
    send({{"action", "deletePreset"}, {"value", "a"}});
    EXPECT_EQ(studio->presets, Json::array({{{"id", "b"}}, {{"id", 7}}}));
    send({{"action", "deletePreset"}}); // no id: no question
    EXPECT_EQ(host.confirms.size(), 2u);
    EXPECT_EQ(web.pushCount(), 3u);
}

TEST_F(StudioTest, APushWithTextThatIsNotUtf8IsDroppedAndTheNextOneGoesOut) {
    app->status.text = "\xff\xfe";
    studio->refresh();
    EXPECT_EQ(web.pushCount(), 0u);
    app->status.text = "正常";
    studio->refresh();
    EXPECT_EQ(lastPush()["status"], "正常");
}

} // namespace
} // namespace zarvo::testing
