// The bridge's dispatch and push against the real application core (scripted service, virtual
// time), with a recording web view and window host.
#include "../app/session_fixture.h"
#include "studio_fakes.h"

#include "foundation/atomic_file.h"

namespace zarvo::testing {
namespace {

// The studio's chooser and preview as App's camera selection, as the shell's window link joins
// them.
struct StudioCameras final : CameraSelection {
    std::optional<std::string> selectedCameraID() const override {
        return studio->cameras().selectedCameraID();
    }
    void stopPreview() override { studio->preview().stopPreview(); }
    ExactInterface* studio = nullptr;
};

class StudioTest : public SessionTest {
protected:
    StudioTest() {
        studio = std::make_unique<ExactInterface>(*app, web, host, support,
                                                  folder / "page" / "index.html", parts());
        studioCameras.studio = studio.get();
        fakeHosts.cameras = &studioCameras;
        // The chooser's first probe and the gallery's first load run off the main thread.
        EXPECT_TRUE(loop.runUntil([&] { return !studio->cameras().devices().empty(); },
                                  std::chrono::seconds(60)));
        settle();
        web.scripts.clear();
    }
    ~StudioTest() override {
        fakeHosts.cameras = nullptr;
        studio.reset();
    }

    StudioParts parts() { return fakeParts.parts(); }
    void settle() {
        ASSERT_TRUE(
            loop.runUntil([&] { return !studio->gallery().working(); }, std::chrono::seconds(60)));
        loop.runUntilIdle();
    }
    // An image file in the gallery's folder (not yet loaded).
    std::filesystem::path putReference(const std::string& name) {
        auto file = studio->gallery().paths().folder / name;
        std::filesystem::create_directories(file.parent_path());
        EXPECT_TRUE(writeFileAtomically(file, "IMG " + name));
        return file;
    }

    void send(const Json& body, bool mainFrame = true) {
        studio->didReceiveMessage(body, mainFrame);
    }
    Json lastPush() const {
        auto pushes = web.pushes();
        return pushes.empty() ? Json() : pushes.back();
    }

    StudioCameras studioCameras;
    FakeWebView web;
    FakeHost host;
    FakeSupport support;
    FakeStudioParts fakeParts;
    FakeDialogs& dialogs = fakeParts.dialogs;
    std::shared_ptr<FakeCapture> capture = fakeParts.capture;
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
    ExactInterface next(*app, nextLaunch, host, support, folder / "index.html", parts());
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
    EXPECT_EQ(studio->cameras().selectedCameraID(), "cam-2");
    EXPECT_EQ(defaults->string("cameraID"), "cam-2");
    EXPECT_EQ(lastPush()["camera"], 1);
    EXPECT_EQ(lastPush()["cameras"], Json({"前置摄像头", "USB 摄像头"}));
    for (Json bad : {Json(2), Json(-1), Json("0"), Json(0.0)})
        send({{"action", "camera"}, {"value", bad}});
    EXPECT_EQ(studio->cameras().selectedCameraID(), "cam-2");
}

// The session captures the camera the chooser shows; while it may hold it, no pick changes it.
TEST_F(StudioTest, TheSessionJoinsWithTheChosenCameraAndRefusesAnotherWhileBusy) {
    send({{"action", "camera"}, {"value", 1}});
    sync();
    send({{"action", "start"}});
    ASSERT_TRUE(loop.runUntil([&] { return video.joins > 0; }, std::chrono::seconds(60)));
    EXPECT_EQ(video.camera, "cam-2");
    app->aiActive = true; // the service's idle account replies would end it here
    send({{"action", "camera"}, {"value", 0}});
    EXPECT_EQ(studio->cameras().selectedCameraID(), "cam-2");
    EXPECT_EQ(defaults->string("cameraID"), "cam-2");
    EXPECT_EQ(lastPush()["camera"], 1);
}

TEST_F(StudioTest, MirrorTogglesAndIsRemembered) {
    send({{"action", "mirror"}});
    EXPECT_TRUE(studio->preview().mirror);
    EXPECT_TRUE(capture->mirrored);
    EXPECT_TRUE(lastPush()["mirror"].get<bool>());
    EXPECT_EQ(defaults->boolean("mirrorPreview"), true);
    send({{"action", "mirror"}});
    EXPECT_FALSE(studio->preview().mirror);
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
    EXPECT_EQ(
        web.scriptsStartingWith(R"(window.openStudioPage && window.openStudioPage("bill"))").size(),
        1u);
    EXPECT_EQ(host.videoVisible, false); // the page does not report pages it was told to open
    EXPECT_EQ(host.enlarged, 1);
    EXPECT_EQ(host.showing, "local");
    EXPECT_EQ(lastPush()["update"], Json({{"phase", "idle"}}));
    EXPECT_TRUE(lastPush()["routes"].is_object());
}

TEST_F(StudioTest, TheGalleryIsSentOnceAfterEachChangeAndAgainAfterEveryLoad) {
    for (int i = 0; i < 3; ++i)
        putReference(std::to_string(i) + ".jpg");
    studio->gallery().loadGallery();
    settle();
    // The finished load pushes at once, with the gallery; the next push goes without it.
    auto pushes = web.pushes();
    ASSERT_GE(pushes.size(), 1u);
    EXPECT_EQ(pushes.back()["gallery"].size(), 3u);
    EXPECT_EQ(pushes.back()["galleryRevision"], studio->gallery().galleryRevision());
    studio->refresh();
    EXPECT_FALSE(lastPush().contains("gallery"));
    EXPECT_FALSE(lastPush().contains("galleryRevision"));

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

    // The page's modules may still be running when the load is reported: the probe asks again
    // until they are, marks once, and a later load's probe replaces an earlier one's.
    web.probeAnswer = Json(false);
    studio->didFinishLoad();
    studio->didFinishLoad();
    loop.advance(std::chrono::seconds(2));
    EXPECT_EQ(support.launchReady, 1);
    web.probeAnswer = Json(true);
    loop.advance(std::chrono::milliseconds(150));
    loop.runUntilIdle();
    EXPECT_EQ(support.launchReady, 2);
    loop.advance(std::chrono::seconds(20));
    EXPECT_EQ(support.launchReady, 2);
}

// Importing the same picture twice keeps one copy: two different files give two thumbnails.
TEST_F(StudioTest, ImportedImagesReachThePageOncePerPicture) {
    auto outside = folder / "outside";
    std::filesystem::create_directories(outside);
    auto a = outside / "a.jpg", b = outside / "b.jpg", again = outside / "a-copy.jpg";
    ASSERT_TRUE(writeFileAtomically(a, "IMG first"));
    ASSERT_TRUE(writeFileAtomically(b, "IMG second"));
    ASSERT_TRUE(writeFileAtomically(again, "IMG first"));
    dialogs.chosen = {a, b};
    send({{"action", "image"}});
    settle();
    dialogs.chosen = {again};
    send({{"action", "image"}});
    settle();
    studio->didFinishLoad();
    const Json state = lastPush();
    ASSERT_TRUE(state.contains("gallery"));
    const Json& gallery = state["gallery"];
    ASSERT_EQ(gallery.size(), 2u);
    for (const auto& entry : gallery)
        EXPECT_TRUE(std::filesystem::exists(entry["path"].get<std::string>()));
    // The originals stay where they were.
    EXPECT_TRUE(std::filesystem::exists(a));
    EXPECT_TRUE(std::filesystem::exists(again));
}

TEST_F(StudioTest, RemovingTheSelectedReferenceDeletesItAfterConfirmationAndClearsTheSelection) {
    auto kept = putReference("kept.jpg"), chosen = putReference("chosen.jpg");
    auto outside = folder / "outside.jpg";
    ASSERT_TRUE(writeFileAtomically(outside, "IMG outside"));
    studio->gallery().loadGallery();
    settle();
    send({{"action", "selectReference"}, {"value", chosen.string()}});
    settle();
    ASSERT_EQ(studio->gallery().selectedReference(), chosen.string());
    EXPECT_EQ(app->selectedReferenceData, "IMG chosen.jpg");
    EXPECT_EQ(defaults->string("referencePath"), chosen.string());
    EXPECT_EQ(lastPush()["selectedReference"], chosen.string());
    // A preset keeps naming the image after it is gone (it asks for a new one when applied).
    dialogs.presetName = "晨间";
    send({{"action", "savePreset"}});
    ASSERT_EQ(studio->presets().presets().size(), 1u);
    web.scripts.clear();

    // Not a gallery entry: nothing deleted, no question, a push.
    send({{"action", "removeReference"}, {"value", outside.string()}});
    EXPECT_TRUE(std::filesystem::exists(outside));
    EXPECT_TRUE(dialogs.confirms.empty());
    EXPECT_EQ(web.pushCount(), 1u);

    // Cancelled: nothing changes and nothing is pushed.
    dialogs.confirmAnswer = false;
    send({{"action", "removeReference"}, {"value", chosen.string()}});
    EXPECT_TRUE(std::filesystem::exists(chosen));
    EXPECT_EQ(web.pushCount(), 1u);

    dialogs.confirmAnswer = true;
    send({{"action", "removeReference"}, {"value", chosen.string()}});
    EXPECT_FALSE(std::filesystem::exists(chosen));
    EXPECT_TRUE(studio->gallery().selectedReference().empty());
    EXPECT_FALSE(defaults->string("referencePath"));
    EXPECT_FALSE(app->selectedReferenceData);
    EXPECT_EQ(app->referenceName.text, "请选择参考图");
    EXPECT_EQ(host.referenceCleared, 1);
    EXPECT_EQ(studio->presets().presets()[0]["reference"], chosen.string());
    // The push right after the deletion no longer offers the image.
    EXPECT_EQ(web.pushCount(), 2u);
    ASSERT_TRUE(lastPush().contains("gallery"));
    EXPECT_EQ(lastPush()["gallery"].size(), 1u);
    EXPECT_EQ(lastPush()["selectedReference"], "");
    EXPECT_EQ(lastPush()["startDisabledReason"], "等待积分同步");
    settle();

    // Refused while AI is busy: no question, the file stays.
    app->aiBusy = true;
    send({{"action", "removeReference"}, {"value", kept.string()}});
    EXPECT_TRUE(std::filesystem::exists(kept));
    EXPECT_EQ(dialogs.confirms.size(), 2u);
}

TEST_F(StudioTest, DeletingAPresetAsksFirst) {
    dialogs.presetName = "甲";
    send({{"action", "savePreset"}});
    send({{"action", "savePreset"}, {"value", "乙"}});
    ASSERT_EQ(studio->presets().presets().size(), 2u);
    std::string first = studio->presets().presets()[0]["id"];
    dialogs.confirmAnswer = false;
    send({{"action", "deletePreset"}, {"value", first}});
    EXPECT_EQ(studio->presets().presets().size(), 2u);
    dialogs.confirmAnswer = true;
    send({{"action", "deletePreset"}, {"value", first}});
    ASSERT_EQ(studio->presets().presets().size(), 1u);
    EXPECT_EQ(lastPush()["presets"], studio->presets().presets());
    EXPECT_EQ(lastPush()["presets"][0]["name"], "乙");
    send({{"action", "deletePreset"}}); // no id: no question
    EXPECT_EQ(dialogs.confirms.size(), 2u);
    // What the page shows is on disk for the next launch.
    auto stored = readFile(studio->presets().file());
    ASSERT_TRUE(stored);
    EXPECT_EQ(Json::parse(*stored), studio->presets().presets());
}

// Paging quickly: only the newest page's reply reaches the page, and each list keeps its own.
TEST_F(StudioTest, OnlyTheNewestBillingPageReachesThePage) {
    service.answer("client/billing?page=1", Json{{"page", 1}});
    service.answer("client/billing?page=2", Json{{"page", 2}});
    service.answer("client/session-billing?page=1&page_size=20", Json{{"page", 1}});
    service.hold("client/billing?page=1");
    send({{"action", "billing"}});
    send({{"action", "sessionBilling"}, {"value", "x"}});
    send({{"action", "billing"}, {"value", 2}});
    loop.runUntilIdle();
    service.release("client/billing?page=1");
    loop.runUntilIdle();
    EXPECT_EQ(
        web.scriptsStartingWith("window.receiveBilling"),
        std::vector<std::string>{R"(window.receiveBilling && window.receiveBilling({"page":2}))"});
    EXPECT_EQ(web.scriptsStartingWith("window.receiveSessionBilling"),
              std::vector<std::string>{
                  R"(window.receiveSessionBilling && window.receiveSessionBilling({"page":1}))"});
}

// The application's own page commands: the page reports neither, so the region and the bill
// lists follow here.
TEST_F(StudioTest, OpeningTheBillPageHidesTheVideoAndAsksForTheFirstPageOfBothLists) {
    send({{"action", "bill"}});
    loop.runUntilIdle();
    EXPECT_EQ(host.videoVisible, false);
    EXPECT_EQ(web.scriptsStartingWith("window.openStudioPage").size(), 1u);
    EXPECT_EQ(service.count("client/billing?page=1"), 1u);
    EXPECT_EQ(service.count("client/session-billing?page=1&page_size=20"), 1u);
    EXPECT_EQ(web.scriptsStartingWith("window.receiveBilling").size(), 1u);
    studio->openStudioPage("live");
    EXPECT_EQ(host.videoVisible, true);
    studio->openStudioPage("settings");
    EXPECT_EQ(host.videoVisible, false);
    EXPECT_EQ(service.count("client/billing?page=1"), 1u);
}

// Signed out, the bill lists are account-bound calls like the others: nothing goes out and
// nothing comes back to the page.
TEST_F(StudioTest, BillListsAreNotAskedForWithoutAnAccount) {
    app->credential.reset();
    send({{"action", "bill"}});
    send({{"action", "billing"}, {"value", 2}});
    send({{"action", "sessionBilling"}, {"value", 2}});
    loop.runUntilIdle();
    EXPECT_EQ(service.count("client/billing?page=1"), 0u);
    EXPECT_EQ(service.count("client/billing?page=2"), 0u);
    EXPECT_EQ(service.count("client/session-billing?page=1&page_size=20"), 0u);
    EXPECT_EQ(service.count("client/session-billing?page=2&page_size=20"), 0u);
    EXPECT_TRUE(web.scriptsStartingWith("window.receiveBilling").empty());
    EXPECT_TRUE(web.scriptsStartingWith("window.receiveSessionBilling").empty());
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
