// ReferenceGallery: the studio's gallery of reference images, its selection, import, preview and
// deletion. State lives on the main thread; every file read, hash and thumbnail runs on a worker
// queue and the result is applied back on the loop, so a large gallery never stalls the window.
// Reload results are numbered: only the newest one is applied.
#pragma once

#include "foundation/loop.h"
#include "foundation/serial_queue.h"
#include "foundation/user_defaults.h"
#include "foundation/weak_owner.h"
#include "media/session_view.h"
#include "studio/reference_gallery_files.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zarvo {

// What the gallery needs from the application core. Main thread only.
class GalleryHost : public virtual SessionView {
public:
    ~GalleryHost() override = default;
    // False once the application core is gone: every operation then does nothing.
    virtual bool coreAlive() const { return true; }
    // The tag of the selected mode button, 0 when none.
    virtual int selectedMode() const = 0;
    // The live switch; `done` runs only when the service accepted it.
    virtual void switchLive(std::string data, int mode, std::function<void()> done) = 0;
    // Sets the core's selectedReferenceData, shows the image in its reference view and the
    // display name in its referenceName label.
    virtual void showReference(const std::string& data, const std::string& displayName) = 0;
    // Clears selectedReferenceData and the reference view; referenceName reads "请选择参考图".
    virtual void clearReference() = 0;
    // On the loop, whenever background work changed what the page shows (gallery, selection),
    // so that the state is pushed at once.
    virtual void galleryChanged() = 0;
};

// Modal dialogs and windows. Each call returns when the user has answered.
class GalleryUI {
public:
    virtual ~GalleryUI() = default;
    virtual void alert(const std::string& message, const std::string& informative) = 0;
    // True for the first (confirming) button.
    virtual bool confirm(const std::string& message, const std::string& informative,
                         const std::string& confirmTitle, const std::string& cancelTitle) = 0;
    // The native open dialog for files (no folders, no type filter); none when cancelled.
    virtual std::optional<std::vector<std::filesystem::path>> chooseImages(bool multiple) = 0;
    // Opens (or replaces) the 720 × 540 preview window; false when the file cannot be shown.
    virtual bool showPreview(const std::string& title, const std::filesystem::path& file) = 0;
};

class ReferenceGallery {
public:
    ReferenceGallery(Loop& loop, UserDefaults& defaults, GalleryHost& host, GalleryUI& ui,
                     std::shared_ptr<GalleryImageCodec> codec,
                     GalleryPaths paths = GalleryPaths::standard(),
                     std::shared_ptr<SerialQueue> worker = nullptr);
    ~ReferenceGallery();
    ReferenceGallery(const ReferenceGallery&) = delete;
    ReferenceGallery& operator=(const ReferenceGallery&) = delete;

    // Start-up: the first load, then the carry-over of an image selected outside the gallery by
    // an older version, then the selection of the stored "referencePath" when it is an entry.
    void start();
    // Re-reads the whole folder off the main thread; `then` runs on the loop once the newest
    // requested load has been applied.
    void loadGallery(std::function<void()> then = {});
    // Selects a gallery image. While a session runs (and not localOnly) this asks for a live
    // switch and the selection changes only when the service accepted it.
    void chooseReference(const std::string& path, bool localOnly);
    void previewReference(const std::string& path);
    // The "image" action: the open dialog (one file while a session runs), then importFiles.
    void importImages();
    // Imports files chosen in the dialog or dropped on the gallery. While a session runs only the
    // first file is taken, as the dialog allows only one.
    void importFiles(std::vector<std::filesystem::path> files);
    // The "removeReference" action after its checks and confirmation. Returns whether the action
    // ends with a state push (a cancelled dialog and a failed deletion end without one).
    bool removeReference(const std::string& path);
    // Forgets the selection: "referencePath" removed, the core's reference cleared.
    void clearSelection();

    const std::vector<GalleryEntry>& gallery() const { return gallery_; }
    Json galleryJson() const;
    const GalleryEntry* entryForPath(const std::string& path) const;
    const ReferenceNames& names() const { return names_; }
    const std::string& selectedReference() const { return selectedReference_; }
    int64_t galleryRevision() const { return galleryRevision_; }
    // A load, an import or a selection is still being worked on.
    bool working() const { return pendingJobs_ > 0; }
    const GalleryPaths& paths() const { return paths_; }

private:
    struct Worker;
    struct ImportResult;

    bool refusedWhileBusy() const;
    void applyScan(int64_t generation, GalleryScan scan);
    void finishImport(ImportResult result);
    // Runs `then` now when the newest requested load is applied, else right after it is.
    void afterLoad(std::function<void()> then);
    void applySelection(const std::string& path, bool localOnly, std::string data);
    void changed();

    Loop& loop_;
    UserDefaults& defaults_;
    GalleryHost& host_;
    GalleryUI& ui_;
    GalleryPaths paths_;
    std::shared_ptr<SerialQueue> queue_;
    std::shared_ptr<Worker> worker_;

    std::vector<GalleryEntry> gallery_;
    ReferenceNames names_;
    std::string selectedReference_;
    int64_t galleryRevision_ = 0;
    int64_t requestedLoad_ = 0;
    int64_t appliedLoad_ = 0;
    int64_t selectionTicket_ = 0;
    int pendingJobs_ = 0;
    std::vector<std::function<void()>> waitingForLoad_;
    WeakOwner life_; // last, so that late replies see the gallery gone before any member
};

} // namespace zarvo
