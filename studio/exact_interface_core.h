// The application core as the gallery, the presets and the camera chooser and preview see it.
// Private to the studio controller's sources.
#pragma once

#include "app/app.h"
#include "foundation/atomic_file.h"
#include "studio/exact_interface.h"

namespace zarvo {

struct ExactInterface::Core final : GalleryHost, CameraChooserHost, PreviewHost {
    Core(ExactInterface& studio, App& app, StudioHost& host)
        : studio(studio), app(app), host(host) {}

    bool aiActive() const override { return app.aiActive; }
    bool aiBusy() const override { return app.aiBusy; }
    bool aiStopping() const override { return app.aiStopping; }
    int selectedMode() const override { return app.selectedModeIndex(); }
    // A switch accepted after the studio is gone has no gallery or presets left to update.
    void switchLive(std::string data, int mode, std::function<void()> done) override {
        OwnerWatch alive = life.watch();
        app.switchLive(std::move(data), mode, [alive, done = std::move(done)] {
            if (alive.alive() && done)
                done();
        });
    }
    void showReference(const std::string& data, const std::string& displayName) override {
        app.selectedReferenceData = data;
        app.referenceName.text = displayName;
    }
    // After the gallery dropped its selection and "referencePath".
    void clearReference() override {
        app.selectedReferenceData.reset();
        host.clearReferenceView();
        app.referenceName.text = "请选择参考图";
    }

    void stopAI(const std::string& reason) override {
        app.stopReason = reason;
        app.status.text = reason;
        app.stopAI();
    }
    // Background gallery work (a load, an import, an accepted switch) shows at once.
    void galleryChanged() override { studio.refresh(); }
    void clearLiveFrames() override { app.clearLiveFrames(); }
    void setStatus(const std::string& text) override { app.status.text = text; }
    void showPreview() override { host.showLocalPreview(); }
    void setPlaceholderVisible(bool visible) override {
        app.placeholder.text = visible ? "连接摄像头后会自动刷新，无需重启" : "";
    }

    ExactInterface& studio;
    App& app;
    StudioHost& host;
    WeakOwner life;
};

struct ExactInterface::PresetCore final : PresetHost {
    PresetCore(ExactInterface& studio, Core& core) : studio(studio), core(core) {}

    bool aiActive() const override { return core.aiActive(); }
    bool aiBusy() const override { return core.aiBusy(); }
    bool aiStopping() const override { return core.aiStopping(); }
    int selectedMode() const override { return core.selectedMode(); }
    int modeButtonCount() const override { return static_cast<int>(core.app.modeButtons.size()); }
    void switchLive(std::string data, int mode, std::function<void()> done) override {
        core.switchLive(std::move(data), mode, std::move(done));
    }
    // Through the gallery, so its selection and "referencePath" go too.
    void clearReference() override { studio.gallery_->clearSelection(); }
    std::string selectedReference() const override { return studio.gallery_->selectedReference(); }
    bool galleryHasPath(const std::string& path) const override {
        return studio.gallery_->entryForPath(path) != nullptr;
    }
    std::optional<std::string> readReference(const std::string& path) const override {
        return readFile(path);
    }
    std::optional<std::string> selectedCameraID() const override {
        return studio.chooser_->selectedCameraID();
    }
    bool cameraAvailable(const std::string& uniqueID) const override {
        return studio.chooser_->hasCamera(uniqueID);
    }
    bool mirror() const override { return studio.preview_->mirror; }
    void chooseReference(const std::string& path, bool localOnly) override {
        studio.gallery_->chooseReference(path, localOnly);
    }
    void selectMode(int mode) override { core.app.selectMode(mode); }
    void showSelectedMode(int mode) override {
        for (auto& button : core.app.modeButtons)
            button.selectedMode = button.tag == mode;
    }
    void selectCamera(const std::string& uniqueID) override {
        studio.chooser_->selectCamera(uniqueID);
    }
    void setMirror(bool on) override { studio.preview_->setMirror(on); }

    ExactInterface& studio;
    Core& core;
};

} // namespace zarvo
