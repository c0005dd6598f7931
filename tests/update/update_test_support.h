// Shared helpers of the update tests: a deployment with the stand-in's host names, temporary
// folders, and small signed application bundles.
#pragma once

#include "foundation/atomic_file.h"
#include "foundation/encoding.h"
#include "foundation/process.h"
#include "service/deployment.h"
#include "update/bundle_signature.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace zarvo::testing_support {

namespace fs = std::filesystem;

inline Deployment testDeployment(const fs::path& file = {}) {
    Deployment d;
    d.primaryHost = "api.zarvo.test";
    d.secondaryHost = "api2.zarvo.test";
    d.downloadHost = "download.zarvo.test";
    d.file = file;
    return d;
}

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "zarvo-update-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

inline std::string infoPlist(const std::string& version,
                             const std::string& identifier = "cn.zarvo.morvex.workbench",
                             const std::string& executable = "Zarvo") {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "\t<key>CFBundleExecutable</key>\n\t<string>" +
           executable + "</string>\n\t<key>CFBundleIdentifier</key>\n\t<string>" + identifier +
           "</string>\n\t<key>CFBundleShortVersionString</key>\n\t<string>" + version +
           "</string>\n</dict>\n</plist>\n";
}

// A development Ed25519 key made with the openssl tool; returns the PEM path.
inline fs::path makeSigningKey(const fs::path& folder) {
    fs::path key = folder / "release-key.pem";
    auto made = command("openssl", {"genpkey", "-algorithm", "ed25519", "-out", key.string()});
    EXPECT_TRUE(made.ok()) << (made.ok() ? "" : made.error().message);
    return key;
}

// A minimal bundle whose executable is `script` (a shell script).
inline fs::path makeBundle(const fs::path& folder, const std::string& version,
                           const std::string& script = "#!/bin/sh\nexit 0\n") {
    fs::path app = folder / ("Zarvo " + version + ".app");
    fs::create_directories(app / "Contents/MacOS");
    fs::create_directories(app / "Contents/Resources/Versions/A");
    EXPECT_TRUE(writeFileAtomically(app / "Contents/Info.plist", infoPlist(version)).ok());
    EXPECT_TRUE(writeFileAtomically(app / "Contents/MacOS/Zarvo", script).ok());
    fs::permissions(app / "Contents/MacOS/Zarvo", fs::perms(0755));
    EXPECT_TRUE(
        writeFileAtomically(app / "Contents/Resources/Versions/A/page.html", "<p>x</p>").ok());
    fs::create_directory_symlink("A", app / "Contents/Resources/Versions/Current");
    return app;
}

} // namespace zarvo::testing_support
