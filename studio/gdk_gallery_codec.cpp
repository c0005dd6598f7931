#include "studio/gdk_gallery_codec.h"

#include "foundation/owned.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace zarvo {

namespace {

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
    auto canvas =
        adoptRef(gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, kThumbnailWidth, kThumbnailHeight));
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
    GErrorHolder error;
    const std::string quality = std::to_string(kThumbnailQuality);
    const bool saved = gdk_pixbuf_save_to_buffer(canvas.get(), &buffer, &size, "jpeg", error.out(),
                                                 "quality", quality.c_str(), nullptr);
    GOwned<gchar> encoded(buffer);
    return saved ? std::string(encoded.get(), size) : std::string();
}

} // namespace

std::optional<GalleryImageCodec::Inspection> GdkGalleryCodec::inspect(std::string_view bytes) {
    if (bytes.empty())
        return std::nullopt;
    auto loader = adoptRef(gdk_pixbuf_loader_new());
    SizeRequest original;
    g_signal_connect(loader.get(), "size-prepared", G_CALLBACK(sizePrepared), &original);
    GErrorHolder error;
    const bool written = gdk_pixbuf_loader_write(
        loader.get(), reinterpret_cast<const guchar*>(bytes.data()), bytes.size(), error.out());
    // Closed in every case: a loader dropped unclosed complains on the console.
    const bool closed = gdk_pixbuf_loader_close(loader.get(), error.out());
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
