#include "studio/gdk_gallery_codec.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace zarvo {

namespace {

struct ObjectUnref {
    void operator()(gpointer object) const {
        if (object)
            g_object_unref(object);
    }
};
using LoaderPtr = std::unique_ptr<GdkPixbufLoader, ObjectUnref>;
using PixbufPtr = std::unique_ptr<GdkPixbuf, ObjectUnref>;

struct SizeRequest {
    int width = 0;
    int height = 0;
};

// Asks the decoder for the picture at the size it will be drawn on the thumbnail; the JPEG
// decoder then skips most of the work for a large photo.
void sizePrepared(GdkPixbufLoader* loader, int width, int height, gpointer data) {
    auto* original = static_cast<SizeRequest*>(data);
    original->width = width;
    original->height = height;
    const ThumbnailPlacement placement = thumbnailPlacement(width, height);
    const int drawnWidth = std::max(1, int(std::lround(placement.width)));
    const int drawnHeight = std::max(1, int(std::lround(placement.height)));
    if (drawnWidth < width && drawnHeight < height)
        gdk_pixbuf_loader_set_size(loader, drawnWidth, drawnHeight);
}

std::string encodeThumbnail(GdkPixbuf* picture, const SizeRequest& original) {
    PixbufPtr canvas(
        gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, kThumbnailWidth, kThumbnailHeight));
    if (!canvas)
        return {};
    gdk_pixbuf_fill(canvas.get(), 0x000000ff);
    const ThumbnailPlacement placement = thumbnailPlacement(original.width, original.height);
    const int decodedWidth = gdk_pixbuf_get_width(picture);
    const int decodedHeight = gdk_pixbuf_get_height(picture);
    if (decodedWidth > 0 && decodedHeight > 0)
        gdk_pixbuf_composite(picture, canvas.get(), 0, 0, kThumbnailWidth, kThumbnailHeight,
                             placement.x, placement.y, placement.width / decodedWidth,
                             placement.height / decodedHeight, GDK_INTERP_BILINEAR, 255);
    gchar* buffer = nullptr;
    gsize size = 0;
    GError* error = nullptr;
    const std::string quality = std::to_string(kThumbnailQuality);
    std::string result;
    if (gdk_pixbuf_save_to_buffer(canvas.get(), &buffer, &size, "jpeg", &error, "quality",
                                  quality.c_str(), nullptr))
        result.assign(buffer, size);
    g_clear_error(&error);
    g_free(buffer);
    return result;
}

} // namespace

std::optional<GalleryImageCodec::Inspection> GdkGalleryCodec::inspect(std::string_view bytes) {
    if (bytes.empty())
        return std::nullopt;
    LoaderPtr loader(gdk_pixbuf_loader_new());
    SizeRequest original;
    g_signal_connect(loader.get(), "size-prepared", G_CALLBACK(sizePrepared), &original);
    GError* error = nullptr;
    const bool written = gdk_pixbuf_loader_write(
        loader.get(), reinterpret_cast<const guchar*>(bytes.data()), bytes.size(), &error);
    g_clear_error(&error);
    // Closed in every case: a loader dropped unclosed complains on the console.
    const bool closed = gdk_pixbuf_loader_close(loader.get(), &error);
    g_clear_error(&error);
    GdkPixbuf* picture = written && closed ? gdk_pixbuf_loader_get_pixbuf(loader.get()) : nullptr;
    if (!picture || original.width <= 0 || original.height <= 0)
        return std::nullopt;
    Inspection inspection;
    inspection.width = original.width;
    inspection.height = original.height;
    inspection.thumbnailJpeg = encodeThumbnail(picture, original);
    return inspection;
}

} // namespace zarvo
