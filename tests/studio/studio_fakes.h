// A recording web view, window host and support object for driving ExactInterface without a
// display.
#pragma once

#include "studio/exact_interface.h"

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zarvo::testing {

class FakeWebView : public StudioWebView {
public:
    void addDocumentStartScript(const std::string& source) override {
        startScripts.push_back(source);
    }
    void loadFile(const std::filesystem::path& file,
                  const std::filesystem::path& readAccess) override {
        loadedFile = file;
        loadedFolder = readAccess;
    }
    void evaluate(const std::string& script, Evaluated done) override {
        scripts.push_back(script);
        if (done)
            done(probeAnswer);
    }
    void snapshotPNG(const std::filesystem::path&, std::function<void(bool)> done) override {
        done(false);
    }

    // The pushed state objects, in order.
    std::vector<Json> pushes() const {
        const std::string prefix = "window.refreshStudio && window.refreshStudio(";
        std::vector<Json> states;
        for (const auto& script : scripts)
            if (script.starts_with(prefix))
                states.push_back(
                    Json::parse(script.substr(prefix.size(), script.size() - prefix.size() - 1)));
        return states;
    }
    size_t pushCount() const { return pushes().size(); }
    std::vector<std::string> scriptsStartingWith(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const auto& script : scripts)
            if (script.starts_with(prefix))
                found.push_back(script);
        return found;
    }

    std::vector<std::string> startScripts;
    std::vector<std::string> scripts;
    std::filesystem::path loadedFile, loadedFolder;
    std::optional<Json> probeAnswer;
};

class FakeHost : public StudioHost {
public:
    void placeVideo(const VideoFrame& f) override { frame = f; }
    void setVideoVisible(bool visible) override { videoVisible = visible; }
    void showLocalPreview() override { showing = "local"; }
    void showAIOutput() override { showing = "ai"; }
    void enlargeOutput() override { ++enlarged; }
    void setDarkAppearance(bool dark) override { darkAppearance = dark; }
    void alert(const std::string& message, const std::string& informative) override {
        alerts.push_back(message + "|" + informative);
    }
    bool confirm(const std::string& message, const std::string&, const std::string&,
                 const std::string&) override {
        confirms.push_back(message);
        return confirmAnswer;
    }
    void clearReferenceView() override { ++referenceCleared; }
    std::optional<std::string> virtualCameraName() override {
        ++lookups;
        return cameraName;
    }
    void relaunch() override { ++relaunches; }
    void terminate() override { ++terminations; }

    std::optional<VideoFrame> frame;
    std::optional<bool> videoVisible;
    std::string showing;
    int enlarged = 0;
    std::optional<bool> darkAppearance;
    std::vector<std::string> alerts, confirms;
    bool confirmAnswer = true;
    int referenceCleared = 0;
    std::atomic<int> lookups{0};
    std::optional<std::string> cameraName;
    int relaunches = 0, terminations = 0;
};

// Anything starting with "IMG" is a 30 × 20 picture with a fixed thumbnail.
class FakeCodec : public GalleryImageCodec {
public:
    std::optional<Inspection> inspect(std::string_view bytes) override {
        if (bytes.substr(0, 3) != "IMG")
            return std::nullopt;
        return Inspection{30, 20, "thumb"};
    }
};

// The gallery's and the presets' dialogs, answered from fields.
class FakeDialogs : public GalleryUI, public PresetUI {
public:
    void alert(const std::string& message, const std::string& informative) override {
        alerts.push_back(message + "|" + informative);
    }
    bool confirm(const std::string& message, const std::string&, const std::string&,
                 const std::string&) override {
        confirms.push_back(message);
        return confirmAnswer;
    }
    std::optional<std::string> askPresetName() override { return presetName; }
    std::optional<std::vector<std::filesystem::path>> chooseImages(bool) override { return chosen; }
    bool showPreview(const std::string& title, const std::filesystem::path&) override {
        previews.push_back(title);
        return true;
    }

    std::vector<std::string> alerts, confirms, previews;
    bool confirmAnswer = true;
    std::optional<std::string> presetName;
    std::vector<std::filesystem::path> chosen;
};

// Cameras "cam-1" (前置摄像头) and "cam-2" (USB 摄像头) unless changed.
class FakeCameraSource : public CameraDeviceSource {
public:
    FakeCameraSource() { present = {device("cam-1", "前置摄像头"), device("cam-2", "USB 摄像头")}; }
    static CameraDevice device(std::string id, std::string name) {
        CameraDevice d;
        d.uniqueID = std::move(id);
        d.localizedName = std::move(name);
        return d;
    }
    void start(std::function<void()>) override {}
    std::vector<CameraDevice> devices() override {
        std::lock_guard lock(mutex);
        return present;
    }
    std::mutex mutex;
    std::vector<CameraDevice> present;
};

class FakeCapture : public PreviewCapture {
public:
    bool accessGranted(const CameraDevice&) override { return true; }
    Status<> run(const CameraDevice&) override {
        ++runs;
        return Ok{};
    }
    void stop() override {}
    void setMirrored(bool on) override { mirrored = on; }
    std::atomic<int> runs{0};
    std::atomic<bool> mirrored{false};
};

// The platform parts of a studio under test.
struct FakeStudioParts {
    StudioParts parts() {
        StudioParts parts;
        parts.galleryUI = &dialogs;
        parts.presetUI = &dialogs;
        parts.codec = std::make_shared<FakeCodec>();
        parts.cameras = cameras;
        parts.capture = capture;
        return parts;
    }
    FakeDialogs dialogs;
    std::shared_ptr<FakeCameraSource> cameras = std::make_shared<FakeCameraSource>();
    std::shared_ptr<FakeCapture> capture = std::make_shared<FakeCapture>();
};

class FakeSupport : public StudioSupport {
public:
    void markLaunchReady() override { ++launchReady; }
    void checkForUpdates(bool interactive) override { checks.push_back(interactive); }
    void exportDiagnostics() override { ++diagnostics; }
    void showCameraSetup() override { ++cameraSetups; }
    Json snapshot() const override { return {{"phase", "idle"}}; }

    int launchReady = 0, diagnostics = 0, cameraSetups = 0;
    std::vector<bool> checks;
};

} // namespace zarvo::testing
