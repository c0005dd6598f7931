// update_download_bench [MiB] [bytes per second per connection]
//
// Downloads a package from the in-process stand-in whose every connection is limited to the
// given rate, once in 4 MiB ranges over up to four connections and once as one plain request
// (the server then ignores ranges), and prints both times and the speed-up. Four connections
// should be at least 3.5 times as fast as one. The other three ranges start as soon as part 0's
// answer has shown ranges and a strong ETag, so all four connections are busy from the start.
// Exits 1 when a download fails or the target is missed.
#include "devservice/devservice.h"
#include "devservice/release/release_server.h"
#include "foundation/atomic_file.h"
#include "service/deployment.h"
#include "update/parallel_update_download.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>

using namespace zarvo;
namespace fs = std::filesystem;

namespace {

struct Run {
    double seconds = 0;
    bool ok = false;
    int64_t peak = 0;
};

Run download(const std::string& url, int64_t size) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false, ok = false;
    auto began = std::chrono::steady_clock::now();
    ParallelUpdateDownload transfer(
        url, size, nullptr, [&](std::optional<fs::path> file, std::optional<Error> error) {
            std::lock_guard lock(m);
            ok = file && !error && int64_t(fs::file_size(*file)) == size;
            if (error)
                std::fprintf(stderr, "download failed: %s (%d)\n", error->message.c_str(),
                             error->code);
            done = true;
            cv.notify_all();
        });
    transfer.start();
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return done; });
    Run run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    run.ok = ok;
    run.peak = transfer.peakConnections();
    return run;
}

} // namespace

int main(int argc, char** argv) {
    const int64_t mebibytes = argc > 1 ? std::atoll(argv[1]) : 128;
    const int64_t rate = argc > 2 ? std::atoll(argv[2]) : 1'000'000;
    const int64_t size = mebibytes * 1'048'576;
    if (size < 16 * 1'048'576 || size > 250'000'000 || rate < 10'000) {
        std::fputs("usage: update_download_bench [MiB 16..238] [bytes per second >= 10000]\n",
                   stderr);
        return 2;
    }
    std::string pattern = (fs::temp_directory_path() / "zarvo-update-bench-XXXXXX").string();
    const fs::path folder = mkdtemp(pattern.data());

    devservice::DevServiceOptions options;
    options.stateDirectory = folder / "state";
    devservice::DevService service(options);
    if (!service.start()) {
        std::fputs("cannot start the stand-in\n", stderr);
        return 1;
    }
    devservice::ReleaseServer releases(service, folder / "releases");
    setCurrentDeployment(*readDeploymentFile(service.deploymentFile()));

    std::string data(size_t(size), '\0');
    std::mt19937_64 generator{42};
    for (auto& c : data)
        c = char(generator());
    (void)writeFileAtomically(releases.folder() / "Zarvo-1.0.30-linux-x64.zip", data);
    data.clear();
    data.shrink_to_fit();
    const std::string url = "https://download.zarvo.test/downloads/workbench/zarvo/linux/"
                            "Zarvo-1.0.30-linux-x64.zip";

    devservice::ReleaseFaults faults;
    faults.bytesPerSecondPerConnection = rate;
    releases.setFaults(faults);
    Run parallel = download(url, size);
    faults.ignoreRanges = true;
    releases.setFaults(faults);
    Run single = download(url, size);

    std::error_code ec;
    fs::remove_all(folder, ec);
    const double speedup = parallel.seconds > 0 ? single.seconds / parallel.seconds : 0;
    std::printf("package %lld MiB, %lld bytes/s per connection\n", (long long)mebibytes,
                (long long)rate);
    std::printf("ranged, up to 4 connections: %.2f s (%.1f MB/s, peak %lld in flight)\n",
                parallel.seconds, double(size) / parallel.seconds / 1e6, (long long)parallel.peak);
    std::printf("one connection:              %.2f s (%.1f MB/s)\n", single.seconds,
                double(size) / single.seconds / 1e6);
    std::printf("speed-up: %.2fx (target >= 3.5x): %s\n", speedup,
                speedup >= 3.5 && parallel.ok && single.ok ? "PASS" : "FAIL");
    return speedup >= 3.5 && parallel.ok && single.ok ? 0 : 1;
}
