// The stand-in's release side: the manifest "latest.json" on the primary host and the packages on
// the download and primary hosts, served from a folder with real byte ranges (206, Content-Range,
// a strong ETag, If-Range, 416), plus the faults an update download must survive.
#pragma once

#include "devservice/devservice.h"

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zarvo::devservice {

struct ReleaseFaults {
    int unavailableOnDownloadHost = 0;       // answer this many package requests there with 503
    int changeEtagAfter = -1;                // from this many package requests on, the ETag changes
    bool shortBody = false;                  // end every package body one byte early (no length)
    std::string redirect;                    // answer package requests with 302 to this URL
    bool ignoreRanges = false;               // answer every package request with the whole file
    bool ignoreIfRange = false;              // serve ranges even when If-Range no longer matches
    bool weakEtag = false;                   // a weak ETag (W/"…")
    bool gzipEncoding = false;               // claim "Content-Encoding: gzip"
    int64_t bytesPerSecondPerConnection = 0; // 0: unlimited
};

struct ReleaseRequest {
    std::string host; // "primary" or "download"
    std::string path;
    std::string range;   // "" when absent
    std::string ifRange; // "" when absent
    int status = 0;
};

class ReleaseServer {
public:
    // Serves `folder` ("latest.json" and "Zarvo-*.zip") and adds the development signing key
    // kept in the state folder ("release-key.pem", made on first start) to the deployment file.
    ReleaseServer(DevService& service, std::filesystem::path folder);
    ~ReleaseServer();

    const std::filesystem::path& folder() const { return folder_; }
    std::filesystem::path signingKey() const;
    static constexpr const char* kDevelopmentKeyID = "ZARVODEV01";

    void setFaults(ReleaseFaults faults);
    std::vector<ReleaseRequest> requests() const;
    void clearRequests();

    struct State;

private:
    DevService& service_;
    std::filesystem::path folder_;
    std::shared_ptr<State> state_;
};

// The program's form: releases in "<state>/releases".
std::unique_ptr<ReleaseServer> installReleaseServer(DevService& service,
                                                    const std::filesystem::path& stateDirectory);

} // namespace zarvo::devservice
