#include "app/credential.h"

#include "foundation/atomic_file.h"
#include "foundation/glib_loop.h"

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

// A sign-in keeps the token in the private file through the keeper's queue; the next start reads
// it back, a sign-out removes it, and the folder and file stay private throughout.
TEST(FileCredentialStoreTest, KeepsTheTokenPrivateAcrossARestartUntilErased) {
    const auto folder = std::filesystem::temp_directory_path() /
                        ("zarvo-credential-store-" + std::to_string(::getpid())) / "Zarvo";
    std::filesystem::remove_all(folder.parent_path());
    const auto file = folder / "credential";
    GLibLoop loop;
    std::optional<CredentialWrite> written;
    {
        CredentialKeeper keeper(loop, std::make_shared<FileCredentialStore>(file));
        EXPECT_EQ(keeper.storage(), CredentialStorage::file);
        keeper.write("fresh-token", [&](CredentialWrite result) { written = std::move(result); });
        ASSERT_TRUE(loop.runUntil([&] { return written.has_value(); }, std::chrono::seconds(30)));
        ASSERT_TRUE(written->ok());
    }
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    ASSERT_EQ(::stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);

    // The next start: a new store on the same file, through the precedence rules.
    FileCredentialStore again(file);
    CredentialSources sources;
    EXPECT_EQ(resolveAccountCredential(sources, &again), "fresh-token");
    sources.environmentToken = "env-token";
    EXPECT_EQ(resolveAccountCredential(sources, &again), "env-token");
    sources.environmentToken.reset();
    sources.developmentDeployment = true;
    EXPECT_EQ(resolveAccountCredential(sources, &again), std::nullopt);

    std::optional<CredentialRead> read;
    {
        CredentialKeeper keeper(loop, std::make_shared<FileCredentialStore>(file));
        std::optional<CredentialWrite> erased;
        keeper.erase([&](CredentialWrite result) { erased = std::move(result); });
        keeper.read([&](CredentialRead result) { read = std::move(result); });
        ASSERT_TRUE(loop.runUntil([&] { return read.has_value(); }, std::chrono::seconds(30)));
        ASSERT_TRUE(erased && erased->ok());
    }
    ASSERT_TRUE(read->ok());
    EXPECT_EQ(**read, std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(file));
    std::filesystem::remove_all(folder.parent_path());
}

} // namespace
} // namespace zarvo
