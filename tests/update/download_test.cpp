#include "release_service_fixture.h"
#include "update/parallel_update_download.h"
#include "update/url_error.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

namespace zarvo {
namespace {

using namespace testing_support;

struct Outcome {
    std::optional<std::string> data; // the file's bytes, read inside the completion
    std::optional<Error> error;
    int completions = 0;
    std::vector<std::pair<int64_t, int64_t>> progress;
    int64_t peak = 0;
};

class DownloadTest : public ReleaseServiceFixture {
protected:
    Outcome download(const std::string& url, int64_t size, double budget = 1800) {
        Outcome outcome;
        std::mutex m;
        std::condition_variable cv;
        {
            ParallelUpdateDownload transfer(
                url, size,
                [&](int64_t received, int64_t total) {
                    std::lock_guard lock(m);
                    outcome.progress.emplace_back(received, total);
                },
                [&](std::optional<fs::path> file, std::optional<Error> error) {
                    std::lock_guard lock(m);
                    if (file)
                        outcome.data = readFile(*file);
                    outcome.error = error;
                    ++outcome.completions;
                    cv.notify_all();
                });
            transfer.setTotalTimeout(budget);
            transfer.start();
            std::unique_lock lock(m);
            EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(120),
                                    [&] { return outcome.completions > 0; }));
            outcome.peak = transfer.peakConnections();
        }
        return outcome;
    }
    std::vector<devservice::ReleaseRequest> packageRequests() {
        std::vector<devservice::ReleaseRequest> list;
        for (auto& r : releases->requests())
            if (r.path.ends_with(".zip"))
                list.push_back(r);
        return list;
    }
};

TEST_F(DownloadTest, LargePackageComesInFourMegabyteRangesOverAtMostFourConnections) {
    const std::string data = publishPackage("1.0.30", 20'000'000);
    Outcome outcome = download(packageURL("download.zarvo.test", "1.0.30"), 20'000'000);
    ASSERT_FALSE(outcome.error) << outcome.error->message;
    ASSERT_TRUE(outcome.data);
    EXPECT_TRUE(*outcome.data == data);
    EXPECT_EQ(outcome.completions, 1);
    EXPECT_EQ(outcome.peak, 4);
    ASSERT_FALSE(outcome.progress.empty());
    EXPECT_EQ(outcome.progress.back(), std::make_pair(int64_t(20'000'000), int64_t(20'000'000)));

    auto requests = packageRequests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(requests[0].range, "bytes=0-4194303");
    EXPECT_EQ(requests[0].ifRange, "");
    std::set<std::string> ranges;
    for (size_t i = 1; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].status, 206);
        EXPECT_FALSE(requests[i].ifRange.empty()) << "every later range carries If-Range";
        ranges.insert(requests[i].range);
    }
    EXPECT_TRUE(ranges.count("bytes=16777216-19999999"));
    EXPECT_TRUE(tmpIsEmpty()) << "part files and the folder are removed";

    // Four parts: the other three start on the first range's answer, not after its body, or a
    // download would run one part alone before any parallelism.
    const std::string four = publishPackage("1.0.31", 16'777'216);
    outcome = download(packageURL("download.zarvo.test", "1.0.31"), 16'777'216);
    ASSERT_FALSE(outcome.error) << outcome.error->message;
    EXPECT_TRUE(outcome.data && *outcome.data == four);
    EXPECT_EQ(outcome.peak, 4);
}

TEST_F(DownloadTest, SmallPackageIsOnePlainRequest) {
    const std::string data = publishPackage("1.0.30", 10'000'000);
    Outcome outcome = download(packageURL("api.zarvo.test", "1.0.30"), 10'000'000);
    ASSERT_FALSE(outcome.error) << outcome.error->message;
    EXPECT_TRUE(outcome.data && *outcome.data == data);
    auto requests = packageRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].range, "");
    EXPECT_EQ(requests[0].status, 200);
}

TEST_F(DownloadTest, ServerWithoutRangesOrWithAWeakTagRestartsAsOnePlainRequest) {
    const std::string data = publishPackage("1.0.30", 16'777'216);
    for (bool weak : {false, true}) {
        devservice::ReleaseFaults faults;
        (weak ? faults.weakEtag : faults.ignoreRanges) = true;
        releases->setFaults(faults);
        releases->clearRequests();
        Outcome outcome = download(packageURL("download.zarvo.test", "1.0.30"), 16'777'216);
        ASSERT_FALSE(outcome.error) << outcome.error->message;
        EXPECT_TRUE(outcome.data && *outcome.data == data);
        EXPECT_TRUE(std::find(outcome.progress.begin(), outcome.progress.end(),
                              std::make_pair(int64_t(0), int64_t(16'777'216))) !=
                    outcome.progress.end())
            << "progress restarts at 0";
        auto requests = packageRequests();
        ASSERT_EQ(requests.size(), 2u) << (weak ? "weak" : "no ranges");
        EXPECT_EQ(requests[1].range, "");
    }
}

TEST_F(DownloadTest, EveryResponseFaultEndsTheDownloadWithItsOwnErrorAndNoFiles) {
    publishPackage("1.0.30", 20'000'000);
    struct Case {
        const char* name;
        devservice::ReleaseFaults faults;
        std::string message;
    };
    // Each case's faults are made whole before the case is: GCC 12 takes the member string of a
    // brace-initialised temporary for uninitialised.
    auto faulty = [](auto set) {
        devservice::ReleaseFaults faults;
        set(faults);
        return faults;
    };
    const std::vector<Case> cases = {
        // A server that honours If-Range sends the whole (new) file, not the range asked for.
        {"etag changes", faulty([](auto& f) { f.changeEtagAfter = 1; }), "更新响应校验失败"},
        {"etag changes, If-Range ignored", faulty([](auto& f) {
             f.changeEtagAfter = 1;
             f.ignoreIfRange = true;
         }),
         "更新分段版本变化"},
        {"503", faulty([](auto& f) { f.unavailableOnDownloadHost = 100; }), "下载线路暂不可用"},
        {"redirect", faulty([](auto& f) { f.redirect = packageURL("api.zarvo.test", "1.0.30"); }),
         "更新响应校验失败"},
        {"gzip", faulty([](auto& f) { f.gzipEncoding = true; }), "更新响应编码无效"},
        {"short body", faulty([](auto& f) { f.shortBody = true; }), "更新分段长度校验失败"},
    };
    for (const auto& c : cases) {
        releases->setFaults(c.faults);
        Outcome outcome = download(packageURL("download.zarvo.test", "1.0.30"), 20'000'000);
        EXPECT_EQ(outcome.completions, 1) << c.name;
        EXPECT_FALSE(outcome.data) << c.name;
        ASSERT_TRUE(outcome.error) << c.name;
        EXPECT_EQ(outcome.error->message, c.message) << c.name;
        EXPECT_TRUE(tmpIsEmpty()) << c.name;
    }

    // A declared size the server disagrees with.
    releases->setFaults({});
    Outcome wrongSize = download(packageURL("download.zarvo.test", "1.0.30"), 20'000'001);
    ASSERT_TRUE(wrongSize.error);
    EXPECT_EQ(wrongSize.error->message, "更新分段范围无效");

    Outcome untrusted = download(
        "https://elsewhere.test/downloads/workbench/zarvo/linux/Zarvo-1.0.30-linux-x64.zip",
        20'000'000);
    ASSERT_TRUE(untrusted.error);
    EXPECT_EQ(untrusted.error->message, "更新下载参数无效");
}

TEST_F(DownloadTest, TimeBudgetEndsASlowDownloadOnceWithATimeOut) {
    publishPackage("1.0.30", 20'000'000);
    devservice::ReleaseFaults faults;
    faults.bytesPerSecondPerConnection = 200'000;
    releases->setFaults(faults);
    Outcome outcome = download(packageURL("download.zarvo.test", "1.0.30"), 20'000'000, 1.0);
    EXPECT_EQ(outcome.completions, 1);
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(*outcome.error, URLError::make(URLError::kTimedOut));
    EXPECT_TRUE(tmpIsEmpty());
}

} // namespace
} // namespace zarvo
