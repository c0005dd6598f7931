// The stand-in with its release side, in process, with a private temporary folder so that
// tests can see every file a download leaves behind.
#pragma once

#include "devservice/devservice.h"
#include "devservice/release/release_server.h"
#include "update_test_support.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

namespace zarvo::testing_support {

class ReleaseServiceFixture : public ::testing::Test {
protected:
    void SetUp() override {
        tmp = dir.path() / "tmp";
        fs::create_directories(tmp);
        setenv("TMPDIR", tmp.c_str(), 1);
        devservice::DevServiceOptions options;
        options.stateDirectory = dir.path() / "state";
        service = std::make_unique<devservice::DevService>(options);
        ASSERT_TRUE(service->start().ok());
        releases = std::make_unique<devservice::ReleaseServer>(*service,
                                                               options.stateDirectory / "releases");
        auto deployment = readDeploymentFile(service->deploymentFile());
        ASSERT_TRUE(deployment.ok()) << deployment.error().message;
        setCurrentDeployment(*deployment);
    }
    void TearDown() override {
        releases.reset();
        service.reset();
        clearCurrentDeployment();
        unsetenv("TMPDIR");
    }

    // Random bytes published as the package of `version`; returns them.
    std::string publishPackage(const std::string& version, int64_t size) {
        std::string data(size_t(size), '\0');
        std::mt19937_64 generator{uint64_t(size)};
        for (auto& c : data)
            c = char(generator());
        EXPECT_TRUE(writeFileAtomically(
            releases->folder() / ("Zarvo-" + version + "-linux-x64.zip"), data));
        return data;
    }
    static std::string packageURL(const std::string& host, const std::string& version) {
        return "https://" + host + "/downloads/workbench/zarvo/linux/Zarvo-" + version +
               "-linux-x64.zip";
    }
    bool tmpIsEmpty() const { return fs::is_empty(tmp); }

    TempDir dir;
    fs::path tmp;
    std::unique_ptr<devservice::DevService> service;
    std::unique_ptr<devservice::ReleaseServer> releases;
};

} // namespace zarvo::testing_support
