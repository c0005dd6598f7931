// presets.json: the saved presets, read at start and applied by id. Applying a damaged record
// selects only a mode and camera the host has, and never starts a switch outside a session.
#include "foundation/user_defaults.h"
#include "fuzz/fuzz_support.h"
#include "studio/preset_store.h"

namespace {

using namespace zarvo;

struct Host final : PresetHost {
    bool active = false;
    int switches = 0;
    bool aiActive() const override { return active; }
    bool aiBusy() const override { return false; }
    bool aiStopping() const override { return false; }
    int selectedMode() const override { return 1; }
    int modeButtonCount() const override { return 6; }
    std::string selectedReference() const override { return "/refs/a.jpg"; }
    bool galleryHasPath(const std::string& path) const override { return path == "/refs/a.jpg"; }
    std::optional<std::string> readReference(const std::string& path) const override {
        return galleryHasPath(path) ? std::optional<std::string>("jpeg") : std::nullopt;
    }
    std::optional<std::string> selectedCameraID() const override { return "camera-1"; }
    bool cameraAvailable(const std::string& id) const override { return id == "camera-1"; }
    bool mirror() const override { return false; }
    void switchLive(std::string, int mode, std::function<void()> done) override {
        ZARVO_FUZZ_CHECK(active && mode >= 0 && mode < modeButtonCount());
        switches++;
        if (done)
            done();
    }
    void chooseReference(const std::string& path, bool) override {
        ZARVO_FUZZ_CHECK(galleryHasPath(path));
    }
    void clearReference() override {}
    void selectMode(int mode) override { ZARVO_FUZZ_CHECK(mode >= 0 && mode < modeButtonCount()); }
    void showSelectedMode(int mode) override {
        ZARVO_FUZZ_CHECK(mode >= 0 && mode < modeButtonCount());
    }
    void selectCamera(const std::string& id) override { ZARVO_FUZZ_CHECK(cameraAvailable(id)); }
    void setMirror(bool) override {}
};

struct UI final : PresetUI {
    void alert(const std::string&, const std::string&) override {}
    std::optional<std::string> askPresetName() override { return std::nullopt; }
    bool confirm(const std::string&, const std::string&, const std::string&,
                 const std::string&) override {
        return true;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    auto file = fuzz::writeScratch(
        "presets.json", std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
    UserDefaults defaults(fuzz::scratch() / "preset-defaults.json");
    UI ui;
    Host host;
    host.active = data[0] & 1;
    PresetStore store(file, defaults, ui);
    store.load();
    ZARVO_FUZZ_CHECK(store.presets().is_array());
    for (const Json& preset : store.presets()) {
        ZARVO_FUZZ_CHECK(preset.is_object());
        if (auto id = jsonString(preset, "id"))
            store.applyPreset(*id, host);
    }
    return 0;
}
