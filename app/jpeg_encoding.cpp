#include "app/jpeg_encoding.h"

#include "foundation/owned.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <cmath>

namespace zarvo {

std::optional<std::string> reencodeAsJpeg(std::string_view image, double factor) {
    if (image.empty())
        return std::nullopt;
    auto loader = adoptRef(gdk_pixbuf_loader_new());
    GErrorHolder error;
    bool written = gdk_pixbuf_loader_write(
        loader.get(), reinterpret_cast<const guchar*>(image.data()), image.size(), error.out());
    // Close in every case: a loader dropped unclosed complains on the console.
    bool closed = gdk_pixbuf_loader_close(loader.get(), error.out());
    GdkPixbuf* pixbuf = written && closed ? gdk_pixbuf_loader_get_pixbuf(loader.get()) : nullptr;
    std::optional<std::string> result;
    if (pixbuf) {
        // The JPEG saver drops an alpha channel; orientation tags are applied first so the
        // service sees the picture the user sees.
        auto oriented = adoptRef(gdk_pixbuf_apply_embedded_orientation(pixbuf));
        int quality = static_cast<int>(std::lround(std::clamp(factor, 0.0, 1.0) * 100));
        std::string qualityText = std::to_string(std::max(quality, 1));
        gchar* buffer = nullptr;
        gsize size = 0;
        bool saved = oriented &&
                     gdk_pixbuf_save_to_buffer(oriented.get(), &buffer, &size, "jpeg", error.out(),
                                               "quality", qualityText.c_str(), nullptr);
        GOwned<gchar> encoded(buffer);
        if (saved)
            result = std::string(encoded.get(), size);
    }
    return result;
}

} // namespace zarvo
