#include "update/bundle_signature.h"

#include "foundation/atomic_file.h"
#include "foundation/json.h"

#include <glib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

namespace zarvo::BundleSignature {
namespace {

namespace fs = std::filesystem;

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using ContextPtr = std::unique_ptr<EVP_MD_CTX, ContextFree>;

auto fail(const std::string& message) {
    return unexpected(Error{message, 1});
}

// The manifest format that lists folders; older manifests left them and the upper mode bits out.
constexpr int64_t manifestFormat = 2;

// Modes that no file or folder of a bundle may have: set-user-id, set-group-id, sticky, and
// write access for anyone but the owner.
constexpr mode_t forbiddenModeBits = S_ISUID | S_ISGID | S_ISVTX | S_IWGRP | S_IWOTH;

enum class Kind { file, link, folder };

struct Entry {
    Kind kind = Kind::file;
    std::string sha256; // files
    std::string mode;   // files and folders, octal "0755" (all permission bits)
    std::string target; // links
};

std::string octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", unsigned(mode & 07777));
    return text;
}

Result<std::string> fileDigest(const fs::path& file) {
    FILE* in = std::fopen(file.c_str(), "rb");
    if (!in)
        return fail("cannot read " + file.string());
    GChecksum* checksum = g_checksum_new(G_CHECKSUM_SHA256);
    char buffer[262144];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        g_checksum_update(checksum, reinterpret_cast<const guchar*>(buffer), n);
    bool failed = std::ferror(in) != 0;
    std::fclose(in);
    std::string hex = g_checksum_get_string(checksum);
    g_checksum_free(checksum);
    if (failed)
        return fail("cannot read " + file.string());
    return hex;
}

// A link stays inside when its target, resolved step by step from the link's folder through the
// bundle's own links, never climbs out of the bundle. `parts` is the folder the walk stands in,
// as names below the bundle; `depth` bounds chains and loops of links.
bool staysInside(const fs::path& bundle, std::vector<std::string>& parts, const std::string& target,
                 int& depth) {
    if (target.empty() || target.front() == '/' || ++depth > 40)
        return false;
    for (const auto& part : fs::path(target)) {
        std::string name = part.string();
        if (name.empty() || name == ".")
            continue;
        if (name == "..") {
            if (parts.empty())
                return false;
            parts.pop_back();
            continue;
        }
        fs::path here = bundle;
        for (const auto& p : parts)
            here /= p;
        here /= name;
        struct stat info {};
        if (::lstat(here.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
            std::error_code ec;
            const std::string inner = fs::read_symlink(here, ec).string();
            if (ec || !staysInside(bundle, parts, inner, depth))
                return false;
        } else {
            parts.push_back(name); // a file, a folder, or a name that does not exist (yet)
        }
    }
    return true;
}

bool linkStaysInside(const fs::path& bundle, const std::string& relativeLink,
                     const std::string& target) {
    std::vector<std::string> parts;
    for (const auto& part : fs::path(relativeLink).parent_path())
        if (!part.empty() && part != ".")
            parts.push_back(part.string());
    int depth = 0;
    return staysInside(bundle, parts, target, depth);
}

// Every file, folder and link of the bundle but the signature itself, by path relative to the
// bundle. The bundle folder itself must not be writable by others either.
Result<std::map<std::string, Entry>> scan(const fs::path& bundle) {
    std::map<std::string, Entry> entries;
    std::error_code ec;
    struct stat root {};
    if (::lstat(bundle.c_str(), &root) != 0 || !S_ISDIR(root.st_mode))
        return fail(bundle.string() + " is not a folder");
    if (root.st_mode & forbiddenModeBits)
        return fail(bundle.string() + " has a mode a bundle may not have");
    fs::recursive_directory_iterator it(bundle, fs::directory_options::none, ec), end;
    if (ec)
        return fail("cannot list " + bundle.string());
    for (; it != end; it.increment(ec)) {
        if (ec)
            return fail("cannot list " + bundle.string());
        const fs::path path = it->path();
        const std::string relative = path.lexically_relative(bundle).generic_string();
        if (relative == manifestPath || relative == signaturePath)
            continue;
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0)
            return fail("cannot read " + relative);
        Entry entry;
        if (S_ISDIR(info.st_mode) || S_ISREG(info.st_mode)) {
            if (info.st_mode & forbiddenModeBits)
                return fail(relative + " has a mode a bundle may not have");
            entry.mode = octal(info.st_mode);
        }
        if (S_ISDIR(info.st_mode)) {
            entry.kind = Kind::folder;
        } else if (S_ISLNK(info.st_mode)) {
            entry.kind = Kind::link;
            entry.target = fs::read_symlink(path, ec).string();
            if (ec)
                return fail("cannot read the link " + relative);
            if (!linkStaysInside(bundle, relative, entry.target))
                return fail("the link " + relative + " leaves the bundle");
        } else if (S_ISREG(info.st_mode)) {
            auto digest = fileDigest(path);
            if (!digest)
                return unexpected(digest.error());
            entry.sha256 = *digest;
        } else {
            return fail(relative + " is neither a file nor a link");
        }
        entries[relative] = entry;
    }
    return entries;
}

// Files and links keep the entries of the first format (a file's mode there was masked with 0755,
// which equals its full mode now that other bits are refused), so an older verifier still accepts
// the bundle; folders go into a member of their own.
std::string manifestText(const std::map<std::string, Entry>& entries, const std::string& keyID,
                         const std::string& identifier) {
    Json files = Json::array();
    Json folders = Json::array();
    for (const auto& [path, entry] : entries) {
        if (entry.kind == Kind::link)
            files.push_back(Json{{"path", path}, {"type", "link"}, {"target", entry.target}});
        else if (entry.kind == Kind::folder)
            folders.push_back(Json{{"path", path}, {"mode", entry.mode}});
        else
            files.push_back(Json{
                {"path", path}, {"type", "file"}, {"sha256", entry.sha256}, {"mode", entry.mode}});
    }
    return Json{{"format", manifestFormat},
                {"identifier", identifier},
                {"key_id", keyID},
                {"files", files},
                {"folders", folders}}
               .dump(1) +
           "\n";
}

KeyPtr readPrivateKey(const fs::path& pem) {
    FILE* in = std::fopen(pem.c_str(), "r");
    if (!in)
        return nullptr;
    KeyPtr key(PEM_read_PrivateKey(in, nullptr, nullptr, nullptr));
    std::fclose(in);
    if (key && EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519)
        key.reset();
    return key;
}

bool signatureValid(const std::string& publicKey, const std::string& message,
                    const std::string& signature) {
    if (publicKey.size() != 32 || signature.size() != 64)
        return false;
    KeyPtr key(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(publicKey.data()), 32));
    ContextPtr context(EVP_MD_CTX_new());
    if (!key || !context ||
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(),
                            reinterpret_cast<const unsigned char*>(message.data()),
                            message.size()) == 1;
}

} // namespace

Result<std::string> publicKeyOf(const fs::path& privateKeyPem) {
    KeyPtr key = readPrivateKey(privateKeyPem);
    if (!key)
        return fail(privateKeyPem.string() + " is not an Ed25519 private key");
    unsigned char raw[32];
    size_t length = sizeof raw;
    if (EVP_PKEY_get_raw_public_key(key.get(), raw, &length) != 1 || length != 32)
        return fail("cannot read the public key");
    return std::string(reinterpret_cast<char*>(raw), length);
}

Status<> sign(const fs::path& bundle, const fs::path& privateKeyPem, const std::string& keyID,
              const std::string& identifier) {
    KeyPtr key = readPrivateKey(privateKeyPem);
    if (!key)
        return fail(privateKeyPem.string() + " is not an Ed25519 private key");
    // The signature's own folder is part of what is signed, so it exists before the scan.
    const fs::path signatureFolder = (bundle / manifestPath).parent_path();
    std::error_code ec;
    fs::create_directories(signatureFolder, ec);
    ::chmod(signatureFolder.c_str(), 0755);
    auto entries = scan(bundle);
    if (!entries)
        return unexpected(entries.error());
    const std::string manifest = manifestText(*entries, keyID, identifier);
    ContextPtr context(EVP_MD_CTX_new());
    unsigned char signature[64];
    size_t length = sizeof signature;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), signature, &length,
                       reinterpret_cast<const unsigned char*>(manifest.data()),
                       manifest.size()) != 1)
        return fail("signing failed");
    if (auto w = writeFileAtomically(bundle / manifestPath, manifest); !w)
        return w;
    if (auto w = writeFileAtomically(bundle / signaturePath,
                                     std::string(reinterpret_cast<char*>(signature), length));
        !w)
        return w;
    return Ok{};
}

Status<> verify(const fs::path& bundle, const std::vector<TrustedKey>& keys,
                const std::string& identifier) {
    struct stat info {};
    auto regular = [&](const fs::path& p) {
        return ::lstat(p.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    };
    if (!regular(bundle / manifestPath) || !regular(bundle / signaturePath))
        return fail("the bundle is not signed");
    if (info.st_size != 64)
        return fail("the signature is malformed");
    auto manifestBytes = readFile(bundle / manifestPath);
    auto signature = readFile(bundle / signaturePath);
    if (!manifestBytes || !signature || manifestBytes->size() > (64u << 20))
        return fail("the signature cannot be read");
    auto manifest = parseJsonObject(*manifestBytes);
    if (!manifest)
        return fail("the signed manifest is malformed");
    auto keyID = jsonString(*manifest, "key_id");
    const TrustedKey* key = nullptr;
    for (const auto& candidate : keys)
        if (keyID && candidate.keyID == *keyID)
            key = &candidate;
    if (!key)
        return fail("the bundle is signed by an unknown key");
    if (!signatureValid(key->publicKey, *manifestBytes, *signature))
        return fail("the signature does not match");
    if (jsonString(*manifest, "identifier") != identifier)
        return fail("the bundle identifier does not match");

    if (jsonInteger(*manifest, "format", 1) != manifestFormat)
        return fail("the bundle is signed in an older format");
    std::map<std::string, Entry> signedEntries;
    const Json* files = jsonMember(*manifest, "files");
    const Json* folders = jsonMember(*manifest, "folders");
    if (!files || !files->is_array() || !folders || !folders->is_array())
        return fail("the signed manifest is malformed");
    for (const Json& file : *files) {
        auto path = jsonString(file, "path");
        auto type = jsonString(file, "type");
        if (!path || !type || signedEntries.count(*path))
            return fail("the signed manifest is malformed");
        Entry entry;
        entry.kind = *type == "link" ? Kind::link : Kind::file;
        entry.sha256 = jsonString(file, "sha256", "");
        entry.mode = jsonString(file, "mode", "");
        entry.target = jsonString(file, "target", "");
        signedEntries[*path] = entry;
    }
    for (const Json& folder : *folders) {
        auto path = jsonString(folder, "path");
        if (!path || signedEntries.count(*path))
            return fail("the signed manifest is malformed");
        Entry entry;
        entry.kind = Kind::folder;
        entry.mode = jsonString(folder, "mode", "");
        signedEntries[*path] = entry;
    }
    auto present = scan(bundle);
    if (!present)
        return unexpected(present.error());
    for (const auto& [path, entry] : *present) {
        auto it = signedEntries.find(path);
        if (it == signedEntries.end())
            return fail(path + " is not part of the signed bundle");
        const Entry& expected = it->second;
        if (entry.kind != expected.kind || entry.sha256 != expected.sha256 ||
            entry.mode != expected.mode || entry.target != expected.target)
            return fail(path + " was changed after signing");
    }
    for (const auto& [path, entry] : signedEntries)
        if (!present->count(path))
            return fail(path + " is missing from the bundle");
    return Ok{};
}

Status<> applySignedModes(const fs::path& bundle) {
    auto manifestBytes = readFile(bundle / manifestPath);
    auto manifest = manifestBytes ? parseJsonObject(*manifestBytes) : std::nullopt;
    if (!manifest)
        return fail("the bundle is not signed");
    if (::chmod(bundle.c_str(), 0755) != 0)
        return fail("cannot set the mode of " + bundle.string());
    for (const char* member : {"files", "folders"}) {
        const Json* list = jsonMember(*manifest, member);
        if (!list || !list->is_array())
            return fail("the signed manifest is malformed");
        for (const Json& entry : *list) {
            auto path = jsonString(entry, "path");
            auto mode = jsonString(entry, "mode");
            if (!path || !mode || jsonString(entry, "type", "") == "link")
                continue;
            // Never through a link, not even one of its folders: the check after this one
            // refuses a link where a file or folder is signed.
            fs::path target = bundle;
            bool throughLink = fs::path(*path).is_absolute();
            struct stat info {};
            for (const auto& part : fs::path(*path)) {
                if (part == ".." || throughLink)
                    throughLink = true;
                target /= part;
                if (!throughLink && (::lstat(target.c_str(), &info) != 0 || S_ISLNK(info.st_mode)))
                    throughLink = true;
            }
            if (throughLink)
                continue;
            const mode_t bits = mode_t(std::strtoul(mode->c_str(), nullptr, 8)) & 0755;
            if (::chmod(target.c_str(), bits) != 0)
                return fail("cannot set the mode of " + *path);
        }
    }
    for (const char* file : {manifestPath, signaturePath})
        ::chmod((bundle / file).c_str(), 0644);
    return Ok{};
}

} // namespace zarvo::BundleSignature
