// The stand-in's own certificate authority: on first start a CA and a server certificate for the
// stand-in's host names are made with OpenSSL under the state folder; later starts reuse them while
// they still cover the host names and have not expired.
#pragma once

#include "foundation/result.h"

#include <filesystem>
#include <string>
#include <vector>

namespace zarvo::devservice {

struct CertificateFiles {
    std::filesystem::path caCertificate; // "ca.pem": what clients trust
    std::filesystem::path certificate;   // "server.pem": the server certificate
    std::filesystem::path privateKey;    // "server-key.pem"
};

// Creates (or reuses) the CA and a server certificate whose subject alternative names are
// exactly `hosts`. Keys are readable by the owner alone.
Result<CertificateFiles> ensureCertificates(const std::filesystem::path& directory,
                                            const std::vector<std::string>& hosts);

} // namespace zarvo::devservice
