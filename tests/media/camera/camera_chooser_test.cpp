#include "media/camera/camera_chooser.h"
#include "media/camera/camera_preview_gst.h"

#include "foundation/atomic_file.h"
#include "foundation/virtual_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <thread>

namespace zarvo {
namespace {

namespace fs = std::filesystem;

CameraDevice camera(std::string id, std::string name = {}) {
    CameraDevice device;
    device.uniqueID = id;
    device.localizedName = name.empty() ? "Camera " + id : name;
    return device;
}

struct FakeSource : CameraDeviceSource {
    std::mutex mutex;
    std::vector<CameraDevice> present;
    std::function<void()> changed;
    void start(std::function<void()> callback) override { changed = std::move(callback); }
    std::vector<CameraDevice> devices() override {
        std::lock_guard lock(mutex);
        return present;
    }
    void set(std::vector<CameraDevice> devices) {
        {
            std::lock_guard lock(mutex);
            present = std::move(devices);
        }
        if (changed)
            changed(); // as the monitor does, from its own thread
    }
};

struct FakeCapture : PreviewCapture {
    std::atomic<bool> granted{true};
    std::atomic<int> failWith{0};
    std::atomic<bool> runningNow{false};
    std::atomic<int> runs{0};
    std::atomic<bool> mirrored{false};
    bool accessGranted(const CameraDevice&) override { return granted; }
    Status<> run(const CameraDevice&) override {
        ++runs;
        if (failWith)
            return unexpected(Error{"设备忙", failWith});
        runningNow = true;
        return Ok{};
    }
    void stop() override { runningNow = false; }
    void setMirrored(bool on) override { mirrored = on; }
};

struct FakeCore : PreviewHost, CameraChooserHost {
    bool active = false, busy = false, stopping = false;
    std::string status;
    std::vector<std::string> stops;
    int cleared = 0;
    int menuChanges = 0;
    bool placeholder = true;
    bool aiActive() const override { return active; }
    bool aiBusy() const override { return busy; }
    bool aiStopping() const override { return stopping; }
    void setStatus(const std::string& text) override { status = text; }
    void showPreview() override {}
    void setPlaceholderVisible(bool visible) override { placeholder = visible; }
    void stopAI(const std::string& reason) override { stops.push_back(reason); }
    void clearLiveFrames() override { ++cleared; }
    void menuChanged() override { ++menuChanges; }
};

struct ChooserFixture : ::testing::Test {
    fs::path folder = fs::temp_directory_path() /
                      ("zarvo-chooser-" + std::to_string(::getpid()) + "-" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    VirtualLoop loop;
    UserDefaults defaults{folder / "defaults.json"};
    SerialQueue queue{"camera.capture"};
    FakeCore core;
    std::shared_ptr<FakeSource> source = std::make_shared<FakeSource>();
    std::shared_ptr<FakeCapture> capture = std::make_shared<FakeCapture>();
    std::unique_ptr<CameraPreview> preview;
    std::unique_ptr<CameraChooser> chooser;

    void SetUp() override { fs::remove_all(folder); }
    void TearDown() override {
        chooser.reset();
        preview.reset();
        queue.sync([] {});
        fs::remove_all(folder);
    }
    void make() {
        preview = std::make_unique<CameraPreview>(loop, defaults, core, queue, capture);
        chooser = std::make_unique<CameraChooser>(loop, defaults, core, *preview, source, queue);
    }
    // Lets the camera queue and the loop trade results until both are quiet.
    void settle() {
        for (int i = 0; i < 6; ++i) {
            queue.sync([] {});
            loop.runUntilIdle();
        }
    }
    void plug(std::vector<CameraDevice> devices) {
        source->set(std::move(devices));
        settle();
    }
};

TEST_F(ChooserFixture, FillingTheChooserKeepsTheStoredChoiceAndNeverOffersOutputs) {
    defaults.set("cameraID", "cam-b");
    CameraDevice loopback = camera("v4l2:platform:v4l2loopback-000", "Dummy video device");
    loopback.notACamera = true;
    source->set({camera("cam-a"), loopback, camera("B9E1C0F2-6A2E-4B7D-9C3A-2F1E7D4A5C6B")});
    make();
    chooser->observeCameraDevices();
    settle();
    // The saved camera is absent on this launch: the first one is shown, nothing is stored.
    EXPECT_EQ(chooser->menuItems, std::vector<std::string>{"Camera cam-a"});
    EXPECT_EQ(chooser->selectedCameraID(), "cam-a");
    EXPECT_EQ(defaults.string("cameraID"), "cam-b");
    EXPECT_EQ(core.status, "");

    // The same devices again: nothing is touched.
    const int changes = core.menuChanges;
    loop.advance(std::chrono::seconds(2));
    settle();
    EXPECT_EQ(core.menuChanges, changes);

    // The saved camera arrives; the current selection stays, the new one is announced.
    plug({camera("cam-a"), camera("cam-b")});
    EXPECT_EQ(chooser->selectedCameraID(), "cam-a");
    EXPECT_EQ(core.status, "已检测到新摄像头，设备列表已自动更新");
    EXPECT_EQ(chooser->devicesSnapshot().size(), 2u);

    // Only the user's pick is stored.
    chooser->chooseIndex(1);
    EXPECT_EQ(defaults.string("cameraID"), "cam-b");
    chooser->chooseIndex(2);
    chooser->chooseIndex(-1);
    EXPECT_EQ(chooser->selectedCameraID(), "cam-b");

    plug({});
    EXPECT_EQ(chooser->menuItems, std::vector<std::string>{CameraChooser::kNoCameraItem});
    EXPECT_FALSE(chooser->menuEnabled);
    EXPECT_EQ(core.status, "未检测到摄像头，接入设备后会自动更新");
}

TEST_F(ChooserFixture, APreviewedCameraThatIsUnpluggedResumesWhenItComesBack) {
    source->set({camera("cam-a"), camera("cam-b")});
    make();
    chooser->observeCameraDevices();
    settle();
    preview->startPreview();
    settle();
    EXPECT_TRUE(capture->runningNow);
    EXPECT_EQ(core.status, "免费本地预览中 · 未开启 AI 编辑 · 不消耗积分");

    plug({camera("cam-b")});
    EXPECT_FALSE(capture->runningNow);
    EXPECT_EQ(core.status, "所选摄像头已断开，请选择设备并开启预览");
    EXPECT_EQ(preview->previewReconnectID, "cam-a");
    EXPECT_EQ(chooser->selectedCameraID(), "cam-b");
    EXPECT_TRUE(core.stops.empty());

    plug({camera("cam-b"), camera("cam-a")});
    EXPECT_EQ(chooser->selectedCameraID(), "cam-a");
    EXPECT_FALSE(preview->previewReconnectID);
    EXPECT_TRUE(capture->runningNow);
    EXPECT_EQ(core.status, "免费本地预览中 · 未开启 AI 编辑 · 不消耗积分");
}

TEST_F(ChooserFixture, TheCameraInUseVanishingDuringAIStopsTheSessionAndChangesAreRefused) {
    source->set({camera("cam-a"), camera("cam-b")});
    make();
    chooser->observeCameraDevices();
    settle();
    core.active = true;
    core.status = "AI 运行中";
    chooser->chooseIndex(1);
    const int redraws = core.menuChanges;
    chooser->userPicked(1); // the native chooser: refused and shown back on the camera in use
    EXPECT_EQ(core.menuChanges, redraws + 1);
    EXPECT_EQ(chooser->selectedCameraID(), "cam-a");
    EXPECT_EQ(core.status, "请先停止 AI 再切换摄像头");
    EXPECT_FALSE(defaults.string("cameraID"));

    core.status = "AI 运行中";
    const int cleared = core.cleared;
    plug({camera("cam-b")});
    EXPECT_EQ(core.stops, std::vector<std::string>{"正在使用的摄像头已断开"});
    EXPECT_EQ(core.cleared, cleared + 1);
    EXPECT_FALSE(preview->previewReconnectID);
    // Busy: only the stop speaks; the stop of the preview said its piece first.
    EXPECT_EQ(core.status, "预览已停止");

    // Idle, preview not wanted: the selection moves on and the user is told.
    core.active = false;
    plug({camera("cam-c")});
    EXPECT_EQ(core.stops.size(), 1u);
    EXPECT_EQ(core.status, "所选摄像头已断开，请选择设备并开启预览");
    EXPECT_FALSE(preview->previewReconnectID);
}

TEST_F(ChooserFixture, LateConfigureResultsAreDroppedAndFailuresAreExplained) {
    source->set({camera("cam-a")});
    make();
    chooser->observeCameraDevices();
    settle();

    preview->previewWanted = true;
    preview->configureCamera();
    preview->stopPreview();
    settle();
    EXPECT_EQ(core.status, "预览已停止");
    EXPECT_FALSE(capture->runningNow);
    EXPECT_TRUE(core.placeholder);

    capture->granted = false;
    preview->startPreview();
    settle();
    EXPECT_EQ(core.status, CameraPreview::kAccessRefused);
    EXPECT_FALSE(capture->runningNow);

    capture->granted = true;
    capture->failWith = PreviewCapture::kInputNotCreated;
    preview->startPreview();
    settle();
    EXPECT_EQ(core.status, "摄像头打开失败：设备忙");
    capture->failWith = PreviewCapture::kInputNotAdded;
    preview->configureCamera();
    settle();
    EXPECT_EQ(core.status, "无法使用所选摄像头，请选择其他设备");

    core.busy = true;
    preview->startPreview();
    EXPECT_EQ(core.status, "AI 运行时已显示实时输入画面，无需重复打开摄像头");

    preview->setMirror(true);
    EXPECT_TRUE(capture->mirrored);
    EXPECT_EQ(defaults.boolean("mirrorPreview"), true);
}

TEST(DemoCameras, TwoStableCamerasThatCanBeUnpluggedInProcessAndThroughTheStateFile) {
    const fs::path state =
        fs::temp_directory_path() / ("zarvo-demo-state-" + std::to_string(::getpid()));
    fs::remove(state);
    DemoCameraDeviceSource source(2, state);
    std::atomic<int> changes{0};
    source.start([&] { ++changes; });
    auto ids = [&] {
        std::vector<std::string> result;
        for (const auto& device : source.devices())
            result.push_back(device.uniqueID);
        return result;
    };
    EXPECT_EQ(ids(), (std::vector<std::string>{"zarvo-demo-camera", "zarvo-demo-camera-2"}));
    source.setPlugged("zarvo-demo-camera", false);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(ids(), std::vector<std::string>{"zarvo-demo-camera-2"});
    source.setPlugged("zarvo-demo-camera", true);
    ASSERT_TRUE(writeFileAtomically(state, "zarvo-demo-camera-2\n"));
    EXPECT_EQ(ids(), std::vector<std::string>{"zarvo-demo-camera"});
    fs::remove(state);
    EXPECT_EQ(ids().size(), 2u);

    setenv("ZARVO_DEMO_CAMERA", "2", 1);
    EXPECT_EQ(demoCameraCount(), 2);
    setenv("ZARVO_DEMO_CAMERA", "yes", 1);
    EXPECT_EQ(demoCameraCount(), 0);
    unsetenv("ZARVO_DEMO_CAMERA");
}

TEST(PreviewPicture, MirroringFlipsEachRowLeftToRight) {
    const uint8_t pixels[] = {1, 2,  3,  4,  5,  6,  7,  8,  0, 0, // row 0 with padding
                              9, 10, 11, 12, 13, 14, 15, 16, 0, 0};
    auto plain = previewPicture(pixels, 2, 2, 10, false);
    auto mirrored = previewPicture(pixels, 2, 2, 10, true);
    EXPECT_EQ(plain->data()[0], 1);
    EXPECT_EQ(std::vector<uint8_t>(mirrored->data(), mirrored->data() + 16),
              (std::vector<uint8_t>{5, 6, 7, 8, 1, 2, 3, 4, 13, 14, 15, 16, 9, 10, 11, 12}));
}

} // namespace
} // namespace zarvo

namespace zarvo {
namespace {

TEST(GstPreviewCaptureOnTheDemoCamera, DeliversMirroredPicturesUntilStopped) {
    // Pictures of one capture, and how many came after its stop() had returned.
    struct Received {
        std::mutex mutex;
        std::condition_variable arrived;
        std::vector<PicturePtr> pictures;
        bool stopped = false;
        int afterStop = 0;
        GstPreviewCapture::PictureSink sink() {
            return [this](const PicturePtr& picture) {
                std::lock_guard lock(mutex);
                pictures.push_back(picture);
                afterStop += stopped ? 1 : 0;
                arrived.notify_all();
            };
        }
        bool waitFor(size_t count) {
            std::unique_lock lock(mutex);
            return arrived.wait_for(lock, std::chrono::seconds(60),
                                    [&] { return pictures.size() >= count; });
        }
    } first, second;
    GstPreviewCapture capture(first.sink());
    capture.setMirrored(true);
    const CameraDevice device = demoCameraDevice(1);
    EXPECT_TRUE(capture.accessGranted(device));
    ASSERT_TRUE(capture.run(device).ok());
    ASSERT_TRUE(first.waitFor(1));
    {
        std::lock_guard lock(first.mutex);
        EXPECT_EQ(first.pictures.front()->width(), 1280);
        EXPECT_EQ(first.pictures.front()->height(), 720);
    }
    capture.stop();
    {
        std::lock_guard lock(first.mutex);
        first.stopped = true;
    }
    // A second capture of the same camera delivering several pictures is the time in which a
    // late picture of the stopped one would show; the stop must already have ended its threads.
    GstPreviewCapture next(second.sink());
    ASSERT_TRUE(next.run(device).ok());
    ASSERT_TRUE(second.waitFor(5));
    next.stop();
    {
        std::lock_guard lock(first.mutex);
        EXPECT_EQ(first.afterStop, 0);
    }

    CameraDevice locked = device;
    locked.devicePath = "/dev/zarvo-no-such-camera";
    EXPECT_TRUE(capture.accessGranted(locked)); // a missing node is no permission problem
}

} // namespace
} // namespace zarvo

namespace zarvo {
namespace {

TEST(GstCameraDeviceSource, StartsItsMonitorOnFirstUseAndStopsItOnTheQueue) {
    auto source = std::make_shared<GstCameraDeviceSource>();
    source->start([] {});
    SerialQueue queue("camera.capture");
    std::vector<CameraDevice> first, second;
    queue.sync([&] {
        first = source->devices();
        second = source->devices();
    });
    // The second call reads the running monitor; the ids are the same.
    ASSERT_EQ(first.size(), second.size());
    for (size_t i = 0; i < first.size(); ++i)
        EXPECT_EQ(first[i].uniqueID, second[i].uniqueID);
    queue.sync([&] { source.reset(); });
}

TEST(CameraInputFacts, LoopbackDevicesAreNoCameras) {
    CameraDeviceFacts loopback;
    loopback.displayName = "Dummy video device (0x0000)";
    loopback.properties["v4l2.device.driver"] = "v4l2 loopback";
    CameraDeviceFacts webcam;
    webcam.displayName = "HD Webcam";
    webcam.properties["v4l2.device.driver"] = "uvcvideo";
    CameraDeviceFacts ours;
    ours.displayName = "VirtualCamera4Mac";
    EXPECT_FALSE(isCameraInput(loopback));
    EXPECT_FALSE(isCameraInput(ours));
    EXPECT_TRUE(isCameraInput(webcam));
}

} // namespace
} // namespace zarvo
