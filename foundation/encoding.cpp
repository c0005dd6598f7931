#include "foundation/encoding.h"

#include <glib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <stdexcept>

#include <sys/random.h>

namespace zarvo {

std::string secureRandomHex(size_t digits) {
    std::string bytes((digits + 1) / 2, '\0');
    for (size_t filled = 0; filled < bytes.size();) {
        ssize_t n = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("no random source"); // never on a Linux with getrandom
        filled += size_t(n);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (unsigned char byte : bytes) {
        hex.push_back(kHex[byte >> 4]);
        hex.push_back(kHex[byte & 15]);
    }
    hex.resize(digits);
    return hex;
}

bool constantTimeEquals(std::string_view a, std::string_view b) {
    // The length of a token is no secret; its characters are.
    if (a.size() != b.size())
        return false;
    uint8_t difference = 0;
    for (size_t i = 0; i < a.size(); ++i)
        difference |= uint8_t(a[i] ^ b[i]);
    return difference == 0;
}

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
    // A date the clock cannot hold (GLib reads years up to 9999) is no date.
    constexpr int64_t limit =
        std::chrono::duration_cast<std::chrono::microseconds>(WallClock::duration::max()).count();
    if (micros > limit || micros < -limit)
        return std::nullopt;
    return WallTime(
        std::chrono::duration_cast<WallClock::duration>(std::chrono::microseconds(micros)));
}

} // namespace zarvo
