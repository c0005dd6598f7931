// One state push (build, serialise, hand to the web view) with a 200-image gallery that did not
// change since the last push, and a running session's projection. Target: under 1 ms a push.
#include "../tests/app/fake_hosts.h"
#include "app/app.h"
#include "foundation/atomic_file.h"
#include "foundation/virtual_loop.h"
#include "studio/exact_interface.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <unistd.h>

using namespace zarvo;

namespace {

class CountingWebView final : public StudioWebView {
public:
    void addDocumentStartScript(const std::string&) override {}
    void loadFile(const std::filesystem::path&, const std::filesystem::path&) override {}
    void evaluate(const std::string& script, Evaluated) override { bytes += script.size(); }
    void snapshotPNG(const std::filesystem::path&, std::function<void(bool)> done) override {
        done(false);
    }
    size_t bytes = 0;
};

class QuietHost final : public StudioHost {
public:
    void placeVideo(const VideoFrame&) override {}
    void setVideoVisible(bool) override {}
    void showLocalPreview() override {}
    void showAIOutput() override {}
    void enlargeOutput() override {}
    void setDarkAppearance(bool) override {}
    void alert(const std::string&, const std::string&) override {}
    bool confirm(const std::string&, const std::string&, const std::string&,
                 const std::string&) override {
        return false;
    }
    void clearReferenceView() override {}
    std::optional<std::string> virtualCameraName() override { return std::nullopt; }
    void relaunch() override {}
    void terminate() override {}
};

// Every file is a 640 × 480 picture with a small thumbnail.
class PlainCodec final : public GalleryImageCodec {
public:
    std::optional<Inspection> inspect(std::string_view) override {
        return Inspection{640, 480, std::string(6000, 'j')};
    }
};

class NoDialogs final : public GalleryUI, public PresetUI {
public:
    void alert(const std::string&, const std::string&) override {}
    bool confirm(const std::string&, const std::string&, const std::string&,
                 const std::string&) override {
        return false;
    }
    std::optional<std::string> askPresetName() override { return std::nullopt; }
    std::optional<std::vector<std::filesystem::path>> chooseImages(bool) override {
        return std::nullopt;
    }
    bool showPreview(const std::string&, const std::filesystem::path&) override { return false; }
};

class TwoCameras final : public CameraDeviceSource {
public:
    void start(std::function<void()>) override {}
    std::vector<CameraDevice> devices() override {
        CameraDevice front, usb;
        front.uniqueID = "front";
        front.localizedName = "前置摄像头";
        usb.uniqueID = "usb";
        usb.localizedName = "USB 摄像头";
        return {front, usb};
    }
};

class NoCapture final : public PreviewCapture {
public:
    bool accessGranted(const CameraDevice&) override { return true; }
    Status<> run(const CameraDevice&) override { return Ok{}; }
    void stop() override {}
    void setMirrored(bool) override {}
};

void BM_StatePushGalleryUnchanged(benchmark::State& state) {
    auto folder =
        std::filesystem::temp_directory_path() / ("zarvo-push-bench-" + std::to_string(getpid()));
    VirtualLoop loop;
    UserDefaults defaults(folder / "defaults.json");
    zarvo::testing::FakeHosts hosts;
    App app(loop, defaults, hosts.hosts());
    app.usageSnapshot = Json{
        {"reserved_points", 60},   {"reserved_gift_points", 20}, {"estimated_consumed_points", 30},
        {"session_running", true}, {"available_points", 100},    {"session_state", "RUNNING"},
        {"session_id", "s-1"}};
    app.usageSyncedAt = loop.now();
    app.networkState = "online";
    CountingWebView web;
    QuietHost host;
    StudioSupport support;
    NoDialogs dialogs;
    GalleryPaths paths{folder / "references", folder / "reference-names.json"};
    std::filesystem::create_directories(paths.folder);
    for (int i = 0; i < 200; ++i)
        (void)writeFileAtomically(paths.folder / (std::to_string(i) + ".jpg"),
                                  "picture " + std::to_string(i));
    Json presets = Json::array();
    for (int i = 0; i < 20; ++i)
        presets.push_back({{"id", std::to_string(i)}, {"name", "预设"}, {"mode", i % 4}});
    (void)writeFileAtomically(folder / "presets.json", presets.dump());
    StudioParts parts;
    parts.galleryUI = &dialogs;
    parts.presetUI = &dialogs;
    parts.codec = std::make_shared<PlainCodec>();
    parts.galleryPaths = paths;
    parts.presetsFile = folder / "presets.json";
    parts.cameras = std::make_shared<TwoCameras>();
    parts.capture = std::make_shared<NoCapture>();
    ExactInterface studio(app, web, host, support, folder / "index.html", parts);
    loop.runUntil(
        [&] { return !studio.gallery().working() && !studio.cameras().devices().empty(); },
        std::chrono::seconds(120));
    studio.refresh(); // the one push that carries the gallery
    for (auto _ : state)
        studio.refresh();
    state.counters["bytes_per_push"] = benchmark::Counter(
        static_cast<double>(web.bytes) / static_cast<double>(state.iterations() + 1));
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_StatePushGalleryUnchanged)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
