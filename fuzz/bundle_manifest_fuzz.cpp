// The bundle's signed manifest. The input is the manifest, signed here with a key the target
// trusts, so the fuzzer reaches the rules behind the signature check: a manifest that verifies
// must describe exactly the files of the bundle.
#include "fuzz/fuzz_support.h"
#include "update/bundle_signature.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

namespace {

struct Signer {
    EVP_PKEY* key = nullptr;
    zarvo::TrustedKey trusted;
    std::filesystem::path bundle;

    Signer() {
        EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
        EVP_PKEY_keygen_init(context);
        EVP_PKEY_keygen(context, &key);
        EVP_PKEY_CTX_free(context);
        auto pem = zarvo::fuzz::scratch() / "key.pem";
        FILE* out = std::fopen(pem.c_str(), "w");
        PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
        std::fclose(out);
        trusted = {"FUZZKEY", *zarvo::BundleSignature::publicKeyOf(pem)};
        bundle = zarvo::fuzz::scratch() / "Zarvo 1.0.30.app";
        zarvo::fuzz::writeScratch("Zarvo 1.0.30.app/Contents/MacOS/Zarvo", "program");
        zarvo::fuzz::writeScratch("Zarvo 1.0.30.app/Contents/Info.plist", "<plist/>");
    }

    std::string sign(std::string_view message) const {
        unsigned char signature[64];
        size_t length = sizeof signature;
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key);
        EVP_DigestSign(context, signature, &length,
                       reinterpret_cast<const unsigned char*>(message.data()), message.size());
        EVP_MD_CTX_free(context);
        return std::string(reinterpret_cast<const char*>(signature), length);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zarvo;
    static const Signer signer;
    std::string_view manifest(reinterpret_cast<const char*>(data), size);
    fuzz::writeScratch("Zarvo 1.0.30.app/Contents/Signature/manifest.json", manifest);
    fuzz::writeScratch("Zarvo 1.0.30.app/Contents/Signature/manifest.sig", signer.sign(manifest));
    auto verified =
        BundleSignature::verify(signer.bundle, {signer.trusted}, "cn.zarvo.morvex.workbench");
    // The bundle holds two files; a manifest accepted must have named them with their true digests.
    if (verified)
        ZARVO_FUZZ_CHECK(manifest.find("Contents/MacOS/Zarvo") != std::string_view::npos ||
                         manifest.find("\\u") != std::string_view::npos);
    return 0;
}
