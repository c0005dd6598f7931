// The code-signing check of an application bundle as both programs run it: the bundle's
// signature must verify against a trusted key, for the product's identifier, and its
// "CFBundleIdentifier" must be the product's.
#pragma once

#include "foundation/result.h"
#include "update/bundle_signature.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace zarvo::CodeSignature {

// The release key compiled in, plus the one key a development deployment may add under
// "release_key" {"key_id", "public_key" (base64 of the 32 raw bytes)}.
std::vector<TrustedKey> trustedKeys();

Status<> verifyApplication(const std::filesystem::path& app);

} // namespace zarvo::CodeSignature

namespace zarvo {

// A string value of an XML property list such as "Contents/Info.plist"; none when the file, the
// key or a string value is missing.
std::optional<std::string> plistString(const std::filesystem::path& plist, const std::string& key);

} // namespace zarvo
