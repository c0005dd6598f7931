#include "update/code_signature.h"

#include "foundation/atomic_file.h"
#include "foundation/encoding.h"
#include "foundation/json.h"
#include "release_keys.h"
#include "service/deployment.h"
#include "update/release_validation.h"

#include <cstring>
#include <regex>

namespace zarvo {

namespace CodeSignature {

std::vector<TrustedKey> trustedKeys() {
    std::vector<TrustedKey> keys;
    if (auto raw = base64Decode(release_keys::kReleasePublicKeyBase64); raw && raw->size() == 32)
        keys.push_back({release_keys::kReleaseKeyID, *raw});
    auto deployment = currentDeployment();
    if (deployment->isDevelopment()) {
        auto text = readFile(deployment->file);
        auto json = text ? parseJsonObject(*text) : std::nullopt;
        const Json* extra = json ? jsonMember(*json, "release_key") : nullptr;
        if (extra) {
            auto id = jsonString(*extra, "key_id");
            auto key = jsonString(*extra, "public_key");
            auto raw = key ? base64Decode(*key) : std::nullopt;
            if (id && !id->empty() && raw && raw->size() == 32)
                keys.push_back({*id, *raw});
        }
    }
    return keys;
}

Status<> verifyApplication(const std::filesystem::path& app) {
    const std::string identifier(ReleaseValidation::bundleIdentifier);
    if (auto checked = BundleSignature::verify(app, trustedKeys(), identifier); !checked)
        return checked;
    if (plistString(app / "Contents/Info.plist", "CFBundleIdentifier") != identifier)
        return unexpected(Error{"the bundle identifier does not match", 1});
    return Ok{};
}

} // namespace CodeSignature

std::optional<std::string> plistString(const std::filesystem::path& plist, const std::string& key) {
    auto text = readFile(plist);
    if (!text)
        return std::nullopt;
    // Keys are plain words; the value is the element right after the key.
    const std::regex pattern("<key>\\s*" + key + "\\s*</key>\\s*<(string|[a-z]+)\\s*(/?)>([^<]*)");
    std::smatch match;
    if (!std::regex_search(*text, match, pattern) || match[1] != "string")
        return std::nullopt;
    if (match[2] == "/")
        return std::string();
    std::string value = match[3].str();
    // The entities an XML writer produces in bundle values.
    const std::pair<const char*, const char*> entities[] = {
        {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}};
    for (auto [from, to] : entities)
        for (size_t at = value.find(from); at != std::string::npos; at = value.find(from, at + 1))
            value.replace(at, std::strlen(from), to);
    return value;
}

} // namespace zarvo
