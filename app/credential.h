// The account credential: the bearer token every account-bound service call carries.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace zarvo {

struct CredentialSources {
    std::optional<std::string> environmentToken; // ZARVO_ACCOUNT_TOKEN
    std::filesystem::path credentialFile;        // $XDG_CONFIG_HOME/Zarvo/credential
    std::optional<std::string> deploymentToken;  // "account_token" of a development deployment
};

// First non-empty of: the environment token, the credential file (only when it is a regular file
// of this user that no one else may read), the development deployment's token. Surrounding white
// space is trimmed.
std::optional<std::string> resolveAccountCredential(const CredentialSources& sources);

// The sources of this process: ZARVO_ACCOUNT_TOKEN, configDirectory()/"credential" and, when
// ZARVO_DEPLOYMENT names a development deployment, its "account_token".
CredentialSources accountCredentialSources();
std::optional<std::string> loadAccountCredential();

} // namespace zarvo
