#include "app/command_line.h"

#include <gtest/gtest.h>

namespace zarvo {
namespace {

TEST(CommandLine, OptionsAreFoundAnywhereAndTakeTheNextArgument) {
    auto options = CommandLineOptions::parse(
        {"-psn_0", "--page", "bill", "--snapshot", "/tmp/shot.png", "--with-account"});
    ASSERT_TRUE(options) << options.error().message;
    EXPECT_TRUE(options->snapshotMode);
    EXPECT_EQ(options->snapshot, "/tmp/shot.png");
    EXPECT_EQ(options->page, "bill");
    EXPECT_TRUE(options->withAccount);
    EXPECT_FALSE(options->smokeConfig);

    auto selfRun = CommandLineOptions::parse({"--smoke-config", "run.json"});
    ASSERT_TRUE(selfRun);
    EXPECT_FALSE(selfRun->snapshotMode); // the instance check applies
    EXPECT_EQ(selfRun->smokeConfig, "run.json");
}

// A wrong call of an unattended mode must fail, never start an interactive Zarvo past the
// single-instance rule or a screenshot of something else than asked.
TEST(CommandLine, WrongInvocationsAreRefusedWithAMessage) {
    const std::vector<std::vector<std::string>> wrong = {
        {"--snapshot"},
        {"--snapshot", "--with-account"},
        {"--smoke-config", "run.json", "--snapshot"},
        {"--snapshot", "a.png", "--smoke-config", "run.json"},
        {"--snapshot", "a.png", "--page"},
        {"--snapshot", "a.png", "--page", "billing"},
        {"--snapshot", "a.png", "--snapshot", "b.png"},
        {"--page", "live"},
        {"--with-account"},
        {"--reference-preview", "ref.jpg"},
        {"--snapshots", "a.png"},
    };
    for (const auto& arguments : wrong) {
        auto parsed = CommandLineOptions::parse(arguments);
        std::string call;
        for (const auto& argument : arguments)
            call += argument + " ";
        ASSERT_FALSE(parsed) << call;
        EXPECT_EQ(parsed.error().message.rfind("Zarvo：", 0), 0u) << parsed.error().message;
    }
    EXPECT_TRUE(CommandLineOptions::parse({}));
}

} // namespace
} // namespace zarvo
