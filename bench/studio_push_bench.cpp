// One state push (build, serialise, hand to the web view) with a 200-image gallery that did not
// change since the last push, and a running session's projection. Target: under 1 ms a push.
#include "app/app.h"
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
    std::vector<std::string> cameraTitles() const override { return {"前置摄像头", "USB 摄像头"}; }
    int selectedCamera() const override { return 0; }
    int deviceCount() const override { return 2; }
    void selectCamera(int) override {}
    bool mirror() const override { return false; }
    void setMirror(bool) override {}
    void clearReferenceView() override {}
    std::optional<std::string> virtualCameraName() override { return std::nullopt; }
    void relaunch() override {}
    void terminate() override {}
};

void BM_StatePushGalleryUnchanged(benchmark::State& state) {
    auto folder = std::filesystem::temp_directory_path() / ("zarvo-push-bench-" + std::to_string(getpid()));
    VirtualLoop loop;
    UserDefaults defaults(folder / "defaults.json");
    App app(loop, defaults);
    app.usageSnapshot = Json{{"reserved_points", 60},        {"reserved_gift_points", 20},
                             {"estimated_consumed_points", 30}, {"session_running", true},
                             {"available_points", 100},      {"session_state", "RUNNING"},
                             {"session_id", "s-1"}};
    app.usageSyncedAt = loop.now();
    app.networkState = "online";
    CountingWebView web;
    QuietHost host;
    StudioSupport support;
    ExactInterface studio(app, web, host, support, folder / "index.html");
    for (int i = 0; i < 200; ++i)
        studio.gallery.push_back({{"path", "/home/user/.local/share/Zarvo/references/" +
                                               std::to_string(i) + ".jpg"},
                                  {"name", "参考图 " + std::to_string(i)},
                                  {"builtin", false}});
    for (int i = 0; i < 20; ++i)
        studio.presets.push_back({{"id", std::to_string(i)}, {"name", "预设"}, {"mode", i % 4}});
    ++studio.galleryRevision;
    studio.refresh(); // the one push that carries the gallery
    for (auto _ : state)
        studio.refresh();
    state.counters["bytes_per_push"] =
        benchmark::Counter(static_cast<double>(web.bytes) / static_cast<double>(state.iterations() + 1));
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_StatePushGalleryUnchanged)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
