#include "app/credential.h"

#include "foundation/atomic_file.h"
#include "foundation/json.h"
#include "foundation/paths.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zarvo {
namespace {

std::optional<std::string> trimmed(std::string_view text) {
    const char* space = " \t\r\n";
    auto begin = text.find_first_not_of(space);
    if (begin == std::string_view::npos)
        return std::nullopt;
    auto end = text.find_last_not_of(space);
    return std::string(text.substr(begin, end - begin + 1));
}

// A token is one line of printable ASCII; anything else would corrupt the Authorization header.
bool plausibleToken(const std::string& token) {
    for (unsigned char c : token)
        if (c < 0x21 || c > 0x7e)
            return false;
    return true;
}

std::optional<std::string> accepted(std::optional<std::string> token) {
    if (!token)
        return std::nullopt;
    auto text = trimmed(*token);
    if (!text || !plausibleToken(*text))
        return std::nullopt;
    return text;
}

} // namespace

std::optional<std::string> overridingAccountCredential(const CredentialSources& sources) {
    if (auto token = accepted(sources.environmentToken))
        return token;
    if (sources.developmentDeployment)
        return accepted(sources.deploymentToken);
    return std::nullopt;
}

bool accountCredentialFromStore(const CredentialSources& sources) {
    return !accepted(sources.environmentToken) && !sources.developmentDeployment;
}

std::optional<std::string> acceptedAccountCredential(std::optional<std::string> token) {
    return accepted(std::move(token));
}

std::optional<std::string> resolveAccountCredential(const CredentialSources& sources,
                                                    CredentialStore* store) {
    if (!accountCredentialFromStore(sources))
        return overridingAccountCredential(sources);
    FileCredentialStore file(sources.credentialFile);
    auto read = (store ? store : &file)->read();
    return read.ok() ? accepted(*read) : std::nullopt;
}

CredentialSources accountCredentialSources() {
    CredentialSources sources;
    if (const char* token = std::getenv("ZARVO_ACCOUNT_TOKEN"))
        sources.environmentToken = token;
    sources.credentialFile = configDirectory() / "credential";
    if (const char* file = std::getenv("ZARVO_DEPLOYMENT"); file && *file) {
        sources.developmentDeployment = true;
        // Only the one member is read here; the route layer validates the deployment itself.
        if (auto text = readFile(file))
            if (auto object = parseJsonObject(*text))
                sources.deploymentToken = jsonString(*object, "account_token");
    }
    return sources;
}

std::optional<std::string> loadAccountCredential(CredentialStore* store) {
    return resolveAccountCredential(accountCredentialSources(), store);
}

} // namespace zarvo
