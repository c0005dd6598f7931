// The virtual-camera output: keeps the newest edited picture and, every 40 ms on its own worker,
// writes it (black once it is 1 s old) as a raw RGBA frame to the pixelfeed sender's standard
// input, from the moment the sender says it is ready. Starts the sender lazily, restarts it after a
// 10 s back-off, and reports its state as short Chinese status texts on the main thread.
#pragma once

#include "foundation/loop.h"
#include "foundation/result.h"
#include "foundation/weak_owner.h"
#include "media/picture.h"
#include "media/session_video.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zarvo {

// Where the frame tick runs: a serial worker with a repeating timer.
class VirtualCameraWorker {
public:
    virtual ~VirtualCameraWorker() = default;
    virtual void async(Task task) = 0;
    // Runs task on the worker and waits for it.
    virtual void sync(const Task& task) = 0;
    // Runs task on the worker every interval on a fixed grid, the first time one interval from
    // now; a fire that comes due while the previous one still runs is merged, never queued.
    virtual TimerHandle repeating(Duration interval, Task task) = 0;
};

// The production worker: the serial queue "zarvo.virtual-camera", whose repeating task is the tick.
std::unique_ptr<VirtualCameraWorker> makeVirtualCameraWorker();

// What a started sender gives back: the write end of its standard input (ours to close).
struct FrameSenderChild {
    pid_t pid = -1;
    int input = -1;
};

// Both may be called on any thread; the output hops to the main thread itself.
struct FrameSenderEvents {
    std::function<void(std::string bytes)> errorOutput; // standard-error bytes as they come
    std::function<void()> exited; // after the error stream ended and the child was reaped
};

class FrameSenderLauncher {
public:
    virtual ~FrameSenderLauncher() = default;
    virtual Result<FrameSenderChild> launch(const std::filesystem::path& executable,
                                            const std::vector<std::string>& arguments,
                                            FrameSenderEvents events) = 0;
    // Asks a started sender to end (SIGTERM).
    virtual void terminate(pid_t pid);
};

// startChild with pipes; a small watcher thread per child reads its standard error and reaps it.
std::shared_ptr<FrameSenderLauncher> makeProcessFrameSenderLauncher();

// "pixelfeed" in the folder of our own executable.
std::filesystem::path frameSenderBesideSelf();

// Draws a picture aspect-fitted and centred on opaque black into a 1280 × 720 RGBA frame
// (5120 bytes a row); no picture gives opaque black.
void drawVirtualCameraFrame(const Picture* picture, uint8_t* rgba);

// Writes all n bytes to a non-blocking descriptor, waiting up to 20 ms at a time for it to become
// writable. False on any error, when the reader takes no byte for `limit`, or when the whole write
// would take longer than 4 × `limit`: a reader that keeps taking bytes is slow (a busy machine),
// not stalled, and gets the frame.
struct BoundedWriteHooks {
    std::function<Duration()> clock;                    // monotonic
    std::function<bool(int fd, Duration)> waitWritable; // false: not writable in time or failed
};
BoundedWriteHooks realBoundedWriteHooks();
bool writeBounded(int fd, const uint8_t* data, size_t n, Duration limit,
                  const BoundedWriteHooks& hooks);

// What the camera tells the application: the status text users see, on the main thread.
class VirtualCameraDelegate {
public:
    virtual ~VirtualCameraDelegate() = default;
    virtual void virtualCameraStatusChanged(const std::string& text) = 0;
};

class VirtualCamera final : public SessionOutput {
public:
    struct Options {
        std::filesystem::path executable;              // default: frameSenderBesideSelf()
        std::shared_ptr<FrameSenderLauncher> launcher; // default: real processes
        std::unique_ptr<VirtualCameraWorker> worker;   // default: makeVirtualCameraWorker()
        BoundedWriteHooks writeHooks;                  // default: realBoundedWriteHooks()
    };

    static constexpr const char* kStatusReady = "系统输出：VirtualCamera4Mac";
    // The ready status names the camera the sender feeds: "系统输出：" + the name its ready line
    // gives; kStatusReady when the line names none.
    static constexpr const char* kStatusReadyPrefix = "系统输出：";
    static constexpr const char* kStatusUnavailable = "系统输出不可用，请检查虚拟摄像头";
    static constexpr const char* kStatusStopped = "系统输出已停止，等待重连";
    static constexpr const char* kStatusLaunchFailed = "系统输出启动失败";
    static constexpr const char* kStatusBroken = "系统输出连接中断，已切换黑屏";

    // `main` is the main thread's loop; its uptime is the clock for the 1 s and 10 s rules.
    VirtualCamera(Loop& main, VirtualCameraDelegate& delegate, Options options = {});
    ~VirtualCamera() override;
    VirtualCamera(const VirtualCamera&) = delete;
    VirtualCamera& operator=(const VirtualCamera&) = delete;

    // Any thread (the RTC engine's in practice).
    void submit(PicturePtr picture);
    // Main thread.
    void clear() override;
    void shutdown() override;
    // Any thread: the name users see of the camera other applications can pick now: the sender's
    // PipeWire node when it is published, else "VirtualCamera4Mac" when a loopback device carries
    // that card label. Waits at most about a second for PipeWire.
    static std::optional<std::string>
    availableDeviceName(const std::filesystem::path& sysfs = "/sys/class/video4linux");
    // Any thread: whether a PipeWire daemon answers, so the sender will publish its node there.
    static bool pipeWireAvailable();

    // Main thread: whether a sender process is held (started and not yet seen to end).
    bool hasProcess() const { return process_.has_value(); }
    Duration retryAfter() const { return retryAfter_; }

private:
    void start();
    void writeFrame(bool reportFailure);
    void report(const std::string& text);
    void handleErrorOutput(uint64_t child, const std::string& bytes);
    static std::string readyStatus(const std::string& line);
    void handleExit(uint64_t child);
    void handOverInput(uint64_t child);
    void closePendingInput();
    // Worker: stops the tick and closes the sender's pipe.
    void closeInput();

    Loop& main_;
    VirtualCameraDelegate& delegate_;
    std::filesystem::path executable_;
    std::shared_ptr<FrameSenderLauncher> launcher_;
    std::unique_ptr<VirtualCameraWorker> worker_;
    BoundedWriteHooks writeHooks_;
    WeakOwner alive_;
    // The sender's watcher threads post through this; closed at destruction, so a sender that
    // outlives us never reaches a loop that is gone.
    struct EventGate {
        std::mutex mutex;
        Loop* main;
    };
    std::shared_ptr<EventGate> gate_;

    std::mutex lock_; // the picture hand-over only
    PicturePtr latest_;
    std::optional<Duration> updated_; // none: distant past
    bool startCheckPending_ = false;

    // Main thread.
    std::optional<uint64_t> process_; // the running child's launch number
    pid_t processPid_ = -1;
    uint64_t launches_ = 0;
    Duration retryAfter_ = Duration::min();
    std::string errorLineBuffer_;
    int pendingInput_ = -1; // the started sender's pipe, handed to the worker when it says ready

    // Worker. The tick lives as long as the pipe it writes to.
    TimerHandle tick_;
    int input_ = -1;
    uint64_t inputChild_ = 0; // the launch whose pipe input_ is
    std::vector<uint8_t> packet_;
};

} // namespace zarvo
