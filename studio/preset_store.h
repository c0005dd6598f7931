// Presets: named combinations of editing mode, reference image, camera and mirror, kept in
// "presets.json" in the order they were saved. Records are kept exactly as read, so members this
// version does not know survive a rewrite. Applying checks everything before it changes anything.
// Main thread only.
#pragma once

#include "foundation/json.h"
#include "foundation/user_defaults.h"

#include "media/session_view.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace zarvo {

// What presets read and change in the application core, the gallery and the camera chooser.
class PresetHost : public virtual SessionView {
public:
    ~PresetHost() override = default;
    virtual bool coreAlive() const { return true; }
    // The tag of the selected mode button (0 when none) and how many buttons there are.
    virtual int selectedMode() const = 0;
    virtual int modeButtonCount() const = 0;
    // The gallery's selection ("" when none) and whether a path is a gallery entry.
    virtual std::string selectedReference() const = 0;
    virtual bool galleryHasPath(const std::string& path) const = 0;
    // The bytes of a gallery image; none when it cannot be read.
    virtual std::optional<std::string> readReference(const std::string& path) const = 0;
    // The unique id of the camera selected in the chooser, none when the index is out of range.
    virtual std::optional<std::string> selectedCameraID() const = 0;
    virtual bool cameraAvailable(const std::string& uniqueID) const = 0;
    virtual bool mirror() const = 0;

    virtual void switchLive(std::string data, int mode, std::function<void()> done) = 0;
    virtual void chooseReference(const std::string& path, bool localOnly) = 0;
    // Clears the selection: "referencePath" removed, reference view empty, "请选择参考图".
    virtual void clearReference() = 0;
    // The mode buttons' action with no session running.
    virtual void selectMode(int mode) = 0;
    // Marks the button with tag `mode` selected (all others cleared) and redraws them.
    virtual void showSelectedMode(int mode) = 0;
    // Selects the camera in the chooser, then runs the chooser's change handling.
    virtual void selectCamera(const std::string& uniqueID) = 0;
    // Sets the mirror check box, then runs its change handling.
    virtual void setMirror(bool on) = 0;
};

class PresetUI {
public:
    virtual ~PresetUI() = default;
    virtual void alert(const std::string& message, const std::string& informative) = 0;
    // The name prompt: an alert with a text field; none unless the first button was pressed.
    virtual std::optional<std::string> askPresetName() = 0;
    virtual bool confirm(const std::string& message, const std::string& informative,
                         const std::string& confirmTitle, const std::string& cancelTitle) = 0;
};

class PresetStore {
public:
    // `file` is "presets.json" in the storage folder.
    PresetStore(std::filesystem::path file, UserDefaults& defaults, PresetUI& ui);

    // Reads the file once; anything but a JSON array of objects gives an empty list.
    void load();
    // Writes the list whole and atomically; alerts on failure (the list stays in memory).
    bool persistPresets();
    void savePreset(const std::optional<std::string>& name, PresetHost& host);
    void applyPreset(const std::string& id, PresetHost& host);
    // Asks for confirmation, then removes every record with this id and persists.
    void deletePreset(const std::string& id);

    // The name as stored: trimmed of white space and line breaks, cut to 80 characters; none
    // when nothing is left.
    static std::optional<std::string> presetName(const std::string& raw);

    const Json& presets() const { return presets_; }
    const std::filesystem::path& file() const { return file_; }

private:
    const Json* find(const std::string& id) const;
    void applyDuringSession(const std::string& id, PresetHost& host);

    std::filesystem::path file_;
    UserDefaults& defaults_;
    PresetUI& ui_;
    Json presets_ = Json::array();
};

} // namespace zarvo
