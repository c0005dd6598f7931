// The reference gallery on disk: the folder of stored images, the display-names file, and the
// gallery entry built from one file (hash, size, pixel size, inline thumbnail). Everything here is
// plain file and image work without shared state, so it runs on the gallery's worker queue.
#pragma once

#include "foundation/json.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zarvo {

// Larger files are never listed or imported.
inline constexpr int64_t kMaxReferenceBytes = 20'971'520;
inline constexpr int kThumbnailWidth = 120;
inline constexpr int kThumbnailHeight = 80;
inline constexpr int kThumbnailQuality = 65;
inline constexpr const char* kThumbnailPrefix = "data:image/jpeg;base64,";

using ReferenceNames = std::map<std::string, std::string>;

struct GalleryPaths {
    std::filesystem::path folder;    // ".../Zarvo/references"
    std::filesystem::path namesFile; // ".../Zarvo/reference-names.json"
    // Under the user's storage folder.
    static GalleryPaths standard();
};

// One gallery image as the page receives it.
struct GalleryEntry {
    std::string sha;  // SHA-256 of the bytes, lower-case hex
    std::string name; // display name
    std::string path; // full path
    int64_t size = 0; // bytes
    int width = 0;    // pixel size of the bitmap
    int height = 0;
    std::string image; // "data:image/jpeg;base64,…" (just the prefix when no thumbnail was made)
    Json toJson() const;
    bool operator==(const GalleryEntry&) const = default;
};

// What the gallery needs from an image decoder. Called on the worker queue: must be thread-safe.
class GalleryImageCodec {
public:
    struct Inspection {
        int width = 0;
        int height = 0;
        std::string thumbnailJpeg; // empty when the thumbnail could not be made
    };
    virtual ~GalleryImageCodec() = default;
    // None when the bytes do not decode as a bitmap image.
    virtual std::optional<Inspection> inspect(std::string_view bytes) = 0;
};

// Where the aspect-filled picture lands on the 120 × 80 thumbnail canvas (may exceed it).
struct ThumbnailPlacement {
    double x = 0, y = 0, width = 0, height = 0;
};
ThumbnailPlacement thumbnailPlacement(int pixelWidth, int pixelHeight);

// The names file's map; a missing, unreadable or malformed file gives an empty map, and members
// whose value is not a string are left out.
ReferenceNames readReferenceNames(const std::filesystem::path& file);
// Display name: the names file's entry, else the name without an "XXXXXXXX-" prefix of 8 hex
// digits, else the file name itself.
std::string referenceDisplayName(const std::string& fileName, const ReferenceNames& names);
// The stored name of an imported file: 8 upper-case hex digits of a new UUID, "-", source name.
std::string storedReferenceName(const std::string& sourceName);

// A file's entry with its bytes (the bytes are what gets copied on import, so the stored file is
// exactly what was hashed).
struct InspectedReference {
    GalleryEntry entry;
    std::string bytes;
};
std::optional<InspectedReference> inspectReference(const std::filesystem::path& file,
                                                   const ReferenceNames& names,
                                                   GalleryImageCodec& codec);
std::optional<GalleryEntry> galleryEntry(const std::filesystem::path& file,
                                         const ReferenceNames& names, GalleryImageCodec& codec);

// One full read of the gallery: creates the folder, re-reads the names, lists the regular files
// in plain byte order of their names and re-hashes every one.
struct GalleryScan {
    ReferenceNames names;
    std::vector<GalleryEntry> entries;
};
GalleryScan scanGallery(const GalleryPaths& paths, GalleryImageCodec& codec);

// Writes `bytes` into the folder under a new stored name for `sourceName`, never over an existing
// file and never leaving a partial file; the new path, or none.
std::optional<std::filesystem::path> storeReference(const std::filesystem::path& folder,
                                                    const std::string& sourceName,
                                                    std::string_view bytes);

} // namespace zarvo
