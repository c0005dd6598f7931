// ExactInterface: the studio controller. It loads the studio page into the web view, runs the
// page's actions against the application core and pushes the state object back every second.
// Main thread only; App, the web view, the host and the support object outlive it.
#pragma once

#include "foundation/json.h"
#include "foundation/loop.h"
#include "foundation/serial_queue.h"
#include "foundation/weak_owner.h"
#include "media/camera/camera_chooser.h"
#include "media/camera/camera_preview.h"
#include "studio/billing_pages.h"
#include "studio/preset_store.h"
#include "studio/reference_gallery.h"
#include "studio/studio_host.h"
#include "studio/studio_support.h"
#include "studio/studio_web_view.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace zarvo {

class App;

// The platform parts behind the studio's gallery, presets and cameras; the window supplies them.
// All are required.
struct StudioParts {
    GalleryUI* galleryUI = nullptr;
    PresetUI* presetUI = nullptr;
    std::shared_ptr<GalleryImageCodec> codec;
    GalleryPaths galleryPaths = GalleryPaths::standard();
    std::shared_ptr<SerialQueue> galleryWorker; // none: the gallery makes its own
    std::filesystem::path presetsFile;          // empty: "presets.json" in the storage folder
    std::shared_ptr<CameraDeviceSource> cameras;
    std::shared_ptr<PreviewCapture> capture;
};

class ExactInterface final : public StudioWebViewClient {
public:
    // Installs the theme script and starts loading `page` (the bundle's index.html).
    // Also starts the gallery's first load, reads the presets and starts watching the cameras.
    // Its chooser and preview are the camera selection the shell hands to App.
    ExactInterface(App& app, StudioWebView& web, StudioHost& host, StudioSupport& support,
                   const std::filesystem::path& page, StudioParts parts);
    ~ExactInterface();
    ExactInterface(const ExactInterface&) = delete;
    ExactInterface& operator=(const ExactInterface&) = delete;

    // The "studio" script message handler.
    void didReceiveMessage(const Json& body, bool mainFrame) override;
    // The page finished loading (also after a reload).
    void didFinishLoad() override;
    // Pushes the state object to the page.
    void refresh();
    // The state object as the next push sends it; marks the gallery as sent when it includes it.
    Json buildState();
    // The application core's own page commands (menus, screenshot mode).
    void openStudioPage(const std::string& page);

    // "document.documentElement.dataset.theme=…" for the stored appearance.
    static std::string themeScript(const std::string& appearance);

    ReferenceGallery& gallery() { return *gallery_; }
    PresetStore& presets() { return *presets_; }
    BillingPages& billing() { return *billing_; }
    CameraChooser& cameras() { return *chooser_; }
    CameraPreview& preview() { return *preview_; }

    // Sent with the last push; -1 makes the next push carry the gallery again.
    int64_t sentGalleryRevision = -1;

private:
    void probeLoadedPage(int64_t generation, int attempt);
    bool aiBusy() const;
    // Each returns whether the handler ends with the push.
    bool restartClient();
    void signInAnswer(const std::string& step, const std::optional<std::string>& error);
    void cameraCheck(int64_t ticket);

    App& app_;
    StudioWebView& web_;
    StudioHost& host_;
    StudioSupport& support_;
    struct Core;
    struct PresetCore;
    void buildParts(StudioParts parts);
    void releaseParts();

    std::unique_ptr<Core> core_;
    std::unique_ptr<PresetCore> presetCore_;
    std::unique_ptr<CameraPreview> preview_;
    std::unique_ptr<CameraChooser> chooser_;
    std::unique_ptr<ReferenceGallery> gallery_;
    std::unique_ptr<PresetStore> presets_;
    std::unique_ptr<BillingPages> billing_;
    TimerHandle timer_;
    TimerHandle probeTimer_;
    int64_t loadGeneration_ = 0;
    // The virtual-camera lookup reads the device list off the main thread.
    SerialQueue checkQueue_{"zarvo.studio.camera-check"};
    WeakOwner life_;
};

} // namespace zarvo
