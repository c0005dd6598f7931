// Requests and images for the billing tests.
#pragma once

#include "devservice/api_handler.h"
#include "foundation/encoding.h"
#include "foundation/owned.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cstdint>
#include <string>

namespace zarvo::devservice::testing {

// A small real JPEG, so the service's decoder has something genuine to accept.
inline std::string jpegBytes(int width = 16, int height = 12, int quality = 90) {
    auto pixbuf = adoptRef(gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height));
    gdk_pixbuf_fill(pixbuf.get(), 0x3080c0ff);
    gchar* buffer = nullptr;
    gsize size = 0;
    std::string q = std::to_string(quality);
    gdk_pixbuf_save_to_buffer(pixbuf.get(), &buffer, &size, "jpeg", nullptr, "quality", q.c_str(),
                              nullptr);
    GOwned<gchar> owned(buffer);
    return std::string(buffer, size);
}

// A small JPEG whose frame header claims `width` × `height`: what a decompression bomb looks
// like to a decoder that trusts the header.
inline std::string jpegClaiming(int width, int height) {
    std::string bytes = jpegBytes();
    for (size_t i = 2; i + 9 <= bytes.size(); ++i)
        if (uint8_t(bytes[i]) == 0xFF && uint8_t(bytes[i + 1]) == 0xC0) {
            bytes[i + 5] = char(height >> 8);
            bytes[i + 6] = char(height & 0xFF);
            bytes[i + 7] = char(width >> 8);
            bytes[i + 8] = char(width & 0xFF);
            break;
        }
    return bytes;
}

inline std::string pngBytes() {
    auto pixbuf = adoptRef(gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 8, 8));
    gdk_pixbuf_fill(pixbuf.get(), 0xff0000ff);
    gchar* buffer = nullptr;
    gsize size = 0;
    gdk_pixbuf_save_to_buffer(pixbuf.get(), &buffer, &size, "png", nullptr, nullptr);
    GOwned<gchar> owned(buffer);
    return std::string(buffer, size);
}

inline std::string jpegDataURL(const std::string& bytes = jpegBytes()) {
    return "data:image/jpeg;base64," + base64Encode(bytes);
}

inline Json startBody(const std::string& key, const std::string& type = "subject_replacement",
                      const std::string& imageURL = jpegDataURL()) {
    return Json{{"idempotency_key", key}, {"editing_type", type}, {"image_url", imageURL}};
}

inline ApiRequest apiRequest(const std::string& method, const std::string& path,
                             const std::string& token, const std::string& body = {},
                             std::vector<std::pair<std::string, std::string>> query = {}) {
    ApiRequest request;
    request.host = "primary";
    request.method = method;
    request.path = path;
    request.query = std::move(query);
    request.body = body;
    request.bearerToken = token;
    return request;
}

} // namespace zarvo::devservice::testing
