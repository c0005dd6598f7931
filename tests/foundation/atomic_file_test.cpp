#include "foundation/atomic_file.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zarvo {
namespace {

namespace fs = std::filesystem;

class AtomicFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("zarvo-atomic-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        chmod(dir.c_str(), 0755);
        fs::remove_all(dir);
    }
    fs::path dir;
};

TEST_F(AtomicFileTest, CreatesParentsAndReplacesWholeFile) {
    auto file = dir / "a" / "b" / "state.json";
    ASSERT_TRUE(writeFileAtomically(file, "first"));
    ASSERT_TRUE(writeFileAtomically(file, "second, longer"));
    EXPECT_EQ(readFile(file), "second, longer");
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()),
              1);
}

TEST_F(AtomicFileTest, ASecretIsOwnerOnlyAndOtherFilesKeepTheUsualMode) {
    auto secret = dir / "token";
    auto plain = dir / "settings.json";
    ASSERT_TRUE(writeFileAtomically(secret, "t0k3n", 0600));
    ASSERT_TRUE(writeFileAtomically(plain, "{}"));
    struct stat info {};
    ASSERT_EQ(stat(secret.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(plain.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST_F(AtomicFileTest, AWriterKilledMidWriteLeavesTheOldFileWhole) {
    auto file = dir / "presets.json";
    ASSERT_TRUE(writeFileAtomically(file, "old contents"));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The file size limit kills the writer with SIGXFSZ at its first megabyte: always in the
        // middle of the write, however busy the machine.
        rlimit size{1u << 20, 1u << 20}, core{0, 0};
        setrlimit(RLIMIT_CORE, &core);
        setrlimit(RLIMIT_FSIZE, &size);
        (void)writeFileAtomically(file, std::string(8u << 20, 'x'));
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer was not killed, status " << status;
    EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
    EXPECT_EQ(readFile(file), "old contents");
}

TEST_F(AtomicFileTest, AFailedWriteReportsAndKeepsTheOldFile) {
    auto file = dir / "state.json";
    ASSERT_TRUE(writeFileAtomically(file, "kept"));
    // A file where the folder should be: creating the temporary file fails, even for root.
    auto result = writeFileAtomically(file / "child.json", "lost");
    EXPECT_FALSE(result);
    EXPECT_FALSE(result.error().message.empty());
    EXPECT_EQ(readFile(file), "kept");
}

TEST_F(AtomicFileTest, AFolderInTheWayIsAnError) {
    auto file = dir / "taken";
    fs::create_directories(file / "inner");
    EXPECT_FALSE(writeFileAtomically(file, "x"));
    EXPECT_TRUE(fs::is_directory(file / "inner"));
}

} // namespace
} // namespace zarvo
