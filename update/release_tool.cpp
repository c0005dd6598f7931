// The release side's signing tool:
//   zarvo-release-tool sign BUNDLE KEY.pem KEY_ID   signs the bundle for the product identifier
//   zarvo-release-tool public-key KEY.pem           prints the raw public key in base64
//   zarvo-release-tool verify BUNDLE                verifies with the keys Zarvo trusts
//   zarvo-release-tool manifest PACKAGE VERSION HOST NOTES OUT   writes latest.json
#include "foundation/atomic_file.h"
#include "foundation/encoding.h"
#include "service/deployment.h"
#include "update/bundle_signature.h"
#include "update/client_release.h"
#include "update/code_signature.h"
#include "update/release_validation.h"

#include <cstdio>
#include <string>

using namespace zarvo;

int main(int argc, char** argv) {
    const std::string verb = argc > 1 ? argv[1] : "";
    if (verb == "sign" && argc == 5) {
        auto signedBundle = BundleSignature::sign(argv[2], argv[3], argv[4],
                                                  std::string(ReleaseValidation::bundleIdentifier));
        if (!signedBundle) {
            std::fprintf(stderr, "sign: %s\n", signedBundle.error().message.c_str());
            return 1;
        }
        return 0;
    }
    if (verb == "public-key" && argc == 3) {
        auto key = BundleSignature::publicKeyOf(argv[2]);
        if (!key) {
            std::fprintf(stderr, "public-key: %s\n", key.error().message.c_str());
            return 1;
        }
        std::printf("%s\n", base64Encode(*key).c_str());
        return 0;
    }
    if (verb == "verify" && argc == 3) {
        auto deployment = loadDeployment();
        if (!deployment) {
            std::fprintf(stderr, "verify: %s (ZARVO_DEPLOYMENT)\n",
                         deployment.error().message.c_str());
            return 1;
        }
        setCurrentDeployment(std::move(*deployment));
        auto verified = CodeSignature::verifyApplication(argv[2]);
        if (!verified) {
            std::fprintf(stderr, "verify: %s\n", verified.error().message.c_str());
            return 1;
        }
        return 0;
    }
    if (verb == "manifest" && argc == 7) {
        auto data = readFile(argv[2]);
        if (!data) {
            std::fprintf(stderr, "manifest: cannot read %s\n", argv[2]);
            return 1;
        }
        ClientRelease release;
        release.version = argv[3];
        release.url = std::string("https://") + argv[4] +
                      std::string(ReleaseValidation::downloadPath) +
                      ReleaseValidation::packageName(release.version);
        release.sha256 = ReleaseValidation::digest(*data);
        release.notes = argv[5];
        release.architecture = ReleaseValidation::architecture;
        release.platform = ReleaseValidation::platform;
        release.size = int64_t(data->size());
        release.publishedAt = formatIso8601(WallClock::now());
        if (!writeFileAtomically(argv[6], release.toJson().dump(2) + "\n")) {
            std::fprintf(stderr, "manifest: cannot write %s\n", argv[6]);
            return 1;
        }
        return 0;
    }
    std::fputs("usage: zarvo-release-tool sign BUNDLE KEY.pem KEY_ID | public-key KEY.pem | "
               "verify BUNDLE | manifest PACKAGE VERSION HOST NOTES OUT\n",
               stderr);
    return 2;
}
