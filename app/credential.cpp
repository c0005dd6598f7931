#include "app/credential.h"

#include "foundation/atomic_file.h"
#include "foundation/json.h"
#include "foundation/owned.h"
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

// The file is checked on the descriptor that is read, so it cannot be swapped in between.
std::optional<std::string> readPrivateFile(const std::filesystem::path& path) {
    if (path.empty())
        return std::nullopt;
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    const int fd = file.get();
    if (fd < 0)
        return std::nullopt;
    struct stat info {};
    std::optional<std::string> contents;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
        (info.st_mode & S_IRUSR) != 0 && (info.st_mode & (S_IRGRP | S_IROTH)) == 0 &&
        info.st_size <= 64 * 1024) {
        std::string data;
        char buffer[4096];
        for (;;) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                data.clear();
                break;
            }
            if (n == 0) {
                contents = std::move(data);
                break;
            }
            data.append(buffer, static_cast<size_t>(n));
        }
    }
    return contents;
}

} // namespace

std::optional<std::string> resolveAccountCredential(const CredentialSources& sources) {
    if (auto token = accepted(sources.environmentToken))
        return token;
    if (sources.developmentDeployment)
        return accepted(sources.deploymentToken);
    return accepted(readPrivateFile(sources.credentialFile));
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

std::optional<std::string> loadAccountCredential() {
    return resolveAccountCredential(accountCredentialSources());
}

bool saveAccountCredential(const std::optional<std::string>& token) {
    if (std::getenv("ZARVO_ACCOUNT_TOKEN"))
        return true;
    if (const char* file = std::getenv("ZARVO_DEPLOYMENT"); file && *file)
        return true;
    std::filesystem::path path = configDirectory() / "credential";
    if (!token) {
        std::error_code ignored;
        return std::filesystem::remove(path, ignored) || !std::filesystem::exists(path, ignored);
    }
    std::error_code made;
    std::filesystem::create_directories(path.parent_path(), made);
    ::chmod(path.parent_path().c_str(), 0700);
    return writeFileAtomically(path, *token + "\n", 0600).ok();
}

} // namespace zarvo
