// What the update workflow shows the user, behind an interface: GTK dialogs in the application,
// a scripted fake in tests. Every call is modal and runs on the main thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace zarvo {

struct ReleaseDialog {
    std::string title;
    std::string text;  // the lines above the notes
    std::string notes; // shown read-only and selectable in a scrolling box
    std::vector<std::string> buttons;
};

class UpdatePresenter {
public:
    virtual ~UpdatePresenter() = default;
    // No modal window is up and no window has a sheet attached: a dialog may appear now.
    virtual bool canPresent() = 0;
    // One button "知道了".
    virtual void alert(const std::string& title, const std::string& message) = 0;
    // The index of the chosen button; -1 when closed otherwise.
    virtual int showRelease(const ReleaseDialog& dialog) = 0;
    virtual int confirm(const std::string& title, const std::string& message,
                        const std::vector<std::string>& buttons) = 0;
    // A save panel; none when cancelled.
    virtual std::optional<std::filesystem::path>
    chooseSaveLocation(const std::string& suggestedName, const std::string& message) = 0;
};

} // namespace zarvo
