#include "update/release_validation.h"
#include "update/update_mirror.h"
#include "update/url_error.h"
#include "update_test_support.h"

#include <gtest/gtest.h>

namespace zarvo {
namespace {

using namespace testing_support;
namespace RV = ReleaseValidation;

const std::string kFolder = "https://api.zarvo.test/downloads/workbench/zarvo/linux/";

class ReleaseRules : public ::testing::Test {
protected:
    void SetUp() override { setCurrentDeployment(testDeployment()); }
    void TearDown() override { clearCurrentDeployment(); }

    static ClientRelease release() {
        ClientRelease r;
        r.version = "1.0.30";
        r.url = kFolder + "Zarvo-1.0.30-linux-x64.zip";
        r.sha256 = std::string(64, 'a');
        r.notes = "修复了若干问题";
        r.architecture = "x86_64";
        r.platform = "linux";
        r.size = 1000;
        r.publishedAt = "2026-03-01T08:00:00Z";
        return r;
    }
};

TEST_F(ReleaseRules, VersionsCompareOnlyWhenBothAreThreePlainNumbers) {
    EXPECT_TRUE(RV::newer("1.0.30", "1.0.29"));
    EXPECT_TRUE(RV::newer("2.0.0", "1.99999.99999"));
    EXPECT_FALSE(RV::newer("1.0.29", "1.0.29"));
    EXPECT_FALSE(RV::newer("1.0.3", "1.0.29"));
    EXPECT_FALSE(RV::newer("1.1", "1.0.29"));
    EXPECT_FALSE(RV::newer("2.0.0", "1.0")); // the current version is invalid
    for (const char* bad :
         {"01.0.29", "1.0", "1.0.29-beta", "123456.0.0", " 1.0.29", "1.0.29\n", "1..29", "+1.0.29"})
        EXPECT_FALSE(RV::components(bad)) << bad;
    EXPECT_EQ(RV::components("0.99999.7"), (std::vector<int>{0, 99999, 7}));
}

TEST_F(ReleaseRules, ManifestAndPackageURLsMustBeExactlyOnTheServiceHosts) {
    EXPECT_TRUE(RV::trustedURL(kFolder + "latest.json"));
    EXPECT_TRUE(RV::trustedURL(kFolder + "Zarvo-1.0.30-linux-x64.zip"));
    EXPECT_TRUE(RV::trustedURL(
        "https://download.zarvo.test/downloads/workbench/zarvo/linux/Zarvo-1.0.30-linux-x64.zip"));
    // The manifest never comes from the download host.
    EXPECT_FALSE(
        RV::trustedURL("https://download.zarvo.test/downloads/workbench/zarvo/linux/latest.json"));
    for (const std::string& bad : {
             std::string("http://api.zarvo.test/downloads/workbench/zarvo/linux/latest.json"),
             std::string("https://api.zarvo.test:443/downloads/workbench/zarvo/linux/latest.json"),
             kFolder + "latest.json?x=1",
             kFolder + "latest.json#top",
             std::string("https://user@api.zarvo.test/downloads/workbench/zarvo/linux/latest.json"),
             std::string("https://u:p@api.zarvo.test/downloads/workbench/zarvo/linux/latest.json"),
             kFolder + "Zarvo-1.0.30%20-linux-x64.zip",
             std::string("https://API.zarvo.test/downloads/workbench/zarvo/linux/latest.json"),
             std::string("https://api2.zarvo.test/downloads/workbench/zarvo/linux/latest.json"),
             std::string("https://evil.test/downloads/workbench/zarvo/linux/latest.json"),
             kFolder + "sub/Zarvo-1.0.30-linux-x64.zip",
             kFolder + "../linux/Zarvo-1.0.30-linux-x64.zip",
             kFolder + "Zarvo-1.0-linux-x64.zip",
             kFolder + "Zarvo-01.0.30-linux-x64.zip",
             kFolder + "Zarvo-1.0.30-macOS-x64.zip",
             kFolder + "Zarvo--linux-x64.zip",
             kFolder + "Zarvo-linux-x64.zip",
             std::string("https://api.zarvo.test/downloads/workbench/zarvo/mac/latest.json"),
         })
        EXPECT_FALSE(RV::trustedURL(bad)) << bad;
}

TEST_F(ReleaseRules, ReleaseFieldsAreCheckedAtTheirLimits) {
    EXPECT_TRUE(RV::trusted(release()));
    auto with = [](auto change) {
        ClientRelease r = release();
        change(r);
        return RV::trusted(r);
    };
    // A package URL on the download host is fine for downloads but not in a manifest.
    EXPECT_FALSE(with([](ClientRelease& r) {
        r.url = "https://download.zarvo.test/downloads/workbench/zarvo/linux/"
                "Zarvo-1.0.30-linux-x64.zip";
    }));
    // The package must be the manifest's own version.
    EXPECT_FALSE(with([](ClientRelease& r) { r.url = kFolder + "Zarvo-1.0.31-linux-x64.zip"; }));
    EXPECT_FALSE(with([](ClientRelease& r) { r.size = 0; }));
    EXPECT_TRUE(with([](ClientRelease& r) { r.size = 1; }));
    EXPECT_TRUE(with([](ClientRelease& r) { r.size = 250'000'000; }));
    EXPECT_FALSE(with([](ClientRelease& r) { r.size = 250'000'001; }));
    EXPECT_FALSE(with([](ClientRelease& r) { r.notes = " \n\r\t \n"; }));
    EXPECT_TRUE(with([](ClientRelease& r) { r.notes = std::string(24'000, 'x'); }));
    EXPECT_FALSE(with([](ClientRelease& r) { r.notes = std::string(24'001, 'x'); }));
    EXPECT_TRUE(with([](ClientRelease& r) {
        r.notes.clear();
        for (int i = 0; i < 8000; ++i)
            r.notes += "新"; // three bytes each: exactly 24,000
    }));
    EXPECT_FALSE(with([](ClientRelease& r) {
        r.notes = "x";
        for (int i = 0; i < 8000; ++i)
            r.notes += "新";
    }));
    EXPECT_TRUE(with([](ClientRelease& r) { r.sha256 = std::string(64, 'F'); }));
    EXPECT_FALSE(with([](ClientRelease& r) { r.sha256 = std::string(63, 'a'); }));
    EXPECT_FALSE(with([](ClientRelease& r) { r.sha256 = std::string(63, 'a') + "g"; }));
    EXPECT_FALSE(with([](ClientRelease& r) { r.platform = "Linux"; }));
    EXPECT_FALSE(with([](ClientRelease& r) { r.platform = "macos"; }));
    EXPECT_FALSE(with([](ClientRelease& r) { r.architecture = "arm64"; }));
    EXPECT_TRUE(with([](ClientRelease& r) { r.publishedAt = "2026-03-01T08:00:00.5Z"; }));
    EXPECT_TRUE(with([](ClientRelease& r) { r.publishedAt = "2026-03-01T08:00:00.250+08:00"; }));
    EXPECT_FALSE(with([](ClientRelease& r) { r.publishedAt = "2026-03-01 08:00:00"; }));
    EXPECT_FALSE(with([](ClientRelease& r) { r.publishedAt = "2026-03-01"; }));
    EXPECT_FALSE(with([](ClientRelease& r) { r.publishedAt = "2026-03-01T08:00:00"; }));
}

TEST_F(ReleaseRules, DecodingRequiresEveryKeyWithItsType) {
    Json good = release().toJson();
    EXPECT_EQ(ClientRelease::fromJson(good), release());
    for (const char* key : {"version", "url", "sha256", "notes", "architecture", "platform", "size",
                            "published_at"}) {
        Json missing = good;
        missing.erase(key);
        EXPECT_FALSE(ClientRelease::fromJson(missing)) << key;
        Json null = good;
        null[key] = nullptr;
        EXPECT_FALSE(ClientRelease::fromJson(null)) << key;
    }
    Json wrong = good;
    wrong["size"] = "1000";
    EXPECT_FALSE(ClientRelease::fromJson(wrong));
    wrong["size"] = 1000.5;
    EXPECT_FALSE(ClientRelease::fromJson(wrong));
    wrong = good;
    wrong["extra"] = true;
    EXPECT_TRUE(ClientRelease::fromJson(wrong));
}

TEST_F(ReleaseRules, PackageMustMatchSizeAndDigest) {
    std::string data(1000, 'z');
    ClientRelease r = release();
    r.sha256 = RV::digest(data);
    for (char& c : r.sha256)
        c = char(std::toupper(c));
    EXPECT_TRUE(RV::packageMatches(data, r));
    EXPECT_FALSE(RV::packageMatches(data.substr(1), r)); // one byte short
    std::string changed = data;
    changed[500] = 'y';
    EXPECT_FALSE(RV::packageMatches(changed, r));
}

TEST_F(ReleaseRules, ArchiveListingsStayInsideTheBundle) {
    const std::string bundle = "Zarvo 1.0.30.app";
    EXPECT_TRUE(RV::archivePaths("Zarvo 1.0.30.app/Contents/Info.plist\n__MACOSX/._x\n", bundle));
    EXPECT_TRUE(RV::archivePaths("Zarvo 1.0.30.app/\n\nZarvo 1.0.30.app/a..b\n", bundle));
    EXPECT_FALSE(RV::archivePaths("", bundle));
    EXPECT_FALSE(RV::archivePaths("\n\n", bundle));
    for (const char* bad :
         {"Zarvo 1.0.30.app/../x", "/etc/x", "Other.app/x", "Zarvo 1.0.30.app/a -> b",
          "Zarvo 1.0.30.app/a\\b", "Zarvo 1.0.30.app/x/../../y", "Zarvo 1.0.30.appx/y",
          "Zarvo 1.0.29.app/Contents/Info.plist", "Zarvo 1.0.30.app/..  ",
          "Zarvo 1.0.30.app/a\tb", "Zarvo 1.0.30.app/x/..\r"})
        EXPECT_FALSE(RV::archivePaths(std::string("Zarvo 1.0.30.app/ok\n") + bad + "\n", bundle))
            << bad;

    const std::string ok = "-rw-r--r--  0 u g 5 Dec  9 01:00 Zarvo 1.0.30.app/Contents/Info.plist\n"
                           "lrwxrwxrwx  0 u g 0 Dec  9 01:00 "
                           "Zarvo 1.0.30.app/Contents/Resources/Versions/Current -> A\n";
    EXPECT_TRUE(RV::archiveLinks(ok, bundle));
    auto link = [&](const std::string& rest) {
        return RV::archiveLinks("lrwxrwxrwx  0 u g 0 Dec  9 01:00 " + rest + "\n", bundle);
    };
    EXPECT_FALSE(link("Zarvo 1.0.30.app/Contents/Frameworks/x -> /usr/lib/y"));
    EXPECT_FALSE(link("Zarvo 1.0.30.app/Contents/x -> ../../../etc/passwd"));
    EXPECT_FALSE(link("Zarvo 1.0.30.app/Contents/x -> a\\b"));
    EXPECT_FALSE(link("Zarvo 1.0.30.app/Contents/x -> a -> b"));
    EXPECT_FALSE(link("Other.app/x -> A"));
    EXPECT_FALSE(link("Zarvo 1.0.30.app/Contents/x -> " + std::string(512, 'a')));
    EXPECT_TRUE(link("Zarvo 1.0.30.app/Contents/x -> " + std::string(511, 'a')));
}

TEST_F(ReleaseRules, InstallNeedsAReadyUpdateAndNothingElseGoingOn) {
    EXPECT_TRUE(RV::installAllowed(false, false, false, false, true));
    EXPECT_FALSE(RV::installAllowed(true, false, false, false, true));
    EXPECT_FALSE(RV::installAllowed(false, true, false, false, true));
    EXPECT_FALSE(RV::installAllowed(false, false, true, false, true));
    EXPECT_FALSE(RV::installAllowed(false, false, false, true, true));
    EXPECT_FALSE(RV::installAllowed(false, false, false, false, false));
}

// ---- UpdateMirror ----

class MirrorRules : public ReleaseRules {
protected:
    std::optional<ClientRelease> load(std::optional<std::string> body, int status,
                                      std::optional<std::string> finalURL = std::nullopt,
                                      std::optional<Error> error = std::nullopt) {
        std::optional<ClientRelease> result;
        int calls = 0, fetches = 0;
        UpdateMirror::loadManifest(
            [&](const std::string& url, UpdateMirror::FetchReply reply) {
                ++fetches;
                reply(body, HttpResponseInfo{status, finalURL.value_or(url)}, error);
            },
            [&](std::optional<ClientRelease> r) {
                ++calls;
                result = r;
            });
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(fetches, 1);
        return result;
    }
};

TEST_F(MirrorRules, ManifestIsTakenOnlyFromAnUnredirectedSmallTrustedReply) {
    const std::string body = release().toJson().dump();
    EXPECT_EQ(load(body, 200), release());
    EXPECT_FALSE(load(body, 203));
    EXPECT_FALSE(load(body, 200, kFolder + "latest.json?moved"));
    EXPECT_FALSE(load(body, 200, std::nullopt, URLError::make(URLError::kTimedOut)));
    EXPECT_FALSE(load(std::nullopt, 200));
    EXPECT_FALSE(load("[]", 200));
    ClientRelease untrusted = release();
    untrusted.platform = "macos";
    EXPECT_FALSE(load(untrusted.toJson().dump(), 200));

    // Padding with white space keeps the JSON valid: 65,535 bytes pass, 65,536 do not.
    std::string padded = body + std::string(65'535 - body.size(), ' ');
    EXPECT_EQ(load(padded, 200), release());
    EXPECT_FALSE(load(padded + " ", 200));
}

TEST_F(MirrorRules, PackagesComeFromTheDownloadHostThenThePrimaryHost) {
    EXPECT_EQ(UpdateMirror::manifests(), std::vector<std::string>{kFolder + "latest.json"});
    auto urls = UpdateMirror::packages(release());
    ASSERT_EQ(urls.size(), 2u);
    EXPECT_EQ(urls[0], "https://download.zarvo.test/downloads/workbench/zarvo/linux/"
                       "Zarvo-1.0.30-linux-x64.zip");
    EXPECT_EQ(urls[1], release().url);
}

TEST_F(MirrorRules, FallbackOnlyForNetworkTroubleAtTheExpectedURL) {
    const std::string expected = release().url;
    using UpdateMirror::mayFallbackDownload;
    EXPECT_TRUE(mayFallbackDownload(std::nullopt, 503, std::nullopt, expected));
    EXPECT_TRUE(mayFallbackDownload(std::nullopt, 429, expected, expected));
    EXPECT_FALSE(mayFallbackDownload(std::nullopt, 404, std::nullopt, expected));
    EXPECT_FALSE(mayFallbackDownload(std::nullopt, 501, std::nullopt, expected));
    EXPECT_FALSE(mayFallbackDownload(std::nullopt, std::nullopt, std::nullopt, expected));
    EXPECT_TRUE(mayFallbackDownload(URLError::make(URLError::kTimedOut), std::nullopt, std::nullopt,
                                    expected));
    EXPECT_FALSE(mayFallbackDownload(URLError::make(URLError::kTimedOut), std::nullopt,
                                     expected + "x", expected));
    EXPECT_FALSE(mayFallbackDownload(URLError::make(URLError::kCancelled), std::nullopt,
                                     std::nullopt, expected));
    EXPECT_FALSE(mayFallbackDownload(Error{"更新分段版本变化", 1}, 503, std::nullopt, expected));
}

} // namespace
} // namespace zarvo
