// The hand-written text rules of the update path on any bytes: the release's version, digest and
// date, a download part's Content-Length and ETag, the diagnostics' masking of credentials and
// the os-release name. On inputs short enough for it, each must agree with the regular expression
// it replaced (which recursed once per character); on any length none may crash.
#include "foundation/encoding.h"
#include "fuzz/fuzz_support.h"
#include "update/diagnostics_report.h"
#include "update/release_validation.h"
#include "update/update_mirror.h"

#include <regex>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zarvo;
    const std::string text = fuzz::text(data, size);
    // Header values never hold a NUL; the download reads them as C strings.
    const std::string header = text.substr(0, text.find('\0'));

    const auto version = ReleaseValidation::components(text);
    const bool digest = ReleaseValidation::sha256Text(text);
    const auto date = ReleaseValidation::date(text);
    const bool length = UpdateMirror::lengthText(header);
    const bool etag = UpdateMirror::strongETag(header);
    const std::string masked = Diagnostics::mask(text);
    const std::string pretty = Diagnostics::prettyName(text);
    if (version)
        ZARVO_FUZZ_CHECK(version->size() == 3);

    if (size > 400)
        return 0;
    static const std::regex versionPattern(
        "^(0|[1-9][0-9]{0,4})\\.(0|[1-9][0-9]{0,4})\\.(0|[1-9][0-9]{0,4})$");
    static const std::regex hexPattern("^[a-fA-F0-9]{64}$");
    static const std::regex datePattern(
        "^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}(\\.["
        "0-9]+)?(Z|[+-][0-9]{2}:[0-9]{2})$");
    static const std::regex decimalPattern("^[+-]?[0-9]{1,18}$");
    static const std::regex strongPattern("^\"[\\x21\\x23-\\x7e]+\"$");
    static const std::regex secretPattern("(bearer\\s+\\S+|vda_\\S+|token[=:]\\S+)",
                                          std::regex::icase | std::regex::ECMAScript);
    static const std::regex prettyPattern("(^|\\n)PRETTY_NAME=\"?([^\"\\n]*)\"?");

    std::smatch match;
    if (std::regex_match(text, match, versionPattern)) {
        ZARVO_FUZZ_CHECK(version);
        for (int i = 0; i < 3; i++)
            ZARVO_FUZZ_CHECK((*version)[i] == std::stoi(match[i + 1].str()));
    } else {
        ZARVO_FUZZ_CHECK(!version);
    }
    ZARVO_FUZZ_CHECK(digest == std::regex_match(text, hexPattern));
    ZARVO_FUZZ_CHECK(date == (std::regex_match(text, datePattern) ? parseIso8601(text)
                                                                  : std::optional<WallTime>()));
    ZARVO_FUZZ_CHECK(length == std::regex_match(header, decimalPattern));
    ZARVO_FUZZ_CHECK(etag == std::regex_match(header, strongPattern));
    ZARVO_FUZZ_CHECK(masked == std::regex_replace(text, secretPattern, "[已隐藏]"));
    ZARVO_FUZZ_CHECK(
        pretty == (std::regex_search(text, match, prettyPattern) ? match[2].str() : std::string()));
    return 0;
}
