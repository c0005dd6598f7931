#include "foundation/user_defaults.h"

#include "foundation/atomic_file.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace zarvo {
namespace {

TEST(UserDefaults, ValuesPersistAcrossInstancesWithTheirTypes) {
    auto file = std::filesystem::temp_directory_path() /
                ("zarvo-defaults-" + std::to_string(getpid())) / "defaults.json";
    std::filesystem::remove_all(file.parent_path());
    {
        UserDefaults defaults(file);
        EXPECT_FALSE(defaults.string("networkRouteMode"));
        EXPECT_TRUE(defaults.set("networkRouteMode", "secondary"));
        EXPECT_TRUE(defaults.set("editingMode", 2));
        EXPECT_TRUE(defaults.set("mirrorPreview", true));
    }
    UserDefaults reread(file);
    EXPECT_EQ(reread.string("networkRouteMode"), "secondary");
    EXPECT_EQ(reread.integer("editingMode"), 2);
    EXPECT_EQ(reread.boolean("mirrorPreview"), true);
    EXPECT_FALSE(reread.integer("networkRouteMode")); // wrong type reads as absent
    EXPECT_TRUE(reread.remove("editingMode"));
    EXPECT_FALSE(UserDefaults(file).integer("editingMode"));
    std::filesystem::remove_all(file.parent_path());
}

TEST(UserDefaults, ACorruptFileStartsEmpty) {
    auto file = std::filesystem::temp_directory_path() /
                ("zarvo-defaults-bad-" + std::to_string(getpid()) + ".json");
    ASSERT_TRUE(writeFileAtomically(file, "{not json"));
    UserDefaults defaults(file);
    EXPECT_FALSE(defaults.string("networkRouteMode"));
    std::filesystem::remove(file);
}

} // namespace
} // namespace zarvo
