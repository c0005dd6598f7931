// A full gallery reload (read, SHA-256 and thumbnail of every file) of many large photos, and how
// long the main loop stalls meanwhile. The reload runs on the gallery's worker; the main loop
// keeps a 5 ms heartbeat whose longest gap is the worst freeze a user would see. For comparison
// the same scan is also timed as one blocking call, which is what the window would otherwise
// freeze for. Usage: gallery_reload_bench [files=200] [width=4000] [height=3000]
#include "foundation/atomic_file.h"
#include "foundation/glib_loop.h"
#include "studio/gdk_gallery_codec.h"
#include "studio/reference_gallery.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct QuietHost : zarvo::GalleryHost {
    bool aiActive() const override { return false; }
    bool aiBusy() const override { return false; }
    bool aiStopping() const override { return false; }
    int selectedMode() const override { return 0; }
    void switchLive(std::string, int, std::function<void()>) override {}
    void showReference(const std::string&, const std::string&) override {}
    void clearReference() override {}
    void galleryChanged() override {}
};

struct QuietUI : zarvo::GalleryUI {
    void alert(const std::string&, const std::string&) override {}
    bool confirm(const std::string&, const std::string&, const std::string&,
                 const std::string&) override {
        return false;
    }
    std::optional<std::vector<fs::path>> chooseImages(bool) override { return std::nullopt; }
    bool showPreview(const std::string&, const fs::path&) override { return false; }
};

// A photo-like JPEG: smooth gradients with fine noise, so it compresses like a camera picture.
std::string photo(int width, int height) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
    uint32_t noise = 12345;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            noise = noise * 1664525u + 1013904223u;
            guchar* p = pixels + size_t(y) * stride + size_t(x) * 3;
            p[0] = guchar((x * 255 / width + (noise >> 28)) & 0xFF);
            p[1] = guchar((y * 255 / height + (noise >> 24 & 0xF)) & 0xFF);
            p[2] = guchar(((x + y) * 127 / (width + height) + (noise >> 20 & 0xF)) & 0xFF);
        }
    gchar* buffer = nullptr;
    gsize size = 0;
    gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "jpeg", nullptr, "quality", "92", nullptr);
    std::string bytes(buffer, size);
    g_free(buffer);
    g_object_unref(pixbuf);
    return bytes;
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? std::atoi(argv[1]) : 200;
    const int width = argc > 2 ? std::atoi(argv[2]) : 4000;
    const int height = argc > 3 ? std::atoi(argv[3]) : 3000;
    const fs::path root =
        fs::temp_directory_path() / ("zarvo-gallery-bench-" + std::to_string(getpid()));
    zarvo::GalleryPaths paths{root / "references", root / "reference-names.json"};
    fs::create_directories(paths.folder);

    const std::string base = photo(width, height);
    for (int i = 0; i < files; ++i) {
        // Bytes after the end-of-image marker make each file distinct without changing the picture.
        char name[32];
        std::snprintf(name, sizeof name, "%04d-photo.jpg", i);
        if (!zarvo::writeFileAtomically(paths.folder / name, base + "zarvo" + std::to_string(i)))
            return 1;
    }
    std::printf("gallery: %d photos of %d x %d, %.1f MB each\n", files, width, height,
                base.size() / 1048576.0);

    auto codec = std::make_shared<zarvo::GdkGalleryCodec>();
    {
        const auto start = Clock::now();
        const auto scan = zarvo::scanGallery(paths, *codec);
        std::printf("blocking scan (the freeze without the worker): %.0f ms for %zu entries\n",
                    ms(Clock::now() - start), scan.entries.size());
    }

    zarvo::GLibLoop loop;
    zarvo::UserDefaults defaults(root / "defaults.json");
    QuietHost host;
    QuietUI ui;
    zarvo::ReferenceGallery gallery(loop, defaults, host, ui, codec, paths);
    Clock::time_point last = Clock::now();
    Clock::duration longest{0};
    auto heartbeat = loop.repeating(std::chrono::milliseconds(5), [&] {
        const auto now = Clock::now();
        longest = std::max(longest, now - last);
        last = now;
    });
    const auto start = Clock::now();
    bool applied = false;
    gallery.loadGallery([&] { applied = true; });
    last = Clock::now();
    loop.runUntil([&] { return applied; }, std::chrono::minutes(30));
    const auto total = Clock::now() - start;
    std::printf("reload on the worker: %.0f ms for %zu entries (%.1f ms a photo)\n", ms(total),
                gallery.gallery().size(), ms(total) / std::max(1, files));
    std::printf("longest main-loop stall during the reload: %.1f ms\n", ms(longest));
    fs::remove_all(root);
    return applied ? 0 : 1;
}
