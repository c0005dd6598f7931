// The code signature of an application bundle: a manifest of every file, folder and link under
// the bundle (path, SHA-256, all permission bits, link target) and a detached Ed25519 signature
// over the manifest's exact bytes, both kept in "Contents/Signature/". Verification is deep and
// strict: a missing, extra or changed file, a link that leaves the bundle or an unknown key fails.
#pragma once

#include "foundation/result.h"

#include <filesystem>
#include <string>
#include <vector>

namespace zarvo {

// The public half of a signing key (32 raw bytes) and the identity it signs for.
struct TrustedKey {
    std::string keyID;
    std::string publicKey;
};

namespace BundleSignature {

inline constexpr const char* manifestPath = "Contents/Signature/manifest.json";
inline constexpr const char* signaturePath = "Contents/Signature/manifest.sig";

// Writes the manifest and signature into `bundle` with the Ed25519 private key in the PEM file.
// Refuses a bundle with a link that leaves it (resolved through the bundle's own links), a file
// that is neither regular nor a link, or a file or folder with a set-user-id, set-group-id or
// sticky bit or write access for group or others.
Status<> sign(const std::filesystem::path& bundle, const std::filesystem::path& privateKeyPem,
              const std::string& keyID, const std::string& identifier);

// Checks the signature against `keys` (the manifest's key id picks the key), the signed
// identifier against `identifier`, and every file of the bundle against the manifest.
Status<> verify(const std::filesystem::path& bundle, const std::vector<TrustedKey>& keys,
                const std::string& identifier);

// Sets every signed file and folder of `bundle` (a copy of a verified bundle) to its signed mode,
// whatever the copy's umask made of it, and the bundle folder to 0755. Verify afterwards.
Status<> applySignedModes(const std::filesystem::path& bundle);

// The raw public key of a PEM private key file.
Result<std::string> publicKeyOf(const std::filesystem::path& privateKeyPem);

} // namespace BundleSignature
} // namespace zarvo
