// The update workflow's dialogs on GTK 4: modal message dialogs run in a nested main loop (GTK 4.8
// has no alert dialog) and the native save panel. Appearance follows the main window; without one
// it follows the "studioAppearance" default ("dark" or light).
#pragma once

#include "update/update_presenter.h"

#include <functional>

typedef struct _GtkWindow GtkWindow;

namespace zarvo {

class GtkUpdatePresenter final : public UpdatePresenter {
public:
    // `mainWindow` answers the window dialogs attach to (may answer null); `darkByDefault`
    // answers whether "studioAppearance" is "dark".
    GtkUpdatePresenter(std::function<GtkWindow*()> mainWindow, std::function<bool()> darkByDefault);

    bool canPresent() override;
    void alert(const std::string& title, const std::string& message) override;
    int showRelease(const ReleaseDialog& dialog) override;
    int confirm(const std::string& title, const std::string& message,
                const std::vector<std::string>& buttons) override;
    std::optional<std::filesystem::path> chooseSaveLocation(const std::string& suggestedName,
                                                            const std::string& message) override;

private:
    int run(const std::string& title, const std::string& message, const std::string& notes,
            const std::vector<std::string>& buttons);

    std::function<GtkWindow*()> mainWindow_;
    std::function<bool()> darkByDefault_;
};

} // namespace zarvo
