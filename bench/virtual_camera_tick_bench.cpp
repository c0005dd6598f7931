// The output's 40 ms tick in real time: for 10 s (or the seconds given as the first argument)
// pictures arrive at about 30 per second from another thread while the production worker writes
// frames into a pipe that a reader drains. Reports the tick rate, late ticks (more than 10 ms after
// their slot on the 40 ms grid), merged ticks (slots that never fired) and the write time.
#include "media/output/virtual_camera.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <unistd.h>

using namespace zarvo;
using Clock = std::chrono::steady_clock;

namespace {

struct TickRecord {
    Clock::time_point start;
    Clock::duration length;
};

// Wraps the production worker and notes when each fire starts and how long it runs.
class TimingWorker final : public VirtualCameraWorker {
public:
    explicit TimingWorker(std::vector<TickRecord>& records) : records_(records) {}
    void async(Task task) override { inner_->async(std::move(task)); }
    void sync(const Task& task) override { inner_->sync(task); }
    TimerHandle repeating(Duration interval, Task task) override {
        return inner_->repeating(interval, [this, task = std::move(task)] {
            auto start = Clock::now();
            task();
            records_.push_back({start, Clock::now() - start}); // only the worker touches this
        });
    }

private:
    std::unique_ptr<VirtualCameraWorker> inner_ = makeVirtualCameraWorker();
    std::vector<TickRecord>& records_;
};

class DrainedPipeLauncher final : public FrameSenderLauncher {
public:
    ~DrainedPipeLauncher() override {
        for (auto& reader : readers_)
            reader.join();
    }
    Result<FrameSenderChild> launch(const std::filesystem::path&, const std::vector<std::string>&,
                                    FrameSenderEvents events) override {
        int ends[2];
        if (::pipe(ends) != 0)
            return unexpected(Error{"pipe", 1});
        readers_.emplace_back([fd = ends[0]] {
            std::vector<char> buffer(1 << 16);
            while (::read(fd, buffer.data(), buffer.size()) > 0) {
            }
            ::close(fd);
        });
        // Like the real sender: frames are written once it says ready.
        events.errorOutput(
            "{\"event\":\"ready\",\"message\":\"VirtualCamera4Mac sender ready\"}\n");
        return FrameSenderChild{0, ends[1]};
    }

private:
    std::vector<std::thread> readers_;
};

// The main loop is only used for its clock and the start check here; this one runs posted tasks
// when drained and takes time from the real clock.
class RealClockLoop final : public Loop {
public:
    void post(Task task) override {
        std::lock_guard guard(mutex_);
        posted_.push_back(std::move(task));
    }
    TimerHandle postDelayed(Duration, Task) override { return {}; }
    TimerHandle repeating(Duration, Task) override { return {}; }
    bool isLoopThread() const override { return true; }
    WallTime now() const override { return WallClock::now(); }
    Duration uptime() const override { return Clock::now().time_since_epoch(); }
    void drain() {
        std::vector<Task> tasks;
        {
            std::lock_guard guard(mutex_);
            tasks.swap(posted_);
        }
        for (auto& task : tasks)
            task();
    }

private:
    std::mutex mutex_;
    std::vector<Task> posted_;
};

} // namespace

int main(int argc, char** argv) {
    // As in the application: a write to a sender that died fails instead of ending the process.
    std::signal(SIGPIPE, SIG_IGN);
    double runSeconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    std::vector<TickRecord> records;
    records.reserve(1000);
    RealClockLoop loop;
    auto launcher = std::make_shared<DrainedPipeLauncher>();
    {
        VirtualCamera::Options options;
        options.launcher = launcher;
        options.worker = std::make_unique<TimingWorker>(records);
        struct NoStatus final : VirtualCameraDelegate {
            void virtualCameraStatusChanged(const std::string&) override {}
        } noStatus;
        VirtualCamera camera(loop, noStatus, std::move(options));
        std::vector<uint8_t> pixels(size_t(1280) * 720 * 4, 128);
        auto picture = Picture::adoptBGRA(1280, 720, std::move(pixels));

        std::atomic<bool> running{true};
        std::thread rtc([&] {
            while (running) {
                camera.submit(picture);
                std::this_thread::sleep_for(std::chrono::milliseconds(33));
            }
        });
        auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(runSeconds));
        while (Clock::now() < end) {
            loop.drain();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        running = false;
        rtc.join();
        camera.clear();
        camera.shutdown();
    }

    if (records.size() < 2) {
        std::puts("virtual_camera_tick: no ticks");
        return 1;
    }
    const auto interval = std::chrono::milliseconds(40);
    auto first = records.front().start;
    int late = 0;
    long lastSlot = -1, merged = 0;
    Clock::duration worstLateness{0}, longestWrite{0}, totalWrite{0};
    for (size_t i = 0; i + 1 < records.size(); ++i) { // the last record is shutdown's frame
        auto offset = records[i].start - first;
        // The nearest slot: the first fire had its own small delay, so others may come a bit
        // earlier.
        long slot = long((offset + interval / 2) / interval);
        auto lateness = offset - slot * interval;
        if (lateness > std::chrono::milliseconds(10))
            ++late;
        worstLateness = std::max(worstLateness, Clock::duration(lateness));
        if (lastSlot >= 0 && slot > lastSlot + 1)
            merged += slot - lastSlot - 1;
        lastSlot = slot;
        longestWrite = std::max(longestWrite, records[i].length);
        totalWrite += records[i].length;
    }
    size_t ticks = records.size() - 1;
    double span = std::chrono::duration<double>(records[ticks - 1].start - first).count();
    auto ms = [](Clock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count();
    };
    std::printf("virtual_camera_tick: %.1f s, %zu ticks, %.2f ticks/s (target 25.00)\n", span,
                ticks, double(ticks - 1) / span);
    std::printf("  late ticks (>10 ms after slot): %d, worst lateness %.2f ms, merged slots %ld\n",
                late, ms(worstLateness), merged);
    std::printf("  frame draw + write: mean %.2f ms, longest %.2f ms\n",
                ms(totalWrite) / double(ticks), ms(longestWrite));
    return 0;
}
