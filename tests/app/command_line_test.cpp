#include "app/command_line.h"

#include <gtest/gtest.h>

namespace zarvo {
namespace {

TEST(CommandLine, OptionsAreFoundAnywhereAndTakeTheNextArgument) {
    auto options = CommandLineOptions::parse(
        {"-psn_0", "--page", "billing", "--snapshot", "/tmp/shot.png", "--with-account"});
    EXPECT_TRUE(options.snapshotMode);
    EXPECT_EQ(options.snapshot, "/tmp/shot.png");
    EXPECT_EQ(options.page, "billing");
    EXPECT_TRUE(options.withAccount);
    EXPECT_FALSE(options.smokeConfig);

    auto bare = CommandLineOptions::parse({"--smoke-config", "run.json", "--snapshot"});
    EXPECT_TRUE(bare.snapshotMode); // still skips the instance check
    EXPECT_FALSE(bare.snapshot);
    EXPECT_EQ(bare.smokeConfig, "run.json");
}

} // namespace
} // namespace zarvo
