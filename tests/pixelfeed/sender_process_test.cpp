// The real pixelfeed program and the sender lock, through real pipes and real processes.
#include "child_process.h"
#include "pixelfeed/pixelfeed.h"
#include "pixelfeed/sender_lock.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace pixelfeed;
using pixelfeed_test::Child;
using pixelfeed_test::spawnChild;

namespace {

std::vector<nlohmann::json> statusLines(const std::string& text) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        auto parsed = nlohmann::json::parse(line, nullptr, false);
        EXPECT_TRUE(parsed.is_object() && parsed.size() == 2 && parsed["event"].is_string() &&
                    parsed["message"].is_string())
            << "not a status line: " << line;
        lines.push_back(parsed);
    }
    return lines;
}

std::vector<uint8_t> packet(uint32_t length, size_t bytes, std::array<uint8_t, 4> rgba) {
    std::vector<uint8_t> data = {uint8_t(length), uint8_t(length >> 8), uint8_t(length >> 16),
                                 uint8_t(length >> 24)};
    for (size_t i = 0; i < bytes; ++i)
        data.push_back(rgba[i % 4]);
    return data;
}

struct TempHome {
    std::filesystem::path root;
    TempHome() {
        char pattern[] = "/tmp/pixelfeed-test-XXXXXX";
        root = ::mkdtemp(pattern);
    }
    ~TempHome() { std::filesystem::remove_all(root); }
    std::filesystem::path lock() const { return root / "Zarvo" / "camera-sender.lock"; }
};

Child startHolder(const std::string& executable, const std::filesystem::path& lock) {
    Child holder = spawnChild(executable, {lock.string()});
    EXPECT_GT(holder.pid, 0);
    EXPECT_EQ(Child::readLine(holder.output).value_or(""), "locked");
    return holder;
}

} // namespace

TEST(SenderProcess, ValidatesOneRedFrame) {
    Child sender = spawnChild(PIXELFEED_EXECUTABLE, {"--validate"});
    ASSERT_GT(sender.pid, 0);
    auto data = packet(uint32_t(kFrameBytes), kFrameBytes, {255, 0, 0, 255});
    ASSERT_TRUE(sender.writeAll(data.data(), data.size()));
    sender.closeInput();
    auto lines = statusLines(Child::readAll(sender.errors));
    EXPECT_EQ(sender.wait(), 0);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0]["event"], "ready");
    EXPECT_EQ(lines[0]["message"], "Frame validation mode; no device opened");
    EXPECT_EQ(lines[1]["event"], "validation-pixel");
    EXPECT_EQ(lines[1]["message"], "BGRA=0,0,255,255");
    EXPECT_EQ(lines[2]["event"], "closed");
    EXPECT_EQ(lines[2]["message"], "sent=1 dropped=0");
}

TEST(SenderProcess, BadHeaderAndCutFrameFallBackToBlack) {
    for (auto data : {packet(uint32_t(kFrameBytes + 1), 16, {1, 2, 3, 4}),
                      packet(uint32_t(kFrameBytes), 70'000, {255, 0, 0, 255})}) {
        Child sender = spawnChild(PIXELFEED_EXECUTABLE, {"x", "--validate"});
        ASSERT_TRUE(sender.writeAll(data.data(), data.size()));
        sender.closeInput();
        auto lines = statusLines(Child::readAll(sender.errors));
        EXPECT_EQ(sender.wait(), 0);
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[1]["event"], "black-fallback");
        EXPECT_EQ(lines[1]["message"], "Incomplete or invalid frame; output black");
        EXPECT_EQ(lines[2]["message"], "sent=0 dropped=0");
    }
}

// The pipe stays open but silent: the sender must treat it as ended on its own (about 1 s).
TEST(SenderProcess, SilentInputIsTreatedAsEnded) {
    Child sender = spawnChild(PIXELFEED_EXECUTABLE, {"--validate"});
    auto data = packet(uint32_t(kFrameBytes), kFrameBytes, {0, 0, 0, 255});
    ASSERT_TRUE(sender.writeAll(data.data(), data.size()));
    auto lines = statusLines(Child::readAll(sender.errors)); // ends when the sender exits
    EXPECT_EQ(sender.wait(), 0);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2]["event"], "closed");
    EXPECT_EQ(lines[2]["message"], "sent=1 dropped=0");
}

// A reader of the status lines that has gone away (signal 13 before) must not end the sender.
TEST(SenderProcess, StatusReaderGoneNeverKillsTheSender) {
    Child sender = spawnChild(PIXELFEED_EXECUTABLE, {"--validate"});
    ::close(sender.errors);
    sender.errors = -1;
    auto data = packet(uint32_t(kFrameBytes), kFrameBytes, {0, 0, 255, 255});
    auto bad = packet(7, 0, {});
    data.insert(data.end(), bad.begin(), bad.end()); // "black-fallback" must be written too
    ASSERT_TRUE(sender.writeAll(data.data(), data.size()));
    sender.closeInput();
    EXPECT_EQ(sender.wait(), 0);
}

TEST(SenderProcess, DeviceFailureIsAnErrorLineAndStatusOne) {
    TempHome home;
    // No PipeWire daemon answers in an empty runtime folder, so the loopback device is used.
    Child sender = spawnChild(PIXELFEED_EXECUTABLE, {"--virtualcamera4mac"},
                              {{"XDG_DATA_HOME", home.root.string()},
                               {"XDG_RUNTIME_DIR", home.root.string()},
                               {"ZARVO_VIRTUAL_CAMERA_OUTPUT", ""}});
    std::string first = Child::readLine(sender.errors).value_or("");
    auto line = nlohmann::json::parse(first, nullptr, false);
    if (line.is_object() && line["event"] == "ready")
        GTEST_SKIP() << "a VirtualCamera4Mac device exists here, so the sender does not fail";
    EXPECT_EQ(line["event"], "error");
    EXPECT_EQ(line["message"], "VirtualCamera4Mac is not installed or enabled");
    pid_t pid = sender.pid;
    EXPECT_EQ(sender.wait(), 1);
    // It took the lock before looking for the device: the file carries its id.
    std::ifstream lock(home.lock());
    std::string holder((std::istreambuf_iterator<char>(lock)), {});
    EXPECT_EQ(holder, std::to_string(pid));
    EXPECT_EQ(std::filesystem::status(home.lock()).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST(SenderLock, ParsesOnlyASignedDecimal32BitID) {
    EXPECT_EQ(parseLockHolder("1234"), 1234);
    EXPECT_EQ(parseLockHolder("+77"), 77);
    EXPECT_EQ(parseLockHolder("-5"), -5);
    EXPECT_EQ(parseLockHolder(""), std::nullopt);
    EXPECT_EQ(parseLockHolder("12ab"), std::nullopt);
    EXPECT_EQ(parseLockHolder("+-3"), std::nullopt);
    EXPECT_EQ(parseLockHolder("4294967297"), std::nullopt);
}

TEST(SenderLock, FreeLockIsTakenAndCarriesOurID) {
    TempHome home;
    int fd = acquireSenderLock(home.lock());
    std::ifstream in(home.lock());
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text, std::to_string(::getpid()));
    ::close(fd);
}

TEST(SenderLock, TakesOverFromAStaleSenderNamedPixelfeed) {
    TempHome home;
    Child holder = startHolder(LOCK_HOLDER_NAMED_PIXELFEED, home.lock());
    pid_t holderPid = holder.pid;
    int sleeps = 0;
    SenderLockHooks hooks;
    // Each retry waits for the holder to be gone instead of for real time to pass.
    hooks.sleep = [&](std::chrono::nanoseconds) {
        ++sleeps;
        if (holder.pid > 0) {
            EXPECT_EQ(holder.wait(), -SIGTERM);
        }
    };
    int fd = acquireSenderLock(home.lock(), hooks);
    EXPECT_EQ(sleeps, 1);
    EXPECT_EQ(holder.pid, -1) << "holder " << holderPid << " was not terminated";
    ::close(fd);
}

TEST(SenderLock, LeavesAnotherProgramAloneAndGivesUpAfterThirtyTries) {
    TempHome home;
    Child holder = startHolder(LOCK_HOLDER_OTHER_NAME, home.lock());
    int sleeps = 0;
    SenderLockHooks hooks;
    hooks.sleep = [&](std::chrono::nanoseconds d) {
        EXPECT_EQ(d, std::chrono::milliseconds(100));
        ++sleeps;
    };
    try {
        acquireSenderLock(home.lock(), hooks);
        FAIL() << "took a lock that another program holds";
    } catch (const Failure& failure) {
        EXPECT_STREQ(failure.what(), "Another camera sender is active");
    }
    EXPECT_EQ(sleeps, 30);
    EXPECT_EQ(::kill(holder.pid, 0), 0) << "the other program was signalled";
    int status;
    EXPECT_EQ(::waitpid(holder.pid, &status, WNOHANG), 0);
}

TEST(SenderLock, NeverSignalsOnAMadeUpID) {
    TempHome home;
    Child holder = startHolder(LOCK_HOLDER_NAMED_PIXELFEED, home.lock());
    // The lock file is rewritten to name some other process: that one is not a sender.
    std::ofstream(home.lock(), std::ios::trunc) << "1";
    std::vector<pid_t> signalled;
    SenderLockHooks hooks;
    hooks.sleep = [](std::chrono::nanoseconds) {};
    hooks.terminate = [&](pid_t pid) { signalled.push_back(pid); };
    EXPECT_THROW(acquireSenderLock(home.lock(), hooks), Failure);
    EXPECT_TRUE(signalled.empty());
}

// The real program against a real stale sender: it must get past the lock within its 3 s.
TEST(SenderProcess, SecondSenderTakesOverFromTheFirst) {
    TempHome home;
    Child holder = startHolder(LOCK_HOLDER_NAMED_PIXELFEED, home.lock());
    Child sender = spawnChild(
        PIXELFEED_EXECUTABLE, {"--virtualcamera4mac"},
        {{"XDG_DATA_HOME", home.root.string()}, {"XDG_RUNTIME_DIR", home.root.string()}});
    auto line = nlohmann::json::parse(Child::readLine(sender.errors).value_or(""), nullptr, false);
    ASSERT_TRUE(line.is_object());
    EXPECT_NE(line["message"], "Another camera sender is active");
    EXPECT_EQ(holder.wait(), -SIGTERM);
}
