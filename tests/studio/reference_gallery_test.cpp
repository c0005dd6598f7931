#include "studio/gdk_gallery_codec.h"
#include "studio/reference_gallery.h"

#include "foundation/atomic_file.h"
#include "foundation/encoding.h"
#include "foundation/virtual_loop.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <regex>

namespace zarvo {
namespace {

namespace fs = std::filesystem;

// Anything starting with "IMG" is a 30 × 20 picture; the thumbnail is a fixed marker.
struct FakeCodec : GalleryImageCodec {
    std::optional<Inspection> inspect(std::string_view bytes) override {
        if (bytes.substr(0, 3) != "IMG")
            return std::nullopt;
        return Inspection{30, 20, "thumb"};
    }
};

struct FakeGalleryHost : GalleryHost {
    bool active = false, busy = false, stopping = false;
    std::vector<std::pair<std::string, std::function<void()>>> switches; // data, done
    std::optional<std::string> shownData;
    std::string shownName;
    int cleared = 0;
    bool aiActive() const override { return active; }
    bool aiBusy() const override { return busy; }
    bool aiStopping() const override { return stopping; }
    int selectedMode() const override { return 2; }
    void switchLive(std::string data, int mode, std::function<void()> done) override {
        EXPECT_EQ(mode, 2);
        switches.emplace_back(std::move(data), std::move(done));
    }
    void showReference(const std::string& data, const std::string& name) override {
        shownData = data;
        shownName = name;
    }
    void clearReference() override {
        ++cleared;
        shownData.reset();
    }
    void galleryChanged() override {}
};

struct FakeGalleryUI : GalleryUI {
    std::vector<std::string> alerts;
    std::vector<bool> chooserMultiple;
    std::vector<fs::path> chosen;
    bool confirmAnswer = true;
    void alert(const std::string&, const std::string& informative) override {
        alerts.push_back(informative);
    }
    bool confirm(const std::string&, const std::string&, const std::string&,
                 const std::string&) override {
        return confirmAnswer;
    }
    std::optional<std::vector<fs::path>> chooseImages(bool multiple) override {
        chooserMultiple.push_back(multiple);
        return chosen;
    }
    bool showPreview(const std::string&, const fs::path&) override { return true; }
};

struct GalleryFixture : ::testing::Test {
    fs::path root = fs::temp_directory_path() /
                    ("zarvo-gallery-" + std::to_string(::getpid()) + "-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    GalleryPaths paths{root / "Zarvo" / "references", root / "Zarvo" / "reference-names.json"};
    VirtualLoop loop;
    UserDefaults defaults{root / "defaults.json"};
    FakeGalleryHost host;
    FakeGalleryUI ui;
    std::unique_ptr<ReferenceGallery> gallery;

    void SetUp() override {
        fs::remove_all(root);
        fs::create_directories(root / "outside");
        gallery = std::make_unique<ReferenceGallery>(loop, defaults, host, ui,
                                                     std::make_shared<FakeCodec>(), paths);
    }
    void TearDown() override {
        gallery.reset();
        fs::remove_all(root);
    }
    void settle() {
        ASSERT_TRUE(loop.runUntil([&] { return !gallery->working(); }, std::chrono::seconds(60)));
        loop.runUntilIdle();
    }
    fs::path put(const fs::path& file, const std::string& bytes) {
        EXPECT_TRUE(writeFileAtomically(file, bytes));
        return file;
    }
    std::vector<std::string> names() const {
        std::vector<std::string> result;
        for (const auto& entry : gallery->gallery())
            result.push_back(entry.name);
        return result;
    }
    size_t storedFiles() const {
        size_t count = 0;
        for ([[maybe_unused]] const auto& item : fs::directory_iterator(paths.folder))
            ++count;
        return count;
    }
};

TEST_F(GalleryFixture, ListingKeepsPlainNameOrderDisplayNamesAndTheTwentyMegabyteEdge) {
    put(paths.folder / "a.png", "IMG a");
    put(paths.folder / "B.png", "IMG B");
    put(paths.folder / "photo.jpg", "IMG photo");
    put(paths.folder / "12345678-photo.jpg", "IMG prefixed");
    put(paths.folder / "notes.txt", "not a picture");
    std::string edge = "IMG";
    edge.resize(size_t(kMaxReferenceBytes), 'x');
    put(paths.folder / "edge.png", edge);
    put(paths.folder / "over.png", edge + "x");
    put(paths.namesFile, "[\"not an object\"]");

    gallery->loadGallery();
    gallery->loadGallery(); // the first result is stale by the time it arrives
    settle();
    EXPECT_EQ(gallery->galleryRevision(), 1);
    EXPECT_EQ(names(),
              (std::vector<std::string>{"photo.jpg", "B.png", "a.png", "edge.png", "photo.jpg"}));
    const GalleryEntry& edgeEntry = gallery->gallery()[3];
    EXPECT_EQ(edgeEntry.size, kMaxReferenceBytes);
    EXPECT_EQ(edgeEntry.sha, sha256Hex(edge));
    EXPECT_EQ(edgeEntry.image, std::string(kThumbnailPrefix) + base64Encode("thumb"));
    EXPECT_EQ(gallery->galleryJson()[1]["path"], (paths.folder / "B.png").string());
}

TEST_F(GalleryFixture, ImportStoresEachPictureOnceAndKeepsNamesWithoutTheNamesFile) {
    const fs::path a = put(root / "outside" / "a.png", "IMG same bytes");
    const fs::path copy = put(root / "outside" / "copy.png", "IMG same bytes");
    const fs::path broken = put(root / "outside" / "broken.png", "garbage");
    gallery->loadGallery();
    settle();

    ui.chosen = {a, broken, copy};
    gallery->importImages();
    settle();
    EXPECT_EQ(ui.chooserMultiple, std::vector<bool>{true});
    EXPECT_EQ(ui.alerts, std::vector<std::string>{
                             "以下图片无法导入（需有效图片且不超过 20 MB）：\nbroken.png"});
    ASSERT_EQ(gallery->gallery().size(), 1u);
    EXPECT_EQ(storedFiles(), 1u);
    const GalleryEntry stored = gallery->gallery()[0];
    EXPECT_TRUE(std::regex_match(fs::path(stored.path).filename().string(),
                                 std::regex("[0-9A-F]{8}-a\\.png")));
    EXPECT_EQ(stored.name, "a.png");
    EXPECT_EQ(gallery->selectedReference(), stored.path);
    EXPECT_EQ(defaults.string("referencePath"), stored.path);
    EXPECT_EQ(host.shownData, "IMG same bytes");
    EXPECT_EQ(host.shownName, "a.png");

    // The same picture again, by drag and drop under another name: only selected.
    gallery->importFiles({copy});
    settle();
    EXPECT_EQ(storedFiles(), 1u);
    EXPECT_EQ(gallery->selectedReference(), stored.path);

    fs::remove(paths.namesFile);
    gallery->loadGallery();
    settle();
    EXPECT_EQ(names(), std::vector<std::string>{"a.png"});
}

TEST_F(GalleryFixture, SelectionDuringASessionWaitsForTheLiveSwitch) {
    const fs::path first = put(paths.folder / "1.png", "IMG one");
    const fs::path second = put(paths.folder / "2.png", "IMG two");
    defaults.set("referencePath", first.string());
    gallery->start();
    settle();
    EXPECT_EQ(gallery->selectedReference(), first.string());

    host.active = true;
    gallery->chooseReference(second.string(), false);
    settle();
    ASSERT_EQ(host.switches.size(), 1u);
    EXPECT_EQ(host.switches[0].first, "IMG two");
    // The switch fails: its completion never runs, nothing changed.
    EXPECT_EQ(gallery->selectedReference(), first.string());
    EXPECT_EQ(defaults.string("referencePath"), first.string());
    EXPECT_EQ(host.shownData, "IMG one");

    gallery->chooseReference(second.string(), false);
    settle();
    ASSERT_EQ(host.switches.size(), 2u);
    host.switches[1].second(); // accepted
    settle();
    EXPECT_EQ(gallery->selectedReference(), second.string());
    EXPECT_EQ(defaults.string("referencePath"), second.string());

    // A running session imports one picture at a time; starting or stopping refuses.
    ui.chosen = {};
    gallery->importImages();
    EXPECT_EQ(ui.chooserMultiple, std::vector<bool>{false});
    host.stopping = true;
    gallery->importImages();
    gallery->chooseReference(first.string(), false);
    settle();
    EXPECT_EQ(ui.alerts, std::vector<std::string>{"请先停止 AI，再修改参考图片"});
    EXPECT_EQ(host.switches.size(), 2u);
    EXPECT_EQ(gallery->selectedReference(), second.string());
}

TEST_F(GalleryFixture, StartUpCarriesAnOutsideSelectionIntoTheGalleryOnce) {
    const fs::path old = put(root / "outside" / "old.png", "IMG old");
    defaults.set("referencePath", old.string());
    gallery->start();
    settle();
    ASSERT_EQ(gallery->gallery().size(), 1u);
    const GalleryEntry carried = gallery->gallery()[0];
    EXPECT_EQ(carried.name, "old.png");
    EXPECT_NE(carried.path, old.string());
    EXPECT_EQ(gallery->selectedReference(), carried.path);
    EXPECT_EQ(defaults.string("referencePath"), carried.path);
    EXPECT_TRUE(fs::exists(old));
    EXPECT_FALSE(fs::exists(paths.namesFile));

    ReferenceGallery again(loop, defaults, host, ui, std::make_shared<FakeCodec>(), paths);
    again.start();
    ASSERT_TRUE(loop.runUntil([&] { return !again.working(); }, std::chrono::seconds(60)));
    EXPECT_EQ(again.gallery().size(), 1u);
}

TEST_F(GalleryFixture, RemovingTheSelectedImageClearsTheSelection) {
    const fs::path kept = put(paths.folder / "k.png", "IMG k");
    const fs::path doomed = put(paths.folder / "d.png", "IMG d");
    defaults.set("referencePath", doomed.string());
    gallery->start();
    settle();
    EXPECT_TRUE(gallery->removeReference((root / "outside" / "x.png").string()));

    ui.confirmAnswer = false;
    EXPECT_FALSE(gallery->removeReference(doomed.string()));
    EXPECT_TRUE(fs::exists(doomed));

    ui.confirmAnswer = true;
    EXPECT_TRUE(gallery->removeReference(doomed.string()));
    EXPECT_FALSE(fs::exists(doomed));
    EXPECT_EQ(gallery->selectedReference(), "");
    EXPECT_FALSE(defaults.string("referencePath"));
    EXPECT_EQ(host.cleared, 1);
    settle();
    EXPECT_EQ(names(), std::vector<std::string>{"k.png"});
    EXPECT_TRUE(fs::exists(kept));
}

std::string pngOfBands(int width, int height, int firstEnd, int secondEnd) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            guchar* p = pixels + y * stride + x * 3;
            p[0] = x < firstEnd ? 255 : 0;                   // red on the left
            p[1] = x >= firstEnd && x < secondEnd ? 255 : 0; // green in the middle
            p[2] = x >= secondEnd ? 255 : 0;                 // blue on the right
        }
    gchar* buffer = nullptr;
    gsize size = 0;
    gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "png", nullptr, nullptr);
    std::string bytes(buffer, size);
    g_free(buffer);
    g_object_unref(pixbuf);
    return bytes;
}

TEST(GalleryThumbnail, AWidePictureIsAspectFilledAndCroppedLeftAndRight) {
    const ThumbnailPlacement placement = thumbnailPlacement(4000, 1000);
    EXPECT_DOUBLE_EQ(placement.x, -100);
    EXPECT_DOUBLE_EQ(placement.width, 320);
    EXPECT_DOUBLE_EQ(placement.height, 80);

    // Only the middle band (source x 1250 to 2750 of 4000) is on the canvas.
    GdkGalleryCodec codec;
    auto inspection = codec.inspect(pngOfBands(4000, 1000, 1250, 2750));
    ASSERT_TRUE(inspection);
    EXPECT_EQ(inspection->width, 4000);
    EXPECT_EQ(inspection->height, 1000);
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
    ASSERT_TRUE(gdk_pixbuf_loader_write(
        loader, reinterpret_cast<const guchar*>(inspection->thumbnailJpeg.data()),
        inspection->thumbnailJpeg.size(), nullptr));
    ASSERT_TRUE(gdk_pixbuf_loader_close(loader, nullptr));
    GdkPixbuf* thumbnail = gdk_pixbuf_loader_get_pixbuf(loader);
    ASSERT_EQ(gdk_pixbuf_get_width(thumbnail), kThumbnailWidth);
    ASSERT_EQ(gdk_pixbuf_get_height(thumbnail), kThumbnailHeight);
    const int stride = gdk_pixbuf_get_rowstride(thumbnail);
    const int channels = gdk_pixbuf_get_n_channels(thumbnail);
    const guchar* pixels = gdk_pixbuf_get_pixels(thumbnail);
    for (int x : {6, 60, 113}) {
        const guchar* p = pixels + 40 * stride + x * channels;
        EXPECT_LT(p[0], 60) << x;
        EXPECT_GT(p[1], 190) << x;
        EXPECT_LT(p[2], 60) << x;
    }
    g_object_unref(loader);

    EXPECT_FALSE(codec.inspect("\x89PNG\r\n\x1a\n truncated"));
}

} // namespace
} // namespace zarvo
