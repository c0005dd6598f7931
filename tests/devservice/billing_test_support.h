// Requests and images for the billing tests.
#pragma once

#include "devservice/api_handler.h"
#include "foundation/encoding.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <string>

namespace zarvo::devservice::testing {

// A small real JPEG, so the service's decoder has something genuine to accept.
inline std::string jpegBytes(int width = 16, int height = 12, int quality = 90) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
    gdk_pixbuf_fill(pixbuf, 0x3080c0ff);
    gchar* buffer = nullptr;
    gsize size = 0;
    std::string q = std::to_string(quality);
    gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "jpeg", nullptr, "quality", q.c_str(),
                              nullptr);
    std::string bytes(buffer, size);
    g_free(buffer);
    g_object_unref(pixbuf);
    return bytes;
}

inline std::string pngBytes() {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 8, 8);
    gdk_pixbuf_fill(pixbuf, 0xff0000ff);
    gchar* buffer = nullptr;
    gsize size = 0;
    gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "png", nullptr, nullptr);
    std::string bytes(buffer, size);
    g_free(buffer);
    g_object_unref(pixbuf);
    return bytes;
}

inline std::string jpegDataUrl(const std::string& bytes = jpegBytes()) {
    return "data:image/jpeg;base64," + base64Encode(bytes);
}

inline Json startBody(const std::string& key, const std::string& type = "subject_replacement",
                      const std::string& imageUrl = jpegDataUrl()) {
    return Json{{"idempotency_key", key}, {"editing_type", type}, {"image_url", imageUrl}};
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
