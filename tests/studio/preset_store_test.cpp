#include "studio/preset_store.h"

#include "foundation/atomic_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <vector>

namespace zarvo {
namespace {

namespace fs = std::filesystem;

struct FakePresetUI : PresetUI {
    std::vector<std::string> alerts;
    std::optional<std::string> answer;
    int prompts = 0;
    bool confirmAnswer = true;
    void alert(const std::string&, const std::string& informative) override {
        alerts.push_back(informative);
    }
    std::optional<std::string> askPresetName() override {
        ++prompts;
        return answer;
    }
    bool confirm(const std::string&, const std::string&, const std::string&,
                 const std::string&) override {
        return confirmAnswer;
    }
};

// The core, gallery and chooser as presets see them; every change is logged.
struct FakePresetHost : PresetHost {
    bool active = false, busy = false, stopping = false;
    int mode = 1;
    std::string reference = "/g/A-a.png";
    std::set<std::string> galleryPaths{"/g/A-a.png", "/g/B-b.png"};
    std::set<std::string> cameras{"cam-1", "cam-2"};
    std::optional<std::string> camera = "cam-1";
    bool mirrored = false;
    std::vector<std::string> changes;
    std::function<void()> pendingSwitch;
    int switchMode = -1;

    bool aiActive() const override { return active; }
    bool aiBusy() const override { return busy; }
    bool aiStopping() const override { return stopping; }
    int selectedMode() const override { return mode; }
    int modeButtonCount() const override { return 4; }
    std::string selectedReference() const override { return reference; }
    bool galleryHasPath(const std::string& path) const override {
        return galleryPaths.count(path) > 0;
    }
    std::optional<std::string> readReference(const std::string& path) const override {
        return galleryPaths.count(path) ? std::optional<std::string>("bytes:" + path)
                                        : std::nullopt;
    }
    std::optional<std::string> selectedCameraID() const override { return camera; }
    bool cameraAvailable(const std::string& id) const override { return cameras.count(id) > 0; }
    bool mirror() const override { return mirrored; }
    void switchLive(std::string, int m, std::function<void()> done) override {
        switchMode = m;
        pendingSwitch = std::move(done);
    }
    void chooseReference(const std::string& path, bool localOnly) override {
        changes.push_back(std::string("reference:") + path + (localOnly ? ":local" : ""));
    }
    void clearReference() override { changes.push_back("clearReference"); }
    void selectMode(int m) override { changes.push_back("mode:" + std::to_string(m)); }
    void showSelectedMode(int m) override { changes.push_back("shownMode:" + std::to_string(m)); }
    void selectCamera(const std::string& id) override { changes.push_back("camera:" + id); }
    void setMirror(bool on) override { changes.push_back(on ? "mirror:on" : "mirror:off"); }
};

struct PresetFixture : ::testing::Test {
    fs::path folder =
        fs::temp_directory_path() /
        ("zarvo-presets-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::path file = folder / "presets.json";
    UserDefaults defaults{folder / "defaults.json"};
    FakePresetUI ui;
    FakePresetHost host;
    PresetStore store{file, defaults, ui};

    void SetUp() override {
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }
    Json record(std::string id, std::string reference, std::string camera, Json mode = 2,
                bool mirror = true) {
        return Json{{"id", id},         {"name", "p"},     {"mode", mode}, {"reference", reference},
                    {"camera", camera}, {"mirror", mirror}};
    }
    void seed(Json records) {
        ASSERT_TRUE(writeFileAtomically(file, records.dump()));
        store.load();
    }
};

TEST_F(PresetFixture, NamesAreTrimmedAndCutToEightyCharacters) {
    EXPECT_EQ(PresetStore::presetName("   "), std::nullopt);
    EXPECT_EQ(PresetStore::presetName("\n\t 晨会 \u3000\n"), "晨会");
    std::string hundred;
    for (int i = 0; i < 100; ++i)
        hundred += "预";
    const auto cut = PresetStore::presetName(hundred);
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->size(), 80u * 3); // 80 characters of three bytes, none split
}

TEST_F(PresetFixture, SavingAppendsARecordThatSurvivesARestartWithUnknownMembers) {
    seed(Json::array({Json{{"id", "old"}, {"name", "旧"}, {"future", {{"x", 1}}}}}));
    store.savePreset("   ", host); // only spaces: nothing saved, no prompt
    EXPECT_EQ(ui.prompts, 0);
    EXPECT_EQ(store.presets().size(), 1u);

    ui.answer = std::nullopt; // prompt cancelled
    store.savePreset(std::nullopt, host);
    EXPECT_EQ(store.presets().size(), 1u);

    host.camera.reset(); // no camera selected
    host.mirrored = true;
    ui.answer = "  晚间直播 ";
    store.savePreset(std::nullopt, host);
    ASSERT_EQ(store.presets().size(), 2u);

    PresetStore reloaded(file, defaults, ui);
    reloaded.load();
    ASSERT_EQ(reloaded.presets().size(), 2u);
    EXPECT_EQ(reloaded.presets()[0]["future"]["x"], 1);
    const Json& saved = reloaded.presets()[1];
    EXPECT_EQ(saved["name"], "晚间直播");
    EXPECT_EQ(saved["mode"], 1);
    EXPECT_EQ(saved["reference"], "/g/A-a.png");
    EXPECT_EQ(saved["camera"], "");
    EXPECT_EQ(saved["mirror"], true);
    EXPECT_EQ(saved["id"].get<std::string>().size(), 36u);
    EXPECT_TRUE(ui.alerts.empty());
}

TEST_F(PresetFixture, DamagedFileGivesEmptyListAndWriteFailureAlertsButKeepsThePreset) {
    ASSERT_TRUE(writeFileAtomically(file, "[{\"id\":\"a\"}, 3]"));
    store.load();
    EXPECT_TRUE(store.presets().empty());

    // The file's place is taken by a folder: the write fails.
    fs::remove(file);
    fs::create_directories(file / "blocked");
    store.savePreset("保留", host);
    EXPECT_EQ(store.presets().size(), 1u);
    EXPECT_EQ(ui.alerts, std::vector<std::string>{"预设保存失败，请检查磁盘空间"});
}

TEST_F(PresetFixture, RefusedPresetsChangeNothing) {
    seed(Json::array(
        {record("unplugged", "/g/B-b.png", "cam-9"), record("deleted", "/g/gone.png", "cam-1")}));
    store.applyPreset("unplugged", host);
    store.applyPreset("deleted", host);
    host.busy = true;
    store.applyPreset("unplugged", host);
    host.busy = false;
    store.applyPreset("no-such-id", host); // no session: silently nothing
    EXPECT_EQ(ui.alerts,
              (std::vector<std::string>{"此预设的摄像头当前未连接",
                                        "此预设的参考图已删除，请重新选择参考图并保存预设",
                                        "请先停止 AI，再应用预设"}));
    EXPECT_TRUE(host.changes.empty());
}

TEST_F(PresetFixture, ApplyingWithoutASessionChangesModeReferenceCameraAndMirrorInOrder) {
    seed(Json::array(
        {record("full", "/g/B-b.png", "cam-2", 3, true), record("bare", "", "", 99, false)}));
    store.applyPreset("full", host);
    EXPECT_EQ(host.changes, (std::vector<std::string>{"mode:3", "reference:/g/B-b.png",
                                                      "camera:cam-2", "mirror:on"}));
    host.changes.clear();
    // No camera and no reference stored, a mode without a button: the mode stays, the
    // reference is cleared, no camera is chosen, the mirror is still applied.
    store.applyPreset("bare", host);
    EXPECT_EQ(host.changes, (std::vector<std::string>{"clearReference", "mirror:off"}));
}

TEST_F(PresetFixture, ApplyingDuringASessionChangesModeOnlyAfterTheSwitchSucceeds) {
    seed(Json::array({record("live", "/g/B-b.png", "cam-9", 2),
                      record("gone", "/g/gone.png", "cam-1"),
                      record("bad-mode", "/g/B-b.png", "", 99)}));
    host.active = true;
    store.applyPreset("gone", host);
    store.applyPreset("no-such-id", host);
    // A damaged record's mode asks the service for no switch.
    store.applyPreset("bad-mode", host);
    EXPECT_EQ(ui.alerts,
              (std::vector<std::string>{"预设参考图缺失，请重新选择", "预设参考图缺失，请重新选择",
                                        "此预设的模式无效，请重新保存预设"}));
    EXPECT_FALSE(host.pendingSwitch);

    // The camera is not checked or changed while the session uses it.
    store.applyPreset("live", host);
    ASSERT_TRUE(host.pendingSwitch);
    EXPECT_EQ(host.switchMode, 2);
    EXPECT_TRUE(host.changes.empty());
    EXPECT_FALSE(defaults.integer("editingMode"));
    host.pendingSwitch();
    EXPECT_EQ(host.changes,
              (std::vector<std::string>{"reference:/g/B-b.png:local", "shownMode:2"}));
    EXPECT_EQ(defaults.integer("editingMode"), 2);
}

TEST_F(PresetFixture, DeletingRemovesEveryRecordWithTheIDOnlyAfterConfirmation) {
    seed(Json::array({record("x", "", ""), record("y", "", ""), record("x", "", "")}));
    ui.confirmAnswer = false;
    store.deletePreset("x");
    EXPECT_EQ(store.presets().size(), 3u);
    ui.confirmAnswer = true;
    store.deletePreset("x");
    ASSERT_EQ(store.presets().size(), 1u);
    PresetStore reloaded(file, defaults, ui);
    reloaded.load();
    ASSERT_EQ(reloaded.presets().size(), 1u);
    EXPECT_EQ(reloaded.presets()[0]["id"], "y");
}

} // namespace
} // namespace zarvo
