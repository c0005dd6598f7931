#include "update/bundle_signature.h"
#include "update/code_signature.h"
#include "update_test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace zarvo {
namespace {

using namespace testing_support;

const std::string kIdentifier = "cn.zarvo.morvex.workbench";

class BundleSignatureTest : public ::testing::Test {
protected:
    void SetUp() override {
        key = makeSigningKey(dir.path());
        auto raw = BundleSignature::publicKeyOf(key);
        ASSERT_TRUE(raw.ok());
        trusted = {{"ZDEVKEY001", *raw}};
        app = makeBundle(dir.path(), "1.0.30");
        ASSERT_TRUE(BundleSignature::sign(app, key, "ZDEVKEY001", kIdentifier).ok());
    }
    Status<> check() { return BundleSignature::verify(app, trusted, kIdentifier); }

    TempDir dir;
    fs::path key, app;
    std::vector<TrustedKey> trusted;
};

TEST_F(BundleSignatureTest, SignedBundleVerifiesAndAnyChangeFails) {
    ASSERT_TRUE(check().ok()) << check().error().message;

    // An extra file, even an empty one, anywhere in the bundle.
    ASSERT_TRUE(writeFileAtomically(app / "Contents/Resources/extra", "").ok());
    EXPECT_FALSE(check().ok());
    fs::remove(app / "Contents/Resources/extra");
    ASSERT_TRUE(check().ok());

    // A changed byte.
    ASSERT_TRUE(
        writeFileAtomically(app / "Contents/Resources/Versions/A/page.html", "<p>y</p>").ok());
    EXPECT_FALSE(check().ok());
}

TEST_F(BundleSignatureTest, MissingFileModeChangeAndRetargetedLinkFail) {
    fs::permissions(app / "Contents/MacOS/Zarvo", fs::perms(0644));
    EXPECT_FALSE(check().ok());
    fs::permissions(app / "Contents/MacOS/Zarvo", fs::perms(0755));
    ASSERT_TRUE(check().ok());

    fs::remove(app / "Contents/Resources/Versions/Current");
    EXPECT_FALSE(check().ok()) << "missing link";
    fs::create_directory_symlink("A/../A", app / "Contents/Resources/Versions/Current");
    EXPECT_FALSE(check().ok()) << "changed target";

    fs::remove(app / "Contents/Resources/Versions/Current");
    fs::create_directory_symlink("A", app / "Contents/Resources/Versions/Current");
    ASSERT_TRUE(check().ok());
    fs::remove(app / "Contents/Info.plist");
    EXPECT_FALSE(check().ok()) << "missing file";
}

TEST_F(BundleSignatureTest, LinksLeavingTheBundleAreNeverSignedOrAccepted) {
    TempDir other;
    fs::path leaky = makeBundle(other.path(), "1.0.31");
    fs::create_symlink("/etc/passwd", leaky / "Contents/Resources/abs");
    EXPECT_FALSE(BundleSignature::sign(leaky, key, "ZDEVKEY001", kIdentifier).ok());
    fs::remove(leaky / "Contents/Resources/abs");
    fs::create_symlink("../../../outside", leaky / "Contents/Resources/rel");
    EXPECT_FALSE(BundleSignature::sign(leaky, key, "ZDEVKEY001", kIdentifier).ok());

    // A link added after signing that climbs out fails even though it dangles.
    fs::create_symlink("../../../../outside", app / "Contents/MacOS/escape");
    EXPECT_FALSE(check().ok());
}

// Every permission bit of files and folders is signed; special bits and write access for others
// are never signed nor accepted, whatever the manifest says.
TEST_F(BundleSignatureTest, AllModeBitsOfFilesAndFoldersAreSignedAndUnsafeOnesRefused) {
    const fs::path executable = app / "Contents/MacOS/Zarvo";
    for (unsigned mode : {0777u, 04755u, 02755u, 0775u, 0757u}) {
        ASSERT_EQ(::chmod(executable.c_str(), mode), 0);
        EXPECT_FALSE(check().ok()) << std::oct << mode;
        EXPECT_FALSE(BundleSignature::sign(app, key, "ZDEVKEY001", kIdentifier).ok())
            << std::oct << mode;
    }
    ASSERT_EQ(::chmod(executable.c_str(), 0755), 0);
    ASSERT_TRUE(BundleSignature::sign(app, key, "ZDEVKEY001", kIdentifier).ok());
    ASSERT_TRUE(check().ok());

    const fs::path folder = app / "Contents/Resources";
    for (unsigned mode : {0700u, 0777u, 01755u}) {
        ASSERT_EQ(::chmod(folder.c_str(), mode), 0);
        EXPECT_FALSE(check().ok()) << "folder " << std::oct << mode;
    }
    ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    ASSERT_TRUE(check().ok());
    fs::create_directory(app / "Contents/Empty");
    EXPECT_FALSE(check().ok()) << "an added empty folder";
    fs::remove(app / "Contents/Empty");

    // A copy whose umask spoilt the modes gets the signed ones back.
    ASSERT_EQ(::chmod(executable.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
    ASSERT_TRUE(BundleSignature::applySignedModes(app).ok());
    EXPECT_TRUE(check().ok());

    // A manifest of the first format (no folders) is refused, even when correctly signed.
    auto manifest = readFile(app / BundleSignature::manifestPath);
    ASSERT_TRUE(manifest);
    Json old = *parseJsonObject(*manifest);
    old.erase("format");
    old.erase("folders");
    // Re-signed with the same key through a bundle whose manifest is replaced: the signature
    // check passes only if the bytes are signed, so sign them with openssl.
    const fs::path oldManifest = dir.path() / "old.json", oldSig = dir.path() / "old.sig";
    ASSERT_TRUE(writeFileAtomically(oldManifest, old.dump(1) + "\n"));
    ASSERT_TRUE(command("openssl", {"pkeyutl", "-sign", "-rawin", "-inkey", key.string(), "-in",
                                    oldManifest.string(), "-out", oldSig.string()})
                    .ok());
    fs::copy_file(oldManifest, app / BundleSignature::manifestPath,
                  fs::copy_options::overwrite_existing);
    fs::copy_file(oldSig, app / BundleSignature::signaturePath,
                  fs::copy_options::overwrite_existing);
    auto refused = check();
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message, "the bundle is signed in an older format");
}

// Each link's text stays inside, but resolved through the other link it leaves the bundle.
TEST_F(BundleSignatureTest, LinksAreResolvedThroughTheBundlesOwnLinks) {
    TempDir other;
    fs::path leaky = makeBundle(other.path(), "1.0.31");
    fs::create_directories(other.path() / "outside");
    ASSERT_TRUE(writeFileAtomically(other.path() / "outside/secret.txt", "secret"));
    fs::create_directory_symlink("..", leaky / "Contents/Resources/up");
    fs::create_symlink("up/../../../outside/secret.txt", leaky / "Contents/Resources/escape");
    auto signedLeaky = BundleSignature::sign(leaky, key, "ZDEVKEY001", kIdentifier);
    ASSERT_FALSE(signedLeaky.ok());
    EXPECT_EQ(signedLeaky.error().message, "the link Contents/Resources/escape leaves the bundle");

    // A loop of links is refused rather than followed for ever.
    fs::remove(leaky / "Contents/Resources/escape");
    fs::remove(leaky / "Contents/Resources/up");
    fs::create_symlink("b", leaky / "Contents/Resources/a");
    fs::create_symlink("a", leaky / "Contents/Resources/b");
    EXPECT_FALSE(BundleSignature::sign(leaky, key, "ZDEVKEY001", kIdentifier).ok());

    // The same pair added to a signed bundle fails verification, and links that resolve
    // inside through one another still sign and verify.
    fs::create_directory_symlink("..", app / "Contents/Resources/up");
    fs::create_symlink("up/MacOS/Zarvo", app / "Contents/Resources/inside");
    ASSERT_TRUE(BundleSignature::sign(app, key, "ZDEVKEY001", kIdentifier).ok());
    ASSERT_TRUE(check().ok());
    fs::create_symlink("up/../../../outside/secret.txt", app / "Contents/Resources/escape");
    auto refused = check();
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message, "the link Contents/Resources/escape leaves the bundle");
}

TEST_F(BundleSignatureTest, SignatureMustComeFromATrustedKeyForTheProductIdentifier) {
    // Missing signature.
    TempDir other;
    fs::path unsigned_ = makeBundle(other.path(), "1.0.30");
    EXPECT_FALSE(BundleSignature::verify(unsigned_, trusted, kIdentifier).ok());

    // Another key under the trusted key id.
    fs::path stranger = makeSigningKey(other.path());
    ASSERT_TRUE(BundleSignature::sign(unsigned_, stranger, "ZDEVKEY001", kIdentifier).ok());
    EXPECT_FALSE(BundleSignature::verify(unsigned_, trusted, kIdentifier).ok());

    // The right key, but a key id nobody trusts, or another identifier.
    ASSERT_TRUE(BundleSignature::sign(unsigned_, key, "OTHERTEAM1", kIdentifier).ok());
    EXPECT_FALSE(BundleSignature::verify(unsigned_, trusted, kIdentifier).ok());
    ASSERT_TRUE(BundleSignature::sign(unsigned_, key, "ZDEVKEY001", "cn.other.app").ok());
    EXPECT_FALSE(BundleSignature::verify(unsigned_, trusted, kIdentifier).ok());

    // An edited manifest (a file re-listed with its new digest) breaks the signature.
    auto manifest = readFile(app / BundleSignature::manifestPath);
    ASSERT_TRUE(manifest);
    std::string edited = *manifest;
    edited.replace(edited.find("\"mode\": \"0755\""), 14, "\"mode\": \"0644\"");
    ASSERT_TRUE(writeFileAtomically(app / BundleSignature::manifestPath, edited).ok());
    fs::permissions(app / "Contents/MacOS/Zarvo", fs::perms(0644));
    EXPECT_FALSE(check().ok());

    // A truncated signature file.
    ASSERT_TRUE(writeFileAtomically(app / BundleSignature::signaturePath, "short").ok());
    EXPECT_FALSE(check().ok());
}

TEST_F(BundleSignatureTest, ApplicationCheckTrustsTheDeploymentKeyAndTheInfoPlistIdentifier) {
    fs::path deploymentFile = dir.path() / "deployment.json";
    ASSERT_TRUE(writeFileAtomically(deploymentFile,
                                    Json{{"release_key",
                                          {{"key_id", "ZDEVKEY001"},
                                           {"public_key", base64Encode(trusted[0].publicKey)}}}}
                                        .dump())
                    .ok());
    setCurrentDeployment(testDeployment());
    EXPECT_FALSE(CodeSignature::verifyApplication(app).ok())
        << "production trusts only its own key";
    setCurrentDeployment(testDeployment(deploymentFile));
    EXPECT_TRUE(CodeSignature::verifyApplication(app).ok());

    // A bundle signed for the product but whose Info.plist names another identifier.
    ASSERT_TRUE(
        writeFileAtomically(app / "Contents/Info.plist", infoPlist("1.0.30", "cn.other.app")).ok());
    ASSERT_TRUE(BundleSignature::sign(app, key, "ZDEVKEY001", kIdentifier).ok());
    EXPECT_FALSE(CodeSignature::verifyApplication(app).ok());
    clearCurrentDeployment();
}

TEST(PlistString, ReadsStringValuesOnly) {
    TempDir dir;
    fs::path plist = dir.path() / "Info.plist";
    ASSERT_TRUE(writeFileAtomically(plist, "<dict><key>A</key><string>x &amp; y</string>"
                                           "<key>B</key><integer>3</integer>"
                                           "<key>C</key><string/></dict>")
                    .ok());
    EXPECT_EQ(plistString(plist, "A"), "x & y");
    EXPECT_EQ(plistString(plist, "B"), std::nullopt);
    EXPECT_EQ(plistString(plist, "C"), "");
    EXPECT_EQ(plistString(plist, "D"), std::nullopt);

    // A bundle's plist is outside bytes: a value of megabytes is read, not a stack overflow, and
    // the value is the element after the first key that has one.
    const std::string big(4 << 20, 'v');
    ASSERT_TRUE(writeFileAtomically(plist, "<key>A</key>< string >" + big +
                                               "</string><key>A</key><string>late</string>")
                    .ok());
    EXPECT_EQ(plistString(plist, "A"), "late");
    ASSERT_TRUE(
        writeFileAtomically(plist, "<key> A </key>\n\t<string >" + big + "&amp;lt;</string>").ok());
    EXPECT_EQ(plistString(plist, "A"), big + "&lt;");
}

} // namespace
} // namespace zarvo
