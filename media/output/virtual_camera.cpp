#include "media/output/virtual_camera.h"

#include "foundation/child_process.h"
#include "foundation/owned.h"
#include "foundation/serial_queue.h"
#include "foundation/thread_check.h"
#include "pixelfeed/pipewire_device.h"
#include "pixelfeed/pixelfeed.h"
#include "pixelfeed/v4l2_device.h"

#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale_argb.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace zarvo {

namespace {

constexpr int kWidth = pixelfeed::kWidth;
constexpr int kHeight = pixelfeed::kHeight;
constexpr size_t kFrameBytes = pixelfeed::kFrameBytes;
constexpr Duration kTick = milliseconds(40);
constexpr Duration kFreshness = seconds(1.0);
constexpr Duration kBackOff = seconds(10.0);
constexpr Duration kWriteLimit = seconds(0.5);
constexpr Duration kWritableWait = milliseconds(20);

// The tick is a repeating task on the output's own serial queue, so frames and the hand-over of a
// sender's pipe never run at the same time and no timer thread is needed.
class QueueWorker final : public VirtualCameraWorker {
public:
    QueueWorker() : queue_("zarvo.virtual-camera") {}
    void async(Task task) override { queue_.async(std::move(task)); }
    void sync(const Task& task) override { queue_.sync(task); }
    TimerHandle repeating(Duration interval, Task task) override {
        return queue_.repeating(interval, std::move(task));
    }

private:
    SerialQueue queue_;
};

class ProcessLauncher final : public FrameSenderLauncher {
public:
    Result<FrameSenderChild> launch(const std::filesystem::path& executable,
                                    const std::vector<std::string>& arguments,
                                    FrameSenderEvents events) override {
        ChildOptions options;
        options.argv = {executable.string()};
        options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
        options.input = ChildStream::Pipe;
        options.output = ChildStream::Inherit;
        options.error = ChildStream::Pipe;
        auto child = startChild(options);
        if (!child)
            return unexpected(child.error());
        const pid_t pid = child->pid();
        const int input = child->takeInput();
        UniqueFd errorOutput(child->takeError());
        {
            std::lock_guard guard(live_->mutex);
            live_->pids.insert(pid);
        }
        // Detached: at quit the sender outlives us on purpose (it keeps the device black).
        std::thread([pid, errorOutput = std::move(errorOutput), events = std::move(events),
                     live = live_]() mutable {
            char buffer[4096];
            for (;;) {
                ssize_t n = ::read(errorOutput.get(), buffer, sizeof buffer);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                if (events.errorOutput)
                    events.errorOutput(std::string(buffer, size_t(n)));
            }
            errorOutput.reset();
            // Wait without reaping, so terminate() never signals a process id already reused.
            siginfo_t info;
            while (::waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
            }
            {
                std::lock_guard guard(live->mutex);
                live->pids.erase(pid);
                int status;
                while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                }
            }
            if (events.exited)
                events.exited();
        }).detach();
        return FrameSenderChild{pid, input};
    }

    void terminate(pid_t pid) override {
        std::lock_guard guard(live_->mutex);
        if (live_->pids.count(pid))
            ::kill(pid, SIGTERM);
    }

private:
    struct Live {
        std::mutex mutex;
        std::set<pid_t> pids; // started and not yet reaped
    };
    std::shared_ptr<Live> live_ = std::make_shared<Live>();
};

// Invalid UTF-8 becomes U+FFFD, so a garbled line is still searched as text.
std::string repairUtf8(const std::string& bytes) {
    std::string out;
    size_t i = 0;
    while (i < bytes.size()) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        size_t length = c < 0x80           ? 1
                        : (c >> 5) == 0x6  ? 2
                        : (c >> 4) == 0xE  ? 3
                        : (c >> 3) == 0x1E ? 4
                                           : 0;
        bool valid = length > 0 && i + length <= bytes.size();
        for (size_t k = 1; valid && k < length; ++k)
            valid = (static_cast<unsigned char>(bytes[i + k]) & 0xC0) == 0x80;
        if (valid) {
            out.append(bytes, i, length);
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

} // namespace

void FrameSenderLauncher::terminate(pid_t pid) {
    if (pid > 0)
        ::kill(pid, SIGTERM);
}

std::unique_ptr<VirtualCameraWorker> makeVirtualCameraWorker() {
    return std::make_unique<QueueWorker>();
}

std::shared_ptr<FrameSenderLauncher> makeProcessFrameSenderLauncher() {
    return std::make_shared<ProcessLauncher>();
}

std::filesystem::path frameSenderBesideSelf() {
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return (error ? std::filesystem::path() : self.parent_path()) / "pixelfeed";
}

void drawVirtualCameraFrame(const Picture* picture, uint8_t* rgba) {
    constexpr int stride = kWidth * 4;
    // Opaque black: bytes 0,0,0,255 are the little-endian word 0xFF000000.
    libyuv::ARGBRect(rgba, stride, 0, 0, kWidth, kHeight, 0xFF000000u);
    if (!picture || picture->width() <= 0 || picture->height() <= 0)
        return;
    double scale = std::min(double(kWidth) / picture->width(), double(kHeight) / picture->height());
    int width = std::clamp(int(std::lround(picture->width() * scale)), 1, kWidth);
    int height = std::clamp(int(std::lround(picture->height() * scale)), 1, kHeight);
    int x = (kWidth - width) / 2;
    int y = (kHeight - height) / 2;
    uint8_t* origin = rgba + size_t(y) * stride + size_t(x) * 4;
    libyuv::ARGBScale(picture->data(), picture->stride(), picture->width(), picture->height(),
                      origin, stride, width, height, libyuv::kFilterBilinear);
    // BGRA → RGBA in place; drawn over opaque black a premultiplied pixel keeps its colour and
    // becomes opaque.
    libyuv::ARGBToABGR(origin, stride, origin, stride, width, height);
    for (int row = 0; row < height; ++row) {
        uint8_t* p = origin + size_t(row) * stride + 3;
        for (int column = 0; column < width; ++column, p += 4)
            *p = 255;
    }
}

BoundedWriteHooks realBoundedWriteHooks() {
    return {[] { return Duration(std::chrono::steady_clock::now().time_since_epoch()); },
            [](int fd, Duration limit) {
                pollfd p{fd, POLLOUT, 0};
                int ms = int(std::chrono::duration_cast<std::chrono::milliseconds>(limit).count());
                int n = ::poll(&p, 1, std::max(ms, 0));
                return n > 0;
            }};
}

bool writeBounded(int fd, const uint8_t* data, size_t n, Duration limit,
                  const BoundedWriteHooks& hooks) {
    const Duration cap = hooks.clock() + 4 * limit;
    Duration deadline = hooks.clock() + limit;
    size_t done = 0;
    while (done < n) {
        ssize_t written = ::write(fd, data + done, n - done);
        if (written > 0) {
            done += size_t(written);
            deadline = std::min(hooks.clock() + limit, cap);
            continue;
        }
        if (written == 0)
            return false;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        // Only a full pipe ends the write: time this thread itself lost to a busy machine after
        // a wait is not the reader's, so the pipe is always tried once more first.
        Duration left = deadline - hooks.clock();
        if (left <= Duration(0))
            return false;
        hooks.waitWritable(fd, std::min(kWritableWait, left));
    }
    return true;
}

VirtualCamera::VirtualCamera(Loop& main, VirtualCameraDelegate& delegate, Options options)
    : main_(main), delegate_(delegate),
      executable_(options.executable.empty() ? frameSenderBesideSelf()
                                             : std::move(options.executable)),
      launcher_(options.launcher ? std::move(options.launcher) : makeProcessFrameSenderLauncher()),
      worker_(options.worker ? std::move(options.worker) : makeVirtualCameraWorker()),
      writeHooks_(options.writeHooks.clock ? std::move(options.writeHooks)
                                           : realBoundedWriteHooks()),
      gate_(std::make_shared<EventGate>()) {
    gate_->main = &main_;
    if (!writeHooks_.waitWritable)
        writeHooks_.waitWritable = realBoundedWriteHooks().waitWritable;
}

VirtualCamera::~VirtualCamera() {
    alive_.invalidate();
    closePendingInput();
    {
        std::lock_guard guard(gate_->mutex);
        gate_->main = nullptr;
    }
    // Stops the tick on the worker; a run of it already waiting there sees the cancel, and the
    // queue's destruction drops the next one.
    worker_->sync([this] { closeInput(); });
    worker_.reset();
}

void VirtualCamera::submit(PicturePtr picture) {
    bool wasPending;
    {
        std::lock_guard guard(lock_);
        latest_ = std::move(picture);
        updated_ = main_.uptime();
        wasPending = startCheckPending_;
        startCheckPending_ = true;
    }
    if (wasPending)
        return;
    main_.post([this, alive = alive_.watch()] {
        if (!alive.alive())
            return;
        {
            std::lock_guard guard(lock_);
            startCheckPending_ = false;
        }
        if (!process_ && main_.uptime() >= retryAfter_)
            start();
    });
}

void VirtualCamera::clear() {
    ZARVO_DCHECK_ON(main_);
    {
        std::lock_guard guard(lock_);
        latest_.reset();
        updated_.reset();
    }
    if (!process_ && main_.uptime() >= retryAfter_)
        start();
}

void VirtualCamera::shutdown() {
    ZARVO_DCHECK_ON(main_);
    closePendingInput();
    worker_->sync([this] {
        writeFrame(false);
        closeInput();
    });
}

std::optional<std::string> VirtualCamera::availableDeviceName(const std::filesystem::path& sysfs) {
    auto probe = pixelfeed::probePipeWire(std::chrono::seconds(1), pixelfeed::kPipeWireNodeName);
    if (probe.nodeDescription)
        return probe.nodeDescription;
    if (pixelfeed::findDeviceByLabel("VirtualCamera4Mac", {sysfs, "/dev"}))
        return std::string("VirtualCamera4Mac");
    return std::nullopt;
}

bool VirtualCamera::pipeWireAvailable() {
    return pixelfeed::probePipeWire(std::chrono::seconds(1)).answers;
}

std::string VirtualCamera::readyStatus(const std::string& line) {
    // The ready line's message is the camera's name followed by " sender ready".
    auto parsed = nlohmann::json::parse(line, nullptr, false);
    if (parsed.is_object() && parsed.value("message", nlohmann::json()).is_string()) {
        std::string message = parsed["message"];
        const std::string suffix = " sender ready";
        if (message.size() > suffix.size() && message.ends_with(suffix))
            return kStatusReadyPrefix + message.substr(0, message.size() - suffix.size());
    }
    return kStatusReady;
}

void VirtualCamera::start() {
    uint64_t child = ++launches_;
    OwnerWatch alive = alive_.watch();
    auto post = [gate = gate_](Task task) {
        std::lock_guard guard(gate->mutex);
        if (gate->main)
            gate->main->post(std::move(task));
    };
    FrameSenderEvents events;
    events.errorOutput = [this, post, alive, child](std::string bytes) {
        post([this, alive, child, bytes = std::move(bytes)] {
            if (alive.alive())
                handleErrorOutput(child, bytes);
        });
    };
    events.exited = [this, post, alive, child] {
        post([this, alive, child] {
            if (alive.alive())
                handleExit(child);
        });
    };
    auto launched = launcher_->launch(executable_, {"--virtualcamera4mac"}, std::move(events));
    if (!launched) {
        report(kStatusLaunchFailed);
        return;
    }
    process_ = child;
    processPid_ = launched->pid;
    errorLineBuffer_.clear();
    int fd = launched->input;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    // A frame then crosses in a handful of hand-overs instead of about sixty, so a sender that
    // gets little time still takes it quickly. Best effort: the system may refuse the size.
    ::fcntl(fd, F_SETPIPE_SZ, 1 << 20);
    // Frames go out only once the sender says ready: until then it is still loading, taking its
    // lock or opening the camera and reads nothing, and a busy machine can stretch that far past
    // the half second a frame write may take.
    closePendingInput();
    pendingInput_ = fd;
}

void VirtualCamera::writeFrame(bool reportFailure) {
    if (input_ < 0)
        return;
    PicturePtr picture;
    {
        std::lock_guard guard(lock_);
        if (latest_ && updated_ && main_.uptime() - *updated_ < kFreshness)
            picture = latest_;
    }
    packet_.resize(4 + kFrameBytes);
    uint32_t length = uint32_t(kFrameBytes);
    for (int i = 0; i < 4; ++i)
        packet_[size_t(i)] = uint8_t(length >> (8 * i));
    drawVirtualCameraFrame(picture.get(), packet_.data() + 4);
    if (writeBounded(input_, packet_.data(), packet_.size(), kWriteLimit, writeHooks_))
        return;
    if (!reportFailure)
        return;
    uint64_t child = inputChild_;
    closeInput();
    main_.post([this, alive = alive_.watch(), child] {
        // A sender already seen to end was reported stopped; its broken pipe is no news.
        if (!alive.alive() || process_ != child)
            return;
        report(kStatusBroken);
        // A sender that no longer gets frames would show black until terminated and never end by
        // itself; ending it lets the exit handler's back-off restart it.
        launcher_->terminate(processPid_);
    });
}

void VirtualCamera::report(const std::string& text) {
    delegate_.virtualCameraStatusChanged(text);
}

void VirtualCamera::handleErrorOutput(uint64_t child, const std::string& bytes) {
    if (process_ != child)
        return;
    // Lines are kept whole across reads, so a status line split by the pipe is still seen.
    errorLineBuffer_ += bytes;
    size_t end;
    while ((end = errorLineBuffer_.find('\n')) != std::string::npos) {
        std::string line = repairUtf8(errorLineBuffer_.substr(0, end));
        errorLineBuffer_.erase(0, end + 1);
        if (line.empty())
            continue;
        if (line.find("\"ready\"") != std::string::npos) {
            handOverInput(child);
            report(readyStatus(line));
        } else if (line.find("\"error\"") != std::string::npos)
            report(kStatusUnavailable);
    }
}

void VirtualCamera::handleExit(uint64_t child) {
    if (process_ != child)
        return;
    closePendingInput();
    // Its pipe goes at once: left open, the next sender's first tick would meet the dead pipe.
    worker_->async([this, child] {
        if (inputChild_ == child)
            closeInput();
    });
    process_.reset();
    processPid_ = -1;
    retryAfter_ = main_.uptime() + kBackOff;
    report(kStatusStopped);
}

void VirtualCamera::handOverInput(uint64_t child) {
    if (pendingInput_ < 0)
        return;
    int fd = std::exchange(pendingInput_, -1);
    // The first frame goes at once; the pipe's own tick carries on from there.
    worker_->async([this, fd, child] {
        closeInput();
        input_ = fd;
        inputChild_ = child;
        tick_ = worker_->repeating(kTick, [this] { writeFrame(true); });
        writeFrame(true);
    });
}

void VirtualCamera::closePendingInput() {
    if (pendingInput_ >= 0)
        ::close(pendingInput_);
    pendingInput_ = -1;
}

void VirtualCamera::closeInput() {
    tick_.cancel();
    if (input_ >= 0)
        ::close(input_);
    input_ = -1;
}

} // namespace zarvo
