#include "update/code_signature.h"

#include "foundation/atomic_file.h"
#include "foundation/encoding.h"
#include "foundation/json.h"
#include "foundation/plist_text.h"
#include "release_keys.h"
#include "service/deployment.h"
#include "update/release_validation.h"

#include <cstring>
#include <string_view>

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
    auto element = plistElementAfterKey(*text, key);
    if (!element || element->name != "string")
        return std::nullopt;
    if (element->empty)
        return std::string();
    // The entities an XML writer produces in bundle values, decoded in one pass.
    const std::pair<std::string_view, char> entities[] = {
        {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}, {"&amp;", '&'}};
    std::string value;
    value.reserve(element->text.size());
    for (size_t at = 0; at < element->text.size();) {
        bool decoded = false;
        for (auto [from, to] : entities)
            if (element->text.substr(at, from.size()) == from) {
                value += to;
                at += from.size();
                decoded = true;
                break;
            }
        if (!decoded)
            value += element->text[at++];
    }
    return value;
}

} // namespace zarvo
