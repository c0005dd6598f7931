#include "app/running_applications.h"

#include "foundation/atomic_file.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace zarvo {
namespace {

namespace fs = std::filesystem;

// A fake /proc: numbered folders whose "exe" links name executables in fake bundles.
class RunningApplicationsTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() / ("zarvo-proc-" + std::to_string(getpid()));
        fs::remove_all(root);
        fs::create_directories(root / "proc");
    }
    void TearDown() override { fs::remove_all(root); }

    fs::path bundle(const std::string& name, const std::string& identifier) {
        fs::path contents = root / "Applications" / (name + ".app") / "Contents";
        fs::create_directories(contents / "MacOS");
        EXPECT_TRUE(writeFileAtomically(
            contents / "Info.plist",
            "<plist><dict><key>CFBundleExecutable</key><string>Zarvo</string>"
            "<key>CFBundleIdentifier</key>\n  <string>" +
                identifier + "</string></dict></plist>"));
        return contents / "MacOS";
    }
    void process(int pid, const fs::path& executable) {
        fs::create_directories(root / "proc" / std::to_string(pid));
        fs::create_symlink(executable, root / "proc" / std::to_string(pid) / "exe");
    }
    std::vector<RunningApplication> list() { return listRunningApplications(root / "proc", getuid()); }

    fs::path root;
};

TEST_F(RunningApplicationsTest, BundleMainExecutablesAndBareZarvoAreApplications) {
    auto zarvo = bundle("Zarvo 1.0.29", "cn.zarvo.morvex.workbench");
    process(100, zarvo / "Zarvo");
    process(101, zarvo / "pixelfeed"); // a helper of the bundle is not an application
    process(102, root / "build" / "Zarvo");
    process(103, "/usr/bin/bash");
    fs::create_directories(root / "proc" / "self");
    auto apps = list();
    ASSERT_EQ(apps.size(), 2u);
    std::sort(apps.begin(), apps.end(), [](auto& a, auto& b) { return a.pid < b.pid; });
    EXPECT_EQ(apps[0].pid, 100);
    EXPECT_EQ(apps[0].bundleIdentifier, "cn.zarvo.morvex.workbench");
    EXPECT_EQ(apps[1].pid, 102);
    EXPECT_FALSE(apps[1].bundleIdentifier);
}

TEST_F(RunningApplicationsTest, ConflictIsTheSameIdentifierUnderAnotherPid) {
    auto identifier = std::optional<std::string>("cn.zarvo.morvex.workbench");
    std::vector<RunningApplication> apps = {{10, "/a/Zarvo", identifier}, {20, "/b/Zarvo", {}}};
    EXPECT_FALSE(hasConflictingInstance(apps, 10, identifier)); // only ourselves
    EXPECT_TRUE(hasConflictingInstance(apps, 11, identifier));
    // Two missing identifiers are equal: a second build-tree run conflicts with the first.
    EXPECT_TRUE(hasConflictingInstance(apps, 30, std::nullopt));
    EXPECT_FALSE(hasConflictingInstance(apps, 20, std::nullopt));
    EXPECT_FALSE(hasConflictingInstance(apps, 30, std::string("other.identifier")));
}

TEST_F(RunningApplicationsTest, OldWorkbenchBundleWithOurIdentifierConflicts) {
    auto old = bundle("Zarvo 1.0.28", "cn.zarvo.morvex.workbench");
    process(200, old / "Zarvo");
    EXPECT_TRUE(hasConflictingInstance(list(), 300, std::string("cn.zarvo.morvex.workbench")));
}

TEST(RunningApplications, ThisProcessTableListsNoOtherFakeZarvo) {
    // The real /proc can be read; this test binary is not an application.
    for (const auto& app : listRunningApplications("/proc", getuid()))
        EXPECT_NE(app.pid, getpid());
}

} // namespace
} // namespace zarvo
