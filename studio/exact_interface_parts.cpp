// Building and releasing the studio's gallery, presets, billing pages and cameras.
#include "studio/exact_interface.h"

#include "foundation/paths.h"
#include "studio/exact_interface_core.h"

namespace zarvo {

void ExactInterface::buildParts(StudioParts parts) {
    core_ = std::make_unique<Core>(*this, app_, host_);
    presetCore_ = std::make_unique<PresetCore>(*this, *core_);
    preview_ = std::make_unique<CameraPreview>(app_.loop(), app_.defaults(), *core_, app_.queue,
                                               std::move(parts.capture));
    chooser_ = std::make_unique<CameraChooser>(app_.loop(), app_.defaults(), *core_, *preview_,
                                               std::move(parts.cameras), app_.queue);
    gallery_ = std::make_unique<ReferenceGallery>(
        app_.loop(), app_.defaults(), *core_, *parts.galleryUI, std::move(parts.codec),
        std::move(parts.galleryPaths), std::move(parts.galleryWorker));
    auto presetsFile =
        parts.presetsFile.empty() ? storageDirectory() / "presets.json" : parts.presetsFile;
    presets_ = std::make_unique<PresetStore>(presetsFile, app_.defaults(), *parts.presetUI);
    billing_ = std::make_unique<BillingPages>(
        [&app = app_](const std::string& path, BillingPages::Reply done) {
            if (!app.credential)
                return; // account-bound: skipped without an account, like every such call
            app.routes.request(path, std::nullopt, app.credential, std::move(done));
        },
        [&web = web_](const std::string& script) { web.evaluate(script); });

    gallery_->start();
    presets_->load();
    chooser_->observeCameraDevices();
}

void ExactInterface::releaseParts() {
    billing_.reset();
    presets_.reset();
    gallery_.reset();
    chooser_.reset();
    preview_.reset();
    presetCore_.reset();
    core_.reset();
}

} // namespace zarvo
