// App on a virtual-time loop with a scripted service, a fake video link, output and activity.
#pragma once

#include "app/app.h"
#include "app/session_presentation.h"
#include "fake_hosts.h"
#include "foundation/atomic_file.h"
#include "foundation/encoding.h"
#include "foundation/virtual_loop.h"
#include "scripted_service.h"
#include "version.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <unistd.h>

namespace zarvo::testing {

class FakeVideo : public SessionVideo {
public:
    Status<> join(const Json& credentials, const std::string& renderUID) override {
        ++joins;
        joinedWith = credentials;
        joinedUID = renderUID;
        if (joinError)
            return unexpected(*joinError);
        return Ok{};
    }
    // Like the bridge, a stop forgets the session's frames.
    void stop() override {
        ++stops;
        std::lock_guard lock(mutex);
        stats = {};
    }
    bool resetting() const override { return isResetting; }
    bool hasEngine() const override { return engine; }
    void setCameraID(const std::string& id) override { camera = id; }
    std::string cameraID() const override { return camera; }
    RemoteFrameStats frameStats() const override {
        std::lock_guard lock(mutex);
        return stats;
    }
    // A remote frame arriving now; `time` is the wall-clock stamp, which a date change may skew.
    void frameAt(WallTime time) {
        std::lock_guard lock(mutex);
        ++stats.count;
        if (!stats.first) {
            stats.first = time;
            stats.firstUptime = clock->uptime();
        }
        stats.last = time;
        stats.lastUptime = clock->uptime();
    }

    Loop* clock = nullptr;
    int joins = 0, stops = 0;
    Json joinedWith;
    std::string joinedUID, camera;
    std::optional<Error> joinError;
    bool isResetting = false, engine = true;
    mutable std::mutex mutex;
    RemoteFrameStats stats;
};

class FakeOutput : public SessionOutput {
public:
    void clear() override { ++clears; }
    int clears = 0;
};

class FakeActivity : public SystemActivity {
public:
    struct Token : ActivityToken {
        explicit Token(int& live) : live(live) { ++live; }
        ~Token() override { --live; }
        int& live;
    };
    std::unique_ptr<ActivityToken> begin(const std::string& why) override {
        reason = why;
        return std::make_unique<Token>(live);
    }
    int live = 0;
    std::string reason;
};

// Deterministic stand-in for the JPEG encoder: "bytes:N" gives N bytes, "bad" fails, anything
// else comes back tagged with the quality. A closed gate holds the encoder (worker thread).
class FakeEncoder {
public:
    std::optional<std::string> encode(std::string_view image, double factor) {
        std::unique_lock lock(mutex_);
        ++entered_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return open_; });
        qualities.push_back(static_cast<int>(factor * 100 + 0.5));
        if (image == "bad")
            return std::nullopt;
        if (image.starts_with("bytes:"))
            return std::string(std::stoul(std::string(image.substr(6))), 'j');
        return "jpeg" + std::to_string(qualities.back()) + ":" + std::string(image);
    }
    void close() {
        std::lock_guard lock(mutex_);
        open_ = false;
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    void waitEntered(int n) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return entered_ >= n; });
    }
    std::vector<int> qualities;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = true;
    int entered_ = 0;
};

inline Json idleAccount(int64_t available = 100) {
    return {{"available_points", available}, {"reserved_points", 0}, {"session_state", "IDLE"}};
}
inline Json runningAccount() {
    return {{"available_points", 80},
            {"reserved_points", 20},
            {"session_state", "RUNNING"},
            {"session_running", true}};
}

// The routes of an account that can start: `account` for "client/state", no session, and a start
// that hands out RTC credentials and a render uid.
inline void answerStartableAccount(ScriptedService& service, Json account = idleAccount()) {
    service.answer("client/state", std::move(account));
    service.answer("live/current", Json{{"state", "IDLE"}});
    service.answer("live/start", Json{{"rtc", {{"token", "rtc-token"}, {"channel_id", "ch-1"}}},
                                      {"render_uid", "ai-7"}});
    service.answer("live/stop", Json::object());
    service.answer("live/switch", Json{{"status", "submitted"}});
}

// App wired to the fakes, signed in, its requests going to the scripted service.
inline AppWiring fakeWiring(FakeVideo& video, FakeOutput& output, FakeActivity& activity,
                            ScriptedService& service, JpegEncoder encodeJpeg) {
    AppWiring wiring;
    wiring.video = &video;
    wiring.output = &output;
    wiring.activity = &activity;
    wiring.credential = "account-token";
    wiring.sender = service.sender();
    wiring.encodeJpeg = std::move(encodeJpeg);
    return wiring;
}

// The fakes App is wired to outside the fixture (the fuzz runs): the video on the loop's clock,
// an encoder that only marks what it was given, camera "cam-1" selected.
struct AppFakes {
    explicit AppFakes(VirtualLoop& loop) { video.clock = &loop; }
    AppWiring wiring(ScriptedService& service) {
        return fakeWiring(video, output, activity, service, [](std::string_view image, double) {
            return std::optional<std::string>("jpeg:" + std::string(image));
        });
    }
    FakeVideo video;
    FakeOutput output;
    FakeActivity activity;
    FakeHosts hosts;
};

class SessionTest : public ::testing::Test {
protected:
    SessionTest() {
        folder = std::filesystem::temp_directory_path() /
                 ("zarvo-app-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        setenv("XDG_DATA_HOME", (folder / "data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (folder / "config").c_str(), 1);
        answerStartableAccount(service);
        video.clock = &loop;
        defaults = std::make_unique<UserDefaults>(folder / "config" / "Zarvo" / "defaults.json");
        buildApp(fakeHosts);
        loop.runUntilIdle();
    }
    ~SessionTest() override {
        app.reset();
        std::filesystem::remove_all(folder);
    }

    // (Re)builds App with the fakes and the given update gate.
    void buildApp(UpdateGate& update) {
        app.reset();
        AppWiring wiring = fakeWiring(video, output, activity, service,
                                      [this](std::string_view image, double factor) {
                                          return encoder.encode(image, factor);
                                      });
        app = std::make_unique<App>(loop, *defaults, fakeHosts.hosts(update), std::move(wiring));
        app->selectedReferenceData = "reference";
        app->routes.check(); // POSTs go out at once on a confirmed route
    }

    void sync() {
        app->refreshState();
        loop.runUntilIdle();
    }
    // A started session: joined, with the account showing it running.
    void startSession() {
        sync();
        service.answer("client/state", runningAccount());
        app->startAI();
        loop.runUntilIdle();
        ASSERT_TRUE(loop.runUntil([&] { return video.joins > 0; })) << app->status.text;
        ASSERT_TRUE(app->aiActive);
    }
    std::optional<Json> stopReport() {
        auto text = readFile(folder / "data" / "ZarvoDiagnostics" /
                             ("stop-" + std::string(kVersion) + ".json"));
        return text ? parseJsonObject(*text) : std::nullopt;
    }

    std::filesystem::path folder;
    VirtualLoop loop;
    std::unique_ptr<UserDefaults> defaults;
    ScriptedService service{loop};
    FakeVideo video;
    FakeOutput output;
    FakeActivity activity;
    FakeEncoder encoder;
    FakeHosts fakeHosts;
    std::unique_ptr<App> app;
};

} // namespace zarvo::testing
