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
    bool developmentDeployment = false;          // ZARVO_DEPLOYMENT names a deployment
};

// The environment token when there is one; else, with a development deployment, its token and
// never the credential file (the user's real credential must not reach a development host);
// else the credential file, only when it is a regular file of this user that no one else may
// read. Surrounding white space is trimmed.
std::optional<std::string> resolveAccountCredential(const CredentialSources& sources);

// The sources of this process: ZARVO_ACCOUNT_TOKEN, configDirectory()/"credential" and, when
// ZARVO_DEPLOYMENT names a development deployment, its "account_token".
CredentialSources accountCredentialSources();
std::optional<std::string> loadAccountCredential();

// Keeps a signed-in credential for the next start, or erases it when `token` is none; false when
// that failed. Blocking: call it off the main thread. Nothing is written while the environment
// or a development deployment supplies the credential: a development host's token must never
// replace the user's own.
bool saveAccountCredential(const std::optional<std::string>& token);

} // namespace zarvo
