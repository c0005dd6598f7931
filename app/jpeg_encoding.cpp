#include "app/jpeg_encoding.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <cmath>

namespace zarvo {

std::optional<std::string> reencodeAsJpeg(std::string_view image, double factor) {
    if (image.empty())
        return std::nullopt;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
    GError* error = nullptr;
    bool written = gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(image.data()),
                                           image.size(), &error);
    g_clear_error(&error);
    // Close in every case: a loader dropped unclosed complains on the console.
    bool closed = gdk_pixbuf_loader_close(loader, &error);
    g_clear_error(&error);
    GdkPixbuf* pixbuf = written && closed ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
    std::optional<std::string> result;
    if (pixbuf) {
        // The JPEG saver drops an alpha channel; orientation tags are applied first so the
        // service sees the picture the user sees.
        GdkPixbuf* oriented = gdk_pixbuf_apply_embedded_orientation(pixbuf);
        int quality = static_cast<int>(std::lround(std::clamp(factor, 0.0, 1.0) * 100));
        std::string qualityText = std::to_string(std::max(quality, 1));
        gchar* buffer = nullptr;
        gsize size = 0;
        if (oriented && gdk_pixbuf_save_to_buffer(oriented, &buffer, &size, "jpeg", &error,
                                                  "quality", qualityText.c_str(), nullptr))
            result = std::string(buffer, size);
        g_clear_error(&error);
        g_free(buffer);
        if (oriented)
            g_object_unref(oriented);
    }
    g_object_unref(loader);
    return result;
}

} // namespace zarvo
