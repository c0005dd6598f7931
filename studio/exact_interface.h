// ExactInterface: the studio controller. It loads the studio page into the web view, runs the
// page's actions against the application core and pushes the state object back every second.
// Main thread only; App, the web view, the host and the support object outlive it.
#pragma once

#include "foundation/json.h"
#include "foundation/loop.h"
#include "foundation/serial_queue.h"
#include "studio/studio_host.h"
#include "studio/studio_support.h"
#include "studio/studio_web_view.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace zarvo {

class App;

class ExactInterface {
public:
    // Installs the theme script and starts loading `page` (the bundle's index.html).
    ExactInterface(App& app, StudioWebView& web, StudioHost& host, StudioSupport& support,
                   const std::filesystem::path& page);
    ~ExactInterface();
    ExactInterface(const ExactInterface&) = delete;
    ExactInterface& operator=(const ExactInterface&) = delete;

    // The "studio" script message handler.
    void didReceiveMessage(const Json& body, bool mainFrame);
    // The page finished loading (also after a reload).
    void didFinishLoad();
    // Pushes the state object to the page.
    void refresh();
    // The state object as the next push sends it; marks the gallery as sent when it includes it.
    Json buildState();
    // The application core's own page commands (menus, screenshot mode).
    void openStudioPage(const std::string& page);

    // "document.documentElement.dataset.theme=…" for the stored appearance.
    static std::string themeScript(const std::string& appearance);

    // Gallery (reference images), presets and billing pages. Their owners fill these in.
    void loadGallery();
    void carryOverReference();
    void chooseReference(const std::string& path, bool localOnly);
    void previewReference(const std::string& path);
    void importImages();
    void savePreset(std::optional<std::string> name);
    void applyPreset(const std::string& id);
    void persistPresets();
    Json readPresets();
    void requestSessionBilling(int64_t page);
    void requestBilling(int64_t page);
    // Camera selection and the local preview.
    void startPreview();
    void cameraChanged();
    void mirrorChanged();

    int64_t sessionBillingGeneration = 0;
    int64_t billingGeneration = 0;
    Json gallery = Json::array(); // entries: objects with at least "path"
    int64_t galleryRevision = 0;
    int64_t sentGalleryRevision = -1;
    std::string selectedReference;
    Json presets = Json::array();
    std::map<std::string, std::string> names;
    std::filesystem::path galleryURL;

private:
    bool aiBusy() const;
    // Each returns whether the handler ends with the push.
    bool removeReference(const Json* value);
    bool restartClient();
    void cameraCheck(int64_t ticket);

    App& app_;
    StudioWebView& web_;
    StudioHost& host_;
    StudioSupport& support_;
    TimerHandle timer_;
    // The virtual-camera lookup reads the device list off the main thread.
    SerialQueue checkQueue_{"zarvo.studio.camera-check"};
    std::shared_ptr<int> life_ = std::make_shared<int>(0);
};

} // namespace zarvo
