#include "studio/reference_gallery.h"

#include "foundation/atomic_file.h"
#include "foundation/thread_check.h"

#include <algorithm>
#include <system_error>

namespace zarvo {

namespace fs = std::filesystem;

namespace {

const char* const kStopFirst = "请先停止 AI，再修改参考图片";
const char* const kImportFailed = "以下图片无法导入（需有效图片且不超过 20 MB）：\n";

} // namespace

// File state that only the worker queue touches: the names and hashes of the last scan, kept
// current by imports so that a file imported twice in a row is still stored once.
struct ReferenceGallery::Worker {
    GalleryPaths paths;
    std::shared_ptr<GalleryImageCodec> codec;
    bool scanned = false;
    GalleryScan last;
    ReferenceNames names;
    std::vector<std::pair<std::string, std::string>> hashes; // sha, path

    GalleryScan scan() {
        last = scanGallery(paths, *codec);
        names = last.names;
        hashes.clear();
        for (const auto& entry : last.entries)
            hashes.emplace_back(entry.sha, entry.path);
        scanned = true;
        return last;
    }
    // The folder as this queue last left it: a fresh scan only when nothing was read yet.
    GalleryScan current() { return scanned ? last : scan(); }
    std::optional<std::string> pathWithHash(const std::string& sha) const {
        for (const auto& [hash, path] : hashes)
            if (hash == sha)
                return path;
        return std::nullopt;
    }
};

struct ReferenceGallery::ImportResult {
    std::vector<std::string> failed;     // source names
    std::vector<std::string> selections; // paths to select in turn
    GalleryScan scan;                    // the folder after the import
    int64_t generation = 0;
};

ReferenceGallery::ReferenceGallery(Loop& loop, UserDefaults& defaults, GalleryHost& host,
                                   GalleryUI& ui, std::shared_ptr<GalleryImageCodec> codec,
                                   GalleryPaths paths, std::shared_ptr<SerialQueue> worker)
    : loop_(loop), defaults_(defaults), host_(host), ui_(ui), paths_(std::move(paths)),
      queue_(worker ? std::move(worker) : std::make_shared<SerialQueue>("zarvo.studio.gallery")),
      worker_(std::make_shared<Worker>()) {
    worker_->paths = paths_;
    worker_->codec = std::move(codec);
    selectedReference_ = defaults_.string("referencePath").value_or("");
}

ReferenceGallery::~ReferenceGallery() = default;

void ReferenceGallery::changed() {
    host_.galleryChanged();
}

bool ReferenceGallery::refusedWhileBusy() const {
    return !host_.coreAlive() || host_.aiBusy() || host_.aiStopping();
}

Json ReferenceGallery::galleryJson() const {
    Json list = Json::array();
    for (const auto& entry : gallery_)
        list.push_back(entry.toJson());
    return list;
}

const GalleryEntry* ReferenceGallery::entryForPath(const std::string& path) const {
    for (const auto& entry : gallery_)
        if (entry.path == path)
            return &entry;
    return nullptr;
}

void ReferenceGallery::loadGallery(std::function<void()> then) {
    ZARVO_DCHECK_ON(loop_);
    const int64_t generation = ++requestedLoad_;
    if (then)
        waitingForLoad_.push_back(std::move(then));
    ++pendingJobs_;
    queue_->async([this, alive = life_.watch(), worker = worker_, generation, &loop = loop_] {
        GalleryScan scan = worker->scan();
        loop.post([this, alive, generation, scan = std::move(scan)]() mutable {
            if (!alive.alive())
                return;
            --pendingJobs_;
            applyScan(generation, std::move(scan));
        });
    });
}

void ReferenceGallery::applyScan(int64_t generation, GalleryScan scan) {
    ZARVO_DCHECK_ON(loop_);
    // An older load finishing after a newer one was asked for would show a stale list.
    if (generation != requestedLoad_)
        return;
    appliedLoad_ = generation;
    ++galleryRevision_;
    gallery_ = std::move(scan.entries);
    names_ = std::move(scan.names);
    selectedReference_ = defaults_.string("referencePath").value_or("");
    auto waiting = std::move(waitingForLoad_);
    waitingForLoad_.clear();
    changed();
    for (auto& then : waiting)
        then();
}

void ReferenceGallery::start() {
    ZARVO_DCHECK_ON(loop_);
    loadGallery([this] {
        const std::string selected = selectedReference_;
        if (selected.empty())
            return;
        if (entryForPath(selected)) {
            chooseReference(selected, false);
            return;
        }
        // An image chosen by an older version outside the gallery moves into it once. The names
        // file is left alone: the stored-name rule gives the display name.
        ++pendingJobs_;
        const int64_t generation = ++requestedLoad_;
        queue_->async([this, alive = life_.watch(), worker = worker_, generation, selected,
                       &loop = loop_] {
            std::optional<std::string> stored;
            if (auto inspected = inspectReference(selected, {}, *worker->codec))
                if (auto path =
                        storeReference(worker->paths.folder, fs::path(selected).filename().string(),
                                       inspected->bytes))
                    stored = path->string();
            GalleryScan scan = stored ? worker->scan() : worker->current();
            loop.post([this, alive, generation, stored, scan = std::move(scan)]() mutable {
                if (!alive.alive())
                    return;
                --pendingJobs_;
                applyScan(generation, std::move(scan));
                if (stored)
                    afterLoad([this, path = *stored] { chooseReference(path, false); });
            });
        });
    });
}

void ReferenceGallery::chooseReference(const std::string& path, bool localOnly) {
    ZARVO_DCHECK_ON(loop_);
    if (refusedWhileBusy())
        return;
    if (!entryForPath(path))
        return;
    const int64_t ticket = ++selectionTicket_;
    ++pendingJobs_;
    OwnerWatch alive = life_.watch();
    queue_->async([this, alive, worker = worker_, path, localOnly, ticket, &loop = loop_] {
        std::optional<std::string> data = readFile(path);
        // The same decode the gallery listing relies on: a file that no longer decodes is refused.
        if (data && !worker->codec->inspect(*data))
            data.reset();
        loop.post([this, alive, path, localOnly, ticket, data = std::move(data)]() mutable {
            if (!alive.alive())
                return;
            --pendingJobs_;
            // A newer choice overtook this one.
            if (ticket != selectionTicket_ || !data)
                return;
            applySelection(path, localOnly, std::move(*data));
        });
    });
}

void ReferenceGallery::applySelection(const std::string& path, bool localOnly, std::string data) {
    // The flags and the gallery may have changed while the file was read.
    if (refusedWhileBusy() || !entryForPath(path))
        return;
    if (host_.aiActive() && !localOnly) {
        host_.switchLive(std::move(data), host_.selectedMode(),
                         [this, alive = life_.watch(), path] {
                             if (alive.alive())
                                 chooseReference(path, true);
                         });
        return;
    }
    selectedReference_ = path;
    defaults_.set("referencePath", path);
    host_.showReference(data, referenceDisplayName(fs::path(path).filename().string(), names_));
    changed();
}

void ReferenceGallery::clearSelection() {
    ZARVO_DCHECK_ON(loop_);
    ++selectionTicket_;
    selectedReference_.clear();
    defaults_.remove("referencePath");
    host_.clearReference();
}

void ReferenceGallery::previewReference(const std::string& path) {
    if (!entryForPath(path))
        return;
    const std::string fileName = fs::path(path).filename().string();
    auto name = names_.find(fileName);
    ui_.showPreview(name != names_.end() ? name->second : "参考图预览", path);
}

void ReferenceGallery::importImages() {
    if (refusedWhileBusy()) {
        ui_.alert("Zarvo", kStopFirst);
        return;
    }
    auto files = ui_.chooseImages(!host_.aiActive());
    if (!files || files->empty())
        return;
    importFiles(std::move(*files));
}

void ReferenceGallery::importFiles(std::vector<fs::path> files) {
    ZARVO_DCHECK_ON(loop_);
    if (refusedWhileBusy()) {
        ui_.alert("Zarvo", kStopFirst);
        return;
    }
    if (files.empty())
        return;
    // A running session switches to one picture at a time.
    if (host_.aiActive())
        files.resize(1);
    const int64_t generation = ++requestedLoad_;
    ++pendingJobs_;
    queue_->async([this, alive = life_.watch(), worker = worker_, files = std::move(files),
                   generation, &loop = loop_] {
        worker->current();
        ImportResult result;
        result.generation = generation;
        bool stored = false;
        for (const auto& file : files) {
            const std::string sourceName = file.filename().string();
            auto inspected = inspectReference(file, {}, *worker->codec);
            if (!inspected) {
                result.failed.push_back(sourceName);
                continue;
            }
            if (auto existing = worker->pathWithHash(inspected->entry.sha)) {
                result.selections.push_back(*existing);
                continue;
            }
            auto path = storeReference(worker->paths.folder, sourceName, inspected->bytes);
            if (!path) {
                result.failed.push_back(sourceName);
                continue;
            }
            stored = true;
            worker->hashes.emplace_back(inspected->entry.sha, path->string());
            worker->names[path->filename().string()] = sourceName;
            Json names = Json::object();
            for (const auto& [key, value] : worker->names)
                names[key] = value;
            std::string text;
            try {
                text = names.dump();
            } catch (const Json::exception&) {
                text.clear();
            }
            if (text.empty() || !writeFileAtomically(worker->paths.namesFile, text)) {
                // The copied file stays; it is listed under its stored-name display name.
                result.failed.push_back(sourceName);
                continue;
            }
            result.selections.push_back(path->string());
        }
        result.scan = stored ? worker->scan() : worker->current();
        loop.post([this, alive, result = std::move(result)]() mutable {
            if (!alive.alive())
                return;
            --pendingJobs_;
            finishImport(std::move(result));
        });
    });
}

void ReferenceGallery::afterLoad(std::function<void()> then) {
    if (requestedLoad_ == appliedLoad_)
        then();
    else
        waitingForLoad_.push_back(std::move(then));
}

void ReferenceGallery::finishImport(ImportResult result) {
    ZARVO_DCHECK_ON(loop_);
    applyScan(result.generation, std::move(result.scan));
    if (!result.failed.empty()) {
        std::string text = kImportFailed;
        for (size_t i = 0; i < result.failed.size(); ++i)
            text += (i ? "\n" : "") + result.failed[i];
        ui_.alert("Zarvo", text);
    }
    // Each image is selected in turn; the last one stays selected.
    afterLoad([this, selections = std::move(result.selections)] {
        for (const auto& path : selections)
            chooseReference(path, false);
    });
}

bool ReferenceGallery::removeReference(const std::string& path) {
    ZARVO_DCHECK_ON(loop_);
    if (!host_.coreAlive() || host_.sessionBusy())
        return true;
    if (!entryForPath(path))
        return true;
    if (!ui_.confirm("删除此参考图？", "引用此图片的预设将需要重新选择参考图。", "删除", "取消"))
        return false;
    std::error_code error;
    fs::remove(path, error);
    if (error) {
        ui_.alert("Zarvo", "无法删除参考图，请重试");
        return false;
    }
    // The entry goes at once, so the push that follows no longer shows it; the reload confirms.
    std::erase_if(gallery_, [&](const GalleryEntry& entry) { return entry.path == path; });
    ++galleryRevision_;
    loadGallery();
    if (selectedReference_ == path)
        clearSelection();
    return true;
}

} // namespace zarvo
