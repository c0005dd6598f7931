#include "foundation/process.h"

#include <gtest/gtest.h>

namespace zarvo {
namespace {

TEST(Command, ReturnsStandardOutputOrTheExitStatus) {
    auto ok = command("/bin/sh", {"-c", "printf 'a b'; echo err >&2"});
    ASSERT_TRUE(ok);
    EXPECT_EQ(*ok, "a b");
    auto failed = command("sh", {"-c", "exit 3"});
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().code, 3);
    auto missing = command("/nonexistent/tool", {});
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, -1);
}

} // namespace
} // namespace zarvo
