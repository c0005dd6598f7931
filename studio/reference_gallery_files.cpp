#include "studio/reference_gallery_files.h"

#include "foundation/atomic_file.h"
#include "foundation/encoding.h"
#include "foundation/paths.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <system_error>

namespace zarvo {

namespace fs = std::filesystem;

GalleryPaths GalleryPaths::standard() {
    return {storageDirectory() / "references", storageDirectory() / "reference-names.json"};
}

Json GalleryEntry::toJson() const {
    return Json{{"sha", sha},     {"name", name},     {"path", path},  {"size", size},
                {"width", width}, {"height", height}, {"image", image}};
}

ThumbnailPlacement thumbnailPlacement(int pixelWidth, int pixelHeight) {
    if (pixelWidth <= 0 || pixelHeight <= 0)
        return {};
    const double scale =
        std::max(double(kThumbnailWidth) / pixelWidth, double(kThumbnailHeight) / pixelHeight);
    const double width = pixelWidth * scale;
    const double height = pixelHeight * scale;
    return {(kThumbnailWidth - width) * 0.5, (kThumbnailHeight - height) * 0.5, width, height};
}

ReferenceNames readReferenceNames(const fs::path& file) {
    ReferenceNames names;
    const auto text = readFile(file);
    if (!text)
        return names;
    const auto object = parseJsonObject(*text);
    if (!object)
        return names;
    for (const auto& [key, value] : object->items())
        if (value.is_string())
            names[key] = value.get<std::string>();
    return names;
}

std::string referenceDisplayName(const std::string& fileName, const ReferenceNames& names) {
    if (auto found = names.find(fileName); found != names.end())
        return found->second;
    const bool prefixed = fileName.size() >= 9 && fileName[8] == '-' &&
                          std::all_of(fileName.begin(), fileName.begin() + 8,
                                      [](unsigned char c) { return std::isxdigit(c) != 0; });
    return prefixed ? fileName.substr(9) : fileName;
}

std::string storedReferenceName(const std::string& sourceName) {
    return randomUuid().substr(0, 8) + "-" + sourceName;
}

std::optional<InspectedReference>
inspectReference(const fs::path& file, const ReferenceNames& names, GalleryImageCodec& codec) {
    std::error_code error;
    const auto size = fs::file_size(file, error);
    if (error || size > uint64_t(kMaxReferenceBytes))
        return std::nullopt;
    std::ifstream stream(file, std::ios::binary);
    if (!stream)
        return std::nullopt;
    std::string bytes;
    bytes.resize(size_t(size));
    stream.read(bytes.data(), std::streamsize(size));
    // A file that grew or shrank since its size was read is read as it is now, within the limit.
    bytes.resize(size_t(stream.gcount()));
    if (stream.bad())
        return std::nullopt;
    if (!stream.eof() && stream.peek() != std::char_traits<char>::eof())
        return std::nullopt;
    auto inspection = codec.inspect(bytes);
    if (!inspection)
        return std::nullopt;
    InspectedReference result;
    result.entry.sha = sha256Hex(bytes);
    result.entry.name = referenceDisplayName(file.filename().string(), names);
    result.entry.path = file.string();
    result.entry.size = int64_t(bytes.size());
    result.entry.width = inspection->width;
    result.entry.height = inspection->height;
    result.entry.image = kThumbnailPrefix + base64Encode(inspection->thumbnailJpeg);
    result.bytes = std::move(bytes);
    return result;
}

std::optional<GalleryEntry> galleryEntry(const fs::path& file, const ReferenceNames& names,
                                         GalleryImageCodec& codec) {
    auto inspected = inspectReference(file, names, codec);
    if (!inspected)
        return std::nullopt;
    return std::move(inspected->entry);
}

GalleryScan scanGallery(const GalleryPaths& paths, GalleryImageCodec& codec) {
    GalleryScan scan;
    std::error_code error;
    fs::create_directories(paths.folder, error);
    scan.names = readReferenceNames(paths.namesFile);
    std::vector<fs::path> files;
    fs::directory_iterator listing(paths.folder, error);
    if (error)
        return scan;
    for (const auto& item : listing) {
        std::error_code typeError;
        if (item.is_regular_file(typeError))
            files.push_back(item.path());
    }
    std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
        return a.filename().string() < b.filename().string();
    });
    for (const auto& file : files)
        if (auto entry = galleryEntry(file, scan.names, codec))
            scan.entries.push_back(std::move(*entry));
    return scan;
}

std::optional<fs::path> storeReference(const fs::path& folder, const std::string& sourceName,
                                       std::string_view bytes) {
    std::error_code error;
    fs::create_directories(folder, error);
    // A clash of random prefixes is unlikely, but an existing image must never be replaced.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const fs::path target = folder / storedReferenceName(sourceName);
        if (fs::exists(target, error))
            continue;
        if (writeFileAtomically(target, bytes))
            return target;
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace zarvo
