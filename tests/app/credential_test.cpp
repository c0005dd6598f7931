#include "app/credential.h"

#include "foundation/atomic_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace zarvo {
namespace {

class CredentialTest : public ::testing::Test {
protected:
    CredentialTest() {
        sources.credentialFile = std::filesystem::temp_directory_path() /
                                 ("zarvo-credential-" + std::to_string(::getpid()));
    }
    ~CredentialTest() override { std::filesystem::remove(sources.credentialFile); }
    void writeCredential(const std::string& text, mode_t mode) {
        ASSERT_TRUE(writeFileAtomically(sources.credentialFile, text).ok());
        ::chmod(sources.credentialFile.c_str(), mode);
    }
    CredentialSources sources;
};

TEST_F(CredentialTest, ADevelopmentDeploymentNeverGetsThePrivateCredential) {
    writeCredential("real-token\n", 0600);
    EXPECT_EQ(resolveAccountCredential(sources), "real-token");

    sources.developmentDeployment = true;
    sources.deploymentToken = "dev-token";
    EXPECT_EQ(resolveAccountCredential(sources), "dev-token");
    // Without a token of its own the development host gets none rather than the real one.
    sources.deploymentToken.reset();
    EXPECT_EQ(resolveAccountCredential(sources), std::nullopt);

    // The environment's token is the user's explicit choice and wins everywhere.
    sources.deploymentToken = "dev-token";
    sources.environmentToken = "  env-token ";
    EXPECT_EQ(resolveAccountCredential(sources), "env-token");
    sources.environmentToken = ""; // set but empty counts as absent
    EXPECT_EQ(resolveAccountCredential(sources), "dev-token");
}

TEST_F(CredentialTest, AFileOthersCanReadIsRefused) {
    writeCredential("file-token", 0640);
    EXPECT_EQ(resolveAccountCredential(sources), std::nullopt);
    writeCredential("file-token", 0604);
    EXPECT_EQ(resolveAccountCredential(sources), std::nullopt);
    writeCredential("file-token", 0400);
    EXPECT_EQ(resolveAccountCredential(sources), "file-token");

    auto link = sources.credentialFile.string() + ".link";
    std::filesystem::create_symlink(sources.credentialFile, link);
    CredentialSources linked{std::nullopt, link, std::nullopt};
    EXPECT_EQ(resolveAccountCredential(linked), std::nullopt);
    std::filesystem::remove(link);
}

TEST_F(CredentialTest, ATokenThatWouldBreakTheHeaderIsRefused) {
    sources.environmentToken = "abc\r\nX-Injected: 1";
    EXPECT_EQ(resolveAccountCredential(sources), std::nullopt);
    writeCredential("   \n", 0600);
    EXPECT_EQ(resolveAccountCredential(sources), std::nullopt);
}

} // namespace
} // namespace zarvo
