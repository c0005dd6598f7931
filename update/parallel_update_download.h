// Downloads one release package from one URL. When the server gives byte ranges and a strong
// ETag, 4 MiB ranges go over up to four connections (If-Range on each), each into its own part
// file, joined at the end; otherwise one plain request. Every header that could make the bytes
// differ from the published package is checked; one result reaches the completion.
//
// All work runs on the instance's own thread "zarvo.update.download" (a GLib main context that
// libsoup runs on); the callbacks run there too, so callers hop to their own loop.
#pragma once

#include "foundation/result.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zarvo {

class ParallelUpdateDownload {
public:
    // On success the file lies in the download's private folder, which is deleted right after
    // the completion returns: move or copy it before returning.
    using Completion =
        std::function<void(std::optional<std::filesystem::path> file, std::optional<Error> error)>;
    using Progress = std::function<void(int64_t received, int64_t total)>;

    static constexpr int64_t kChunkSize = 4'194'304;
    static constexpr int64_t kThreshold = 16'777'216;
    static constexpr int kConnections = 4;

    ParallelUpdateDownload(std::string url, int64_t size, Progress onProgress,
                           Completion completion);
    // Waits for the download thread; a download still running is cancelled first.
    ~ParallelUpdateDownload();
    ParallelUpdateDownload(const ParallelUpdateDownload&) = delete;
    ParallelUpdateDownload& operator=(const ParallelUpdateDownload&) = delete;

    // The time budget in seconds (1800); set before start().
    void setTotalTimeout(double seconds);
    void start();
    // Every later budget check reports the cancelled error.
    void cancel();
    // The most requests seen in flight at once.
    int64_t peakConnections() const;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

} // namespace zarvo
