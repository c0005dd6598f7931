#include "foundation/encoding.h"

#include <glib.h>

#include <algorithm>
#include <cctype>

namespace zarvo {

std::string base64Encode(std::string_view bytes) {
    gchar* encoded = g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
    std::string result(encoded);
    g_free(encoded);
    return result;
}

std::optional<std::string> base64Decode(std::string_view text) {
    // g_base64_decode is lenient; check the standard alphabet and padding first.
    if (text.size() % 4 != 0)
        return std::nullopt;
    size_t padding = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '=') {
            ++padding;
            continue;
        }
        if (padding > 0 || !(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/'))
            return std::nullopt;
    }
    if (padding > 2)
        return std::nullopt;
    std::string copy(text);
    gsize length = 0;
    guchar* decoded = g_base64_decode(copy.c_str(), &length);
    std::string result(reinterpret_cast<char*>(decoded), length);
    g_free(decoded);
    return result;
}

std::string sha256Hex(std::string_view bytes) {
    gchar* digest = g_compute_checksum_for_data(
        G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
    std::string result(digest);
    g_free(digest);
    return result;
}

std::string randomUuid() {
    gchar* uuid = g_uuid_string_random();
    std::string result(uuid);
    g_free(uuid);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return result;
}

std::string formatIso8601(WallTime time, bool fraction) {
    auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
    // Floor division keeps dates before 1970 correct.
    int64_t secs = micros >= 0 ? micros / 1000000 : -((-micros + 999999) / 1000000);
    GDateTime* base = g_date_time_new_from_unix_utc(secs);
    if (!base)
        return {};
    GDateTime* dt = g_date_time_add(base, micros - secs * 1000000);
    g_date_time_unref(base);
    if (!dt)
        return {};
    gchar* text = g_date_time_format(dt, fraction ? "%Y-%m-%dT%H:%M:%S.%fZ" : "%Y-%m-%dT%H:%M:%SZ");
    std::string result(text ? text : "");
    g_free(text);
    g_date_time_unref(dt);
    return result;
}

std::optional<WallTime> parseIso8601(const std::string& text) {
    GDateTime* dt = g_date_time_new_from_iso8601(text.c_str(), nullptr);
    if (!dt)
        return std::nullopt;
    int64_t micros = g_date_time_to_unix(dt) * 1000000 + g_date_time_get_microsecond(dt);
    g_date_time_unref(dt);
    return WallTime(std::chrono::duration_cast<WallClock::duration>(std::chrono::microseconds(micros)));
}

} // namespace zarvo
