#include "update/client_release.h"

#include "foundation/owned.h"

#include <glib.h>

namespace zarvo {
namespace {

bool parsesAsURL(const std::string& text) {
    return static_cast<bool>(adoptRef(g_uri_parse(text.c_str(), G_URI_FLAGS_NONE, nullptr)));
}

} // namespace

std::optional<ClientRelease> ClientRelease::fromJson(const Json& json) {
    if (!json.is_object())
        return std::nullopt;
    ClientRelease release;
    struct Text {
        const char* key;
        std::string* target;
    };
    for (auto [key, target] :
         {Text{"version", &release.version}, Text{"url", &release.url},
          Text{"sha256", &release.sha256}, Text{"notes", &release.notes},
          Text{"architecture", &release.architecture}, Text{"platform", &release.platform},
          Text{"published_at", &release.publishedAt}}) {
        const Json* value = jsonMember(json, key);
        if (!value || !value->is_string())
            return std::nullopt;
        *target = value->get<std::string>();
    }
    // A size beyond the signed 64-bit range is not a size at all.
    const Json* size = jsonMember(json, "size");
    if (!size || !size->is_number_integer())
        return std::nullopt;
    if (size->is_number_unsigned() && size->get<uint64_t>() > uint64_t(INT64_MAX))
        return std::nullopt;
    release.size = size->get<int64_t>();
    if (!parsesAsURL(release.url))
        return std::nullopt;
    return release;
}

Json ClientRelease::toJson() const {
    return Json{{"version", version},
                {"url", url},
                {"sha256", sha256},
                {"notes", notes},
                {"architecture", architecture},
                {"platform", platform},
                {"size", size},
                {"published_at", publishedAt}};
}

} // namespace zarvo
