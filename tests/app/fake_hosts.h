// App's hosts for tests that build App without the shell.
#pragma once

#include "app/app_hosts.h"

#include <filesystem>
#include <optional>
#include <string>

namespace zarvo::testing {

// App's hosts as a test scripts them: the install flag, the selected camera, and what the window
// was asked to do.
struct FakeHosts : UpdateGate, CameraSelection, SessionWindow {
    bool updateInstalling = false;
    std::optional<std::string> camera = "cam-1";
    int previewStops = 0;
    // The studio's chooser and preview, as the shell hands them to App, when a test has a studio.
    CameraSelection* cameras = nullptr;
    std::optional<std::filesystem::path> rendered;

    bool installing() const override { return updateInstalling; }
    std::optional<std::string> selectedCameraID() const override {
        return cameras ? cameras->selectedCameraID() : camera;
    }
    void stopPreview() override {
        ++previewStops;
        if (cameras)
            cameras->stopPreview();
    }
    void showAIOutput() override {}
    void clearAIPictures() override {}
    void renderWindowPNG(const std::filesystem::path& file) override { rendered = file; }

    AppHosts hosts() { return {*this, *this, *this}; }
    AppHosts hosts(UpdateGate& update) { return {update, *this, *this}; }
};

} // namespace zarvo::testing
