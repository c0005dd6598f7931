// The account credential: the bearer token every account-bound service call carries.
#pragma once

#include "app/credential_store.h"

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

// The token that needs no store: the environment's, else a development deployment's. A
// development deployment never reads the user's store (the real credential must not reach a
// development host). Surrounding white space is trimmed; a token that is not one line of
// printable ASCII counts as none.
std::optional<std::string> overridingAccountCredential(const CredentialSources& sources);
// The store is asked only when neither the environment nor a development deployment decides.
bool accountCredentialFromStore(const CredentialSources& sources);
// A token read from a store, trimmed and checked as above.
std::optional<std::string> acceptedAccountCredential(std::optional<std::string> token);

// The overriding token when there is one; else, without a development deployment, the store's
// (the private file sources.credentialFile when no store is given). Blocking: the store may be
// the keyring.
std::optional<std::string> resolveAccountCredential(const CredentialSources& sources,
                                                    CredentialStore* store = nullptr);

// The sources of this process: ZARVO_ACCOUNT_TOKEN, configDirectory()/"credential" and, when
// ZARVO_DEPLOYMENT names a development deployment, its "account_token".
CredentialSources accountCredentialSources();
// Blocking, see resolveAccountCredential.
std::optional<std::string> loadAccountCredential(CredentialStore* store = nullptr);

} // namespace zarvo
