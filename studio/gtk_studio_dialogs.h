// The gallery's and the presets' dialogs on GTK 4: alerts and questions as message dialogs run in
// a nested main loop (modal, as the callers expect an answer on return), the native file chooser,
// the reference preview window, and a drop target that turns dropped image files into paths.
#pragma once

#include "studio/preset_store.h"
#include "studio/reference_gallery.h"

#include <filesystem>
#include <functional>
#include <vector>

typedef struct _GtkWindow GtkWindow;
typedef struct _GtkWidget GtkWidget;

namespace zarvo {

class GtkStudioDialogs final : public GalleryUI, public PresetUI {
public:
    // `parent` gives the main window (or none) at the time a dialog opens.
    explicit GtkStudioDialogs(std::function<GtkWindow*()> parent);
    ~GtkStudioDialogs() override;

    void alert(const std::string& message, const std::string& informative) override;
    bool confirm(const std::string& message, const std::string& informative,
                 const std::string& confirmTitle, const std::string& cancelTitle) override;
    std::optional<std::string> askPresetName() override;
    std::optional<std::vector<std::filesystem::path>> chooseImages(bool multiple) override;
    bool showPreview(const std::string& title, const std::filesystem::path& file) override;

private:
    std::function<GtkWindow*()> parent_;
    GtkWindow* previewWindow_ = nullptr; // kept (hidden) when closed, replaced by the next one
};

// Calls `dropped` (from an idle callback, outside the drop) with the local paths of files dropped
// on `widget` or any of its children; put it on the container that holds the web view.
void installImageFileDrop(GtkWidget* widget,
                          std::function<void(std::vector<std::filesystem::path>)> dropped);

} // namespace zarvo
