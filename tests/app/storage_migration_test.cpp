#include "app/storage_migration.h"

#include "foundation/atomic_file.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace zarvo {
namespace {

namespace fs = std::filesystem;

class StorageMigration : public ::testing::Test {
protected:
    void SetUp() override {
        support = fs::temp_directory_path() / ("zarvo-migration-" + std::to_string(getpid()));
        fs::remove_all(support);
        fs::create_directories(support);
        current = support / "Zarvo";
        legacy = support / "MorvexWorkbench";
    }
    void TearDown() override { fs::remove_all(support); }
    fs::path support, current, legacy;
};

TEST_F(StorageMigration, LegacyOnlyBecomesALinkThroughWhichOldFilesAreVisible) {
    ASSERT_TRUE(writeFileAtomically(legacy / "presets.json", "[1]"));
    ASSERT_TRUE(migrateStorage(current, legacy));
    EXPECT_TRUE(fs::is_symlink(current));
    EXPECT_EQ(fs::read_symlink(current), legacy);
    EXPECT_EQ(readFile(current / "presets.json"), "[1]");
    EXPECT_EQ(readFile(legacy / "presets.json"), "[1]"); // nothing moved
    // A second start leaves the link as it is.
    ASSERT_TRUE(migrateStorage(current, legacy));
    EXPECT_TRUE(fs::is_symlink(current));
    EXPECT_EQ(fs::read_symlink(current), legacy);
}

TEST_F(StorageMigration, BothPresentOrNeitherIsLeftAlone) {
    ASSERT_TRUE(migrateStorage(current, legacy));
    EXPECT_FALSE(fs::exists(current));
    ASSERT_TRUE(writeFileAtomically(current / "mine.json", "new"));
    ASSERT_TRUE(writeFileAtomically(legacy / "old.json", "old"));
    ASSERT_TRUE(migrateStorage(current, legacy));
    EXPECT_FALSE(fs::is_symlink(current));
    EXPECT_FALSE(fs::exists(current / "old.json"));
}

TEST_F(StorageMigration, ALinkThatCannotBeMadeIsAnError) {
    fs::create_directories(legacy);
    // The link's folder cannot hold it (a file stands there), as on a read-only home.
    ASSERT_TRUE(writeFileAtomically(support / "blocked", ""));
    EXPECT_FALSE(migrateStorage(support / "blocked" / "Zarvo", legacy));
    EXPECT_TRUE(fs::exists(legacy));
}

TEST_F(StorageMigration, ADanglingLinkIsAFailedLinkAndIsLeftAsItIs) {
    const fs::path gone = support / "unmounted";
    fs::create_directory_symlink(gone, current);
    for (bool withLegacy : {false, true}) {
        if (withLegacy) {
            ASSERT_TRUE(writeFileAtomically(legacy / "old.json", "old"));
        }
        EXPECT_FALSE(migrateStorage(current, legacy)) << "legacy present: " << withLegacy;
        EXPECT_TRUE(fs::is_symlink(current));
        EXPECT_EQ(fs::read_symlink(current), gone);
        EXPECT_FALSE(fs::exists(gone));
    }
    EXPECT_EQ(readFile(legacy / "old.json"), "old");
}

} // namespace
} // namespace zarvo
